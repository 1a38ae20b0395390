#!/usr/bin/env bash
# Static analysis of the driver and the program: clang-tidy with the project's .clang-tidy and
# cppcheck. Any finding fails the run.
# Usage: scripts/static-analysis.sh [BUILD_DIR]   (a configured build: compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
sources=(lib/*.cpp tool/*.cpp)

echo "clang-tidy: ${sources[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
clang-tidy --quiet -p "$build" "${sources[@]}" >"$log" 2>&1 || status=$?
grep -v '^[0-9]* warnings\? generated\.$' "$log" || true # the system headers' count
[ "$status" -eq 0 ] || exit "$status"

echo "cppcheck: ${sources[*]}"
cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
    --inline-suppr --error-exitcode=1 --quiet -I lib "${sources[@]}"
echo "static analysis: clean"
