#!/usr/bin/env bash
# Complete runs of kzr-415-tool and kzr-415-read on the preloaded emulated bus under
# valgrind's memcheck, on a working device and with faults: no memory errors, no leaks, no
# descriptor left open.
#
# Each run starts with only the three standard descriptors: whatever the script's parent
# passed down (make's jobserver, a terminal, a CI runner's pipes) is closed first, since
# valgrind from 3.24 on counts inherited descriptors still open at exit as errors. The
# emulated bus keeps no descriptor of its own (a trace file is opened for each line), so
# every error and every descriptor beyond the standard ones open at exit is the program's.
# The bus node's descriptor is one the program opens through i2c_open (kzr_415_open) and
# must close through i2c_close (kzr_415_close).
#
# Usage: tests/valgrind/tool-under-valgrind.sh BUILD_DIR
set -euo pipefail
build=${1:-build/host}
tool="$build/tool/kzr-415-tool"
reader="$build/tool/kzr-415-read"
preload="$build/sim/libkzr-415-sim-bus.so"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# Closes every descriptor of this (sub)shell above 2.
close_inherited_descriptors() {
    local fd
    for fd in $(ls /proc/"$BASHPID"/fd); do
        [ "$fd" -gt 2 ] && [ -e /proc/"$BASHPID"/fd/"$fd" ] && eval "exec $fd>&-"
    done
    return 0
}

# run NAME EXPECTED_STATUS EXPECTED_LAST_LINE [VAR=VALUE...]: runs the command in "program"
run() {
    local name=$1 expected_status=$2 expected_line=$3
    shift 3
    local log="$work/$name.log" out="$work/$name.out" status=0
    (
        close_inherited_descriptors
        exec env "$@" LD_PRELOAD="$preload" \
            valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=all \
            --errors-for-leak-kinds=definite,indirect,possible --track-fds=yes \
            --log-file="$log" "${program[@]}"
    ) </dev/null >"$out" 2>"$work/$name.err" || status=$?

    local problems=()
    grep -q 'ERROR SUMMARY: 0 errors from 0 contexts' "$log" || problems+=("memory errors")
    grep -Eq 'All heap blocks were freed|definitely lost: 0 bytes' "$log" ||
        problems+=("leaks")
    # Descriptors open at exit, other than 0-2 and those inherited from the parent.
    local open_fds
    open_fds=$(awk '
        /Open (file|AF_UNIX socket|AF_INET socket) descriptor [0-9]+/ {
            if (fd != "" && !inherited) print fd
            match($0, /descriptor [0-9]+/); fd = substr($0, RSTART + 11, RLENGTH - 11)
            inherited = 0; if (fd <= 2) fd = ""; next }
        /<inherited from parent>/ { inherited = 1 }
        END { if (fd != "" && !inherited) print fd }' "$log" | tr '\n' ' ')
    [ -z "$open_fds" ] || problems+=("descriptors left open: $open_fds")
    [ "$status" -eq "$expected_status" ] || problems+=("exit status $status, not $expected_status")
    local last
    last=$(tail -n 1 "$out")
    [ "$last" = "$expected_line" ] || problems+=("last line '$last', not '$expected_line'")

    local summary
    summary=$(grep -Eo 'in use at exit: [0-9,]+ bytes in [0-9,]+ blocks' "$log" || true)
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok    $name: $(grep -o 'ERROR SUMMARY: [0-9]* errors' "$log"), $summary," \
            "$(grep -Eo 'FILE DESCRIPTORS: [0-9]+ open \([0-9]+ std\)' "$log")"
    else
        echo "FAIL  $name: ${problems[*]}"
        cat "$log"
        failures=$((failures + 1))
    fi
}

program=("$tool")
run complete-run 0 "temperature 2:21.000000"
run traced-run 0 "temperature 2:21.000000" KZR415_SIM_TRACE="$work/trace"
run config-write-fails 3 "temperature 2:21.000000" KZR415_SIM_FAIL=1:EIO
run pointer-write-fails 3 "temperature 2:21.000000" KZR415_SIM_FAIL=3:ETIMEDOUT
run readout-fails 3 "temperature 2:-1.000000" KZR415_SIM_FAIL=12+:EREMOTEIO
run every-transfer-fails 3 "temperature 2:-1.000000" KZR415_SIM_FAIL=1+:EIO
run no-device 3 "temperature 2:-1.000000" KZR415_SIM_NO_DEVICE=1
run no-bus-node 1 "slave address of kzr-415      : 0x48" KZR415_SIM_NO_NODE=1

program=("$reader")
run read-once 0 "temperature 2:21.000000"
program=("$reader" -f prometheus -i 0.01 -n 3)
run read-at-an-interval 0 'kzr415_temperature_celsius{bus="/dev/i2c-4",address="0x48",channel="2"} 21.000000'
program=("$reader" -f json -o "$work/reading.json")
run read-to-a-file 0 ""
program=("$reader" -i 0.01 -n 3)
run read-sample-fails 3 "temperature 2:21.000000" KZR415_SIM_FAIL=5:EIO
program=("$reader")
run read-no-device 3 "" KZR415_SIM_NO_DEVICE=1
run read-no-bus-node 1 "" KZR415_SIM_NO_NODE=1

[ "$failures" -eq 0 ] || { echo "$failures run(s) failed under valgrind" >&2; exit 1; }
