#!/usr/bin/env bash
# Runs kzr-415-tool under kzr-415-sim and shows the bus traffic beside the program's output,
# in the order it happens: lines marked "bus|" are the transfers at the simulated device.
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail
build=${1:-build/host}

echo "\$ kzr-415-sim --trace - -- kzr-415-tool"
# stdbuf keeps the program's output line by line, so that it interleaves with the trace.
"$build/sim/kzr-415-sim" --trace - -- stdbuf -oL "$build/tool/kzr-415-tool" 2>&1 |
    sed -E 's/^([WR] 0x[0-9a-f]{2} .*)$/        bus| \1/'
status=${PIPESTATUS[0]}
echo "--- exit status $status"
exit "$status"
