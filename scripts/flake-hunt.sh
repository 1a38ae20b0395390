#!/usr/bin/env bash
# The flake hunt: every test of the host suite and of the AddressSanitizer suite run 30 times
# in a row (ctest --repeat until-fail:30) in the conditions that shake out a test that
# passes by luck:
#   - under load: both cores busy with another build of the project the whole time;
#   - from a caller that passes down extra descriptors (3, 4 and 10 open on files, and a
#     pipe), with no terminal (a session of its own, standard input from /dev/null) and
#     under nohup (SIGHUP ignored), as a background job (SIGINT and SIGQUIT ignored).
# Not part of `make check` (it takes a while); run it after changing tests: make flake-hunt.
#
#   flake-hunt.sh [RUNS]     RUNS defaults to 30
#
# Prints, for each suite, the runs, the tests and every test that failed even once (with
# its output in build/flake-hunt/<preset>.log). Exit status 0 when nothing failed.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-30}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [RUNS]" >&2; exit 2; }
suites=(host asan)
out=build/flake-hunt
mkdir -p "$out"

for preset in "${suites[@]}"; do
    echo "flake-hunt: building the $preset suite"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done

# The load: the project built again and again in a folder of its own, on both cores.
load_dir=$out/load-build
cmake -S . -B "$load_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
# In a process group of its own, so that stopping it stops the ninja it runs too.
setsid bash -c 'while :; do
        ninja -C "$0" -t clean >/dev/null 2>&1
        ninja -C "$0" -j 2 >/dev/null 2>&1
    done' "$load_dir" </dev/null &
load_pid=$!
stop_load() {
    kill -TERM -- "-$load_pid" 2>/dev/null || true
    wait "$load_pid" 2>/dev/null || true
}
trap stop_load EXIT

status=0
pipe_dir=$(mktemp -d)
mkfifo "$pipe_dir/fifo"
for preset in "${suites[@]}"; do
    log=$out/$preset.log
    started=$(date +%s)
    # A caller holding descriptors 3, 4 and 10 and the write end of a pipe (kept open by a
    # reader that drains it), in a session of its own, under nohup, in the background.
    cat "$pipe_dir/fifo" >/dev/null &
    reader=$!
    suite_status=0
    setsid bash -c '
        exec 3</dev/null 4<"$1" 10<"$1" 11>"$2"
        trap "" INT QUIT
        nohup ctest --preset "$3" --repeat until-fail:"$4" </dev/null >"$5" 2>&1 &
        wait $!
    ' flake-caller "$0" "$pipe_dir/fifo" "$preset" "$runs" "$log" </dev/null || suite_status=$?
    wait "$reader" 2>/dev/null || true
    seconds=$(($(date +%s) - started))
    tests=$(sed -n 's/^.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*$/\2/p' "$log" | tail -n 1)
    failed=$(sed -n 's/^.*tests passed, \([0-9]*\) tests failed out of.*$/\1/p' "$log" | tail -n 1)
    echo "flake-hunt: $preset: ${tests:-?} tests x $runs runs in $seconds s under load: ${failed:-?} failed (ctest status $suite_status; output: $log)"
    if [ "$suite_status" -ne 0 ]; then
        status=1
        sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' || true
    fi
done
rm -rf "$pipe_dir"
exit "$status"
