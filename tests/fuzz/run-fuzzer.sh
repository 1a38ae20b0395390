#!/usr/bin/env bash
# Runs a libFuzzer target for a while from its seeds, and prints how many inputs
# it executed. New inputs go to a working corpus in the build tree, never into the seeds.
# Usage: run-fuzzer.sh FUZZER SEED_DIR WORK_DIR SECONDS [libFuzzer flags...]
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
shift 4
# The fuzzer links the shared sanitizer runtime after the C++ library, so ASan must not
# insist on coming first (the caller's options, after this one, win).
export ASAN_OPTIONS="verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
mkdir -p "$work"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$@" "$work" "$seeds" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$log"
    echo "$(basename "$fuzzer"): FAILED with status $status" >&2
    exit "$status"
fi
executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
echo "$(basename "$fuzzer"): ${executed} inputs in ${seconds} s, ${coverage}, corpus $(ls "$work" | wc -l) files"
