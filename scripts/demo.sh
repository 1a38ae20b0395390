#!/usr/bin/env bash
# Runs kzr-415-tool on the emulated bus with a simulated kzr-415, and shows the bus traffic
# (lines starting with "bus:") beside the program's output.
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail
build=${1:-build/host}
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT

KZR415_SIM_TRACE="$trace" LD_PRELOAD="$build/sim/libkzr-415-sim-bus.so" \
    "$build/tool/kzr-415-tool" && status=0 || status=$?
echo "--- exit status $status; bus traffic at the simulated device:"
sed 's/^/bus: /' "$trace"
exit "$status"
