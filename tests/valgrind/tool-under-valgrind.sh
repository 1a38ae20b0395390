#!/usr/bin/env bash
# Complete runs of kzr-415-tool and kzr-415-read on the preloaded emulated bus under
# valgrind's memcheck, on a working device and with faults: no memory errors, no leaks, no descriptor left open.
#
# Each run starts with only the three standard descriptors: whatever the script's parent
# passed down (make's jobserver, a terminal, a CI runner's pipes) is closed first, since
# valgrind from 3.24 on counts inherited descriptors still open at exit as errors. The
# emulated bus keeps no descriptor of its own (a trace file is opened for each line), so
# every error and every descriptor beyond the standard ones open at exit is the program's.
# The bus node's descriptor is one the program opens through i2c_open (kzr_415_open) and
# must close through i2c_close (kzr_415_close).
#
# Each run is a scenario of the plan (tests/board/scenarios.txt), a run of kzr-415-tool or a
# reader scenario of kzr-415-read with its arguments, its device settings given as the
# emulated bus's variables, and must give the plan's exit status and standard output.
#
# Usage: tests/valgrind/tool-under-valgrind.sh BUILD_DIR
set -euo pipefail
build=${1:-build/host}
plan=$(dirname "$0")/../board/scenarios.txt
declare -A programs=([run]="$build/tool/kzr-415-tool" [reader]="$build/tool/kzr-415-read")
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

# planned SCENARIO WHAT: the plan's lines for WHAT (exit, stdout, trace)
planned() { sed -n "s/^expect $1 $2 //p" "$plan"; }

# step SCENARIO: the plan's line for it, "KIND SETTING... [-- ARGUMENT...]"
step() { sed -En "s/^(run|reader) $1( |$)/\1 /p" "$plan"; }

# settings SCENARIO: its settings as the emulated bus's variables, a line each
settings() {
    local word
    for word in $(step "$1" | sed 's/ -- .*//' | cut -d' ' -f2-); do
        case $word in
        node=absent) echo KZR415_SIM_NO_NODE=1 ;;
        *) echo "KZR415_SIM_$(tr a-z A-Z <<<"${word%%=*}")=${word#*=}" ;;
        esac
    done
}

# run NAME SCENARIO [VAR=VALUE...]: with $into set, the program's arguments end with
# "-o $into", and that file, not standard output, must hold the plan's lines.
into=
run() {
    local name=$1 scenario=$2
    shift 2
    local log="$work/$name.log" out="$work/$name.out" status=0 variables arguments
    mapfile -t variables < <(settings "$scenario")
    local command=(${programs[$(step "$scenario" | cut -d' ' -f1)]})
    read -ra arguments < <(step "$scenario" | sed -n 's/.* -- //p') || true
    command+=("${arguments[@]}")
    [ -z "$into" ] || command+=(-o "$into")
    local expected_status
    expected_status=$(planned "$scenario" exit)
    [ -n "$expected_status" ] || { echo "FAIL  $name: no scenario $scenario in $plan"; exit 1; }
    (
        close_inherited_descriptors
        exec env "${variables[@]}" "$@" LD_PRELOAD="$preload" \
            valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=all \
            --errors-for-leak-kinds=definite,indirect,possible --track-fds=yes \
            --log-file="$log" "${command[@]}"
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
    if [ -n "$into" ]; then
        [ ! -s "$out" ] || problems+=("standard output not empty with -o")
        out=$into
    fi
    [ "$(cat "$out")" = "$(planned "$scenario" stdout)" ] ||
        problems+=("output not the plan's: $(tail -n 1 "$out")")

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

run complete-run complete
run traced-run complete KZR415_SIM_TRACE="$work/trace"
[ "$(cat "$work/trace")" = "$(planned complete trace)" ] || {
    echo "FAIL  traced-run: the trace is not the plan's"
    failures=$((failures + 1))
}
run config-write-fails config-write-fails
run alert-mode-read-fails alert-mode-read-fails
run readout-fails readouts-fail
run every-transfer-fails every-transfer-fails
run no-device no-device
run no-bus-node bus-absent

run read-once reader-text
run read-prometheus reader-prometheus
run read-sample-fails reader-fault-6
run read-no-device reader-device-absent
run read-no-bus-node reader-bus-absent
into="$work/reading.txt" run read-to-a-file reader-text

[ "$failures" -eq 0 ] || { echo "$failures run(s) failed under valgrind" >&2; exit 1; }
