#!/usr/bin/env bash
# Prints the cost of one emulated transfer as a ratio to a plain ioctl on /dev/null, for
# the device kept in this process only (the preload alone) and in a state file shared
# between processes (kzr-415-sim's way).
# Usage: scripts/sim-transfer-cost.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build/host}
program="$build/tests/kzr415-sim-transfer-cost"

echo "== device in this process only (LD_PRELOAD=libkzr-415-sim-bus.so)"
LD_PRELOAD="$build/sim/libkzr-415-sim-bus.so" "$program"
echo "== device in a state file shared between processes (kzr-415-sim)"
"$build/sim/kzr-415-sim" -- "$program"
