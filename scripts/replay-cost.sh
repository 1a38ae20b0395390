#!/usr/bin/env bash
# Prints what a replayed capture costs: a capture of the largest size kzr-415-sim takes
# (16 MiB, kzr-415-tool's run repeated in bus notation), replayed under
# `kzr-415-sim --replay` with a program that makes no transfer (/usr/bin/true), which the
# run then reports as a divergence (status 124). Peak resident memory and time, from
# /usr/bin/time, of kzr-415-sim (the run's peak) and of the one process.
# Usage: scripts/replay-cost.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build/host}
command -v /usr/bin/time >/dev/null || { echo "replay-cost: needs /usr/bin/time (package time)" >&2; exit 2; }
folder=$(mktemp -d /tmp/kzr415-replay-cost-XXXXXX)
trap 'rm -rf "$folder"' EXIT

"$build/sim/kzr-415-sim" --trace "$folder/run" -- "$build/tool/kzr-415-tool" >/dev/null
runs=$(((16 << 20) / $(stat -c %s "$folder/run")))
python3 -c 'import sys; run = open(sys.argv[1]).read(); open(sys.argv[2], "w").write(run * int(sys.argv[3]))' \
    "$folder/run" "$folder/capture" "$runs"
echo "capture: $(stat -c %s "$folder/capture") bytes, $(($(wc -l <"$folder/run") * runs)) transfers"

status=0
/usr/bin/time -o "$folder/sim" -f '%M %e' "$build/sim/kzr-415-sim" --replay "$folder/capture" -- \
    /usr/bin/time -o "$folder/one" -f '%M %e' /usr/bin/true 2>/dev/null || status=$?
[ "$status" = 124 ] || { echo "replay-cost: the replay ended with status $status, not 124" >&2; exit 1; }
read -r sim_kb sim_s < <(tail -n 1 "$folder/sim") # after "Command exited with ..."
read -r one_kb one_s < <(tail -n 1 "$folder/one")
echo "kzr-415-sim (the run's peak): $((sim_kb / 1024)) MB, $sim_s s"
echo "one process (/usr/bin/true): $((one_kb / 1024)) MB, $one_s s"
