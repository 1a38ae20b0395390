#!/usr/bin/env bash
# Prints what the library costs: the cost benchmark's table (time per call against the floor
# measured in the same run, heap allocations and bus transfers per call), then the bus
# transfers of one complete run of kzr-415-tool on the preloaded emulated bus.
# Usage: scripts/bench.sh [BUILD_DIR] [benchmark flags...]   (BUILD_DIR: the bench preset's)
set -euo pipefail
build=${1:-build/bench}
shift || true

echo "machine: $(uname -m), $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1)"
echo "compiler: $(c++ --version | head -1)"
"$build/tests/bench/kzr415-cost-benchmark" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true "$@"

trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
KZR415_SIM_TRACE="$trace" LD_PRELOAD="$build/sim/libkzr-415-sim-bus.so" \
    "$build/tool/kzr-415-tool" >/dev/null
echo
echo "bus transfers in one complete run of kzr-415-tool: $(wc -l <"$trace")"
