#!/usr/bin/env bash
# Prints the cost of one emulated transfer, side by side in one run: a bare ioctl on
# /dev/null, the device kept in this process only (the preload alone), the device shared
# between the processes of a kzr-415-sim run, and the same with --state. Each program
# measures its own bare ioctl too, so each figure is also a ratio within one process.
# Usage: scripts/sim-transfer-cost.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build/host}
program="$build/tests/kzr415-sim-transfer-cost"
sim="$build/sim/kzr-415-sim"
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT

# The median transfer of one way of running, in nanoseconds, and the bare ioctl's.
measure() {
    "$@" "$program" | awk '/system call/ {bare = $(NF-2)} /I2C_RDWR/ {print $(NF-2), bare}'
}
read -r alone alone_bare < <(measure env LD_PRELOAD="$build/sim/libkzr-415-sim-bus.so")
read -r wrapped wrapped_bare < <(measure "$sim" --)
read -r state state_bare < <(measure "$sim" --state "$folder/state" --)

echo "median ns per call (bare ioctl measured in the same process), ratio to the preload alone"
printf '  %-30s %8s ns\n' "bare ioctl on /dev/null" "$alone_bare"
for row in "preload alone:$alone:$alone_bare" "under kzr-415-sim:$wrapped:$wrapped_bare" \
    "under kzr-415-sim --state:$state:$state_bare"; do
    IFS=: read -r name ns bare <<<"$row"
    printf '  %-30s %8s ns (bare %s)  %5.2f\n' "$name" "$ns" "$bare" \
        "$(awk -v a="$ns" -v b="$alone" 'BEGIN {print a / b}')"
done
