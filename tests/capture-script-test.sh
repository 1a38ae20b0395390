#!/bin/bash
# kzr-415-capture's refusals on this machine, under the system's sh: each one a line on
# standard error and status 2, with the program not run and no capture file left. (Its
# captures themselves need root and the kernel's I2C events: the emulated board's.)
#
#   capture-script-test.sh PATH-OF-kzr-415-capture
set -euo pipefail

script=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/kzr-415-capture-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

# expect_refusal NAME EXPECTED-LINE-PATTERN [ENV=VALUE...] -- [OPTION...]
expect_refusal() {
    local name=$1 expected=$2 status=0 err
    shift 2
    local environment=()
    while [ "$1" != -- ]; do environment+=("$1"); shift; done
    shift
    rm -f "$work/ran" "$work/capture.txt"
    env "${environment[@]}" sh "$script" "$@" -- touch "$work/ran" 2>"$work/err" || status=$?
    err=$(cat "$work/err")
    # shellcheck disable=SC2053 # a pattern
    if [[ $err != $expected ]] || [ "$status" != 2 ] || [ -e "$work/ran" ] ||
        [ -e "$work/capture.txt" ]; then
        echo "FAIL: $name: status $status, stderr '$err' (expected '$expected')" >&2
        failures=$((failures + 1))
    else
        echo "ok: $name"
    fi
}

as_user=()
if [ "$(id -u)" = 0 ]; then
    command -v setpriv >/dev/null && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi
if [ "$(id -u)" != 0 ] || [ ${#as_user[@]} -gt 0 ]; then
    # The other user reads a copy of the script and marks a run in a folder it may write:
    # the checkout itself may be closed to it (a root's home).
    chmod 755 "$work"
    mkdir -m 1777 "$work/other"
    cp "$script" "$work/other/kzr-415-capture"
    chmod 644 "$work/other/kzr-415-capture"
    status=0
    err=$(cd / && "${as_user[@]}" sh "$work/other/kzr-415-capture" -o /dev/null -- \
        touch "$work/other/ran" 2>&1) || status=$?
    if [ "$err" = "kzr-415-capture: needs root (the kernel's trace events are root's)" ] &&
        [ "$status" = 2 ] && [ ! -e "$work/other/ran" ]; then
        echo "ok: not root"
    else
        echo "FAIL: not root: status $status, '$err'" >&2
        failures=$((failures + 1))
    fi
else
    echo "skipped: not root (root here, and no setpriv to drop it)"
fi

if [ "$(id -u)" = 0 ]; then
    expect_refusal "no tracefs" "kzr-415-capture: no tracefs at /sys/kernel/tracing or /sys/kernel/debug/tracing (mount -t tracefs nodev /sys/kernel/tracing)" \
        KZR415_CAPTURE_TRACEFS="$work/none" -- -o "$work/capture.txt"
    mkdir -p "$work/fs/instances"
    touch "$work/fs/trace"
    expect_refusal "no I2C events" "kzr-415-capture: the kernel has no I2C trace events ($work/fs/events/i2c)" \
        KZR415_CAPTURE_TRACEFS="$work/fs" -- -o "$work/capture.txt"
    # A tracefs whose instance offers no events (a plain folder here): nothing is left of it.
    mkdir -p "$work/fs/events/i2c/i2c_write"
    expect_refusal "events not enabled" "kzr-415-capture: cannot enable the trace event i2c:i2c_write in $work/fs/instances/kzr-415-capture-*" \
        KZR415_CAPTURE_TRACEFS="$work/fs" -- -o "$work/capture.txt"
    if [ -n "$(ls "$work/fs/instances")" ]; then
        echo "FAIL: the instance was left: $(ls "$work/fs/instances")" >&2
        failures=$((failures + 1))
    fi
fi
expect_refusal "bad bus" "kzr-415-capture: bad value for -b: 'i2c-4' (an adapter number, as in /dev/i2c-4)" -- -b i2c-4
expect_refusal "unknown option" "kzr-415-capture: unknown option '-x' (see -h)" -- -x
status=0
err=$(sh "$script" 2>&1) || status=$?
if [ "$err" != "kzr-415-capture: no PROGRAM given (see -h)" ] || [ "$status" != 2 ]; then
    echo "FAIL: no PROGRAM: status $status, '$err'" >&2
    failures=$((failures + 1))
else
    echo "ok: no PROGRAM"
fi
[ "$failures" = 0 ]
