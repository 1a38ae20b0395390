#!/usr/bin/env bash
# Static analysis of everything that ships. User space: clang-tidy with the project's
# .clang-tidy and cppcheck over every C and C++ source under lib/, tool/ and sim/ that the
# build compiles (taken from compile_commands.json, so a new file is covered as soon as it is
# built). The kernel module (sim/kernel/): sparse, through the kernel's own build (C=2), for
# this machine's kernel and the board's, against the headers that make board-image
# unpacked. Every tool runs; any finding fails the run.
# Usage: scripts/static-analysis.sh [BUILD_DIR]   (a configured build: compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build/host}
image=${KZR415_BOARD_IMAGE:-$root/build/board-image}

die() {
    echo "static-analysis: $*" >&2
    exit 2
}
[ -s "$build/compile_commands.json" ] || die "no $build/compile_commands.json: configure the build first"
[ -s "$image/image.env" ] || die "board image missing: run make board-image (tests/board/prepare-image.sh)"
command -v sparse >/dev/null || die "no sparse on this machine (package sparse: make deps)"

failed=() # the tools that reported findings
work=$(mktemp -d "${TMPDIR:-/tmp}/kzr-415-static.XXXXXX")
trap 'rm -rf "$work"' EXIT

# -- user space -----------------------------------------------------------------------------

# The shipped sources the build compiles, relative to the tree.
mapfile -t sources < <(python3 - "$build/compile_commands.json" "$root" <<'EOF'
import json, os, sys
database, root = sys.argv[1], sys.argv[2]
found = set()
for entry in json.load(open(database)):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.split(os.sep)[0] in ("lib", "tool", "sim") and path.endswith((".c", ".cpp")):
        found.add(path)
print("\n".join(sorted(found)))
EOF
)
[ "${#sources[@]}" -gt 0 ] || die "no source of lib/, tool/ or sim/ in $build/compile_commands.json"
# Every C++ source there must be among them, and every C source but the module's own.
unbuilt=$(comm -23 <(find lib tool sim \( -name '*.cpp' -o -name '*.c' \) | sort) \
    <(printf '%s\n' "${sources[@]}") | grep -v '^sim/kernel/[^/]*\.c$' || true)
[ -z "$unbuilt" ] || die "not compiled by the build in $build, so not analysed: $unbuilt"
cxx_sources=() c_sources=()
for source in "${sources[@]}"; do
    case "$source" in
    *.cpp) cxx_sources+=("$source") ;;
    *) c_sources+=("$source") ;;
    esac
done

echo "clang-tidy: ${sources[*]}"
# One clang-tidy run per file, on every core: a run over several files keeps the header
# filter of the first file it reports a header for, and sim/kernel/ has its own. Each file's
# findings are printed together, in order.
# shellcheck disable=SC2016 # expanded by the inner shell, from its arguments
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -I '{}' sh -c \
    'clang-tidy --quiet -p "$1" "$2" >"$3/tidy-$(echo "$2" | tr / _).log" 2>&1' \
    tidy "$build" '{}' "$work" || failed+=(clang-tidy)
for source in "${sources[@]}"; do
    # less the count of warnings in system headers, which the header filter drops
    grep -v '^[0-9]* warnings\? generated\.$' "$work/tidy-$(echo "$source" | tr / _).log" || true
done

# normalCheckLevelMaxBranches (cppcheck 2.11 on) is cppcheck's notice that it bounded its own
# branch analysis for time, not a finding about the code.
cppcheck_options=('--enable=warning,style,performance,portability' --inline-suppr
    --suppress=normalCheckLevelMaxBranches
    --error-exitcode=1 --quiet -I lib -I sim -I "$build/generated")
echo "cppcheck: ${sources[*]}"
cppcheck "${cppcheck_options[@]}" --std=c++20 --language=c++ "${cxx_sources[@]}" ||
    failed+=(cppcheck)
if [ "${#c_sources[@]}" -gt 0 ]; then
    cppcheck "${cppcheck_options[@]}" --std=c11 --language=c "${c_sources[@]}" ||
        failed+=("cppcheck (C)")
fi

# -- the kernel module ----------------------------------------------------------------------

# sparse on every source the module's Kbuild compiles (and the headers they include), with
# the kernel's own checker flags; -Wsparse-error makes a warning fail the build. Kbuild's
# progress lines aside, any output is a finding (a compiler warning included).
# shellcheck source=/dev/null
. "$image/image.env"
sparse_module() { # NAME HEADERS [MAKE-ARGUMENT...]
    local name=$1 headers=$2 dir=$work/module-$1 source findings
    shift 2
    cp -r sim/kernel "$dir"
    if ! make -C "$image/$headers" M="$dir" C=2 CHECKFLAGS=-Wsparse-error "$@" modules \
        >"$dir.log" 2>&1; then
        sed "s|$dir/|sim/kernel/|g; s/^/    /" "$dir.log" >&2
        echo "static-analysis: sparse: the module fails for $name" >&2
        return 1
    fi
    findings=$(grep -v -E '^  [A-Z]+( \[M\])? +|^make(\[[0-9]+\])?: (Entering|Leaving) directory|^Skipping BTF generation' \
        "$dir.log" | sed "s|$dir/|sim/kernel/|g" || true)
    if [ -n "$findings" ]; then
        echo "$findings" >&2
        echo "static-analysis: sparse: findings in the module for $name" >&2
        return 1
    fi
    for source in sim/kernel/*.c; do
        grep -q "^  CHECK   $dir/${source##*/}\$" "$dir.log" ||
            die "sparse: $source is not compiled into the module (sim/kernel/Kbuild)"
    done
    echo "sparse: $name (${headers##*/}): $(grep -c '^  CHECK ' "$dir.log") source(s) of sim/kernel/, no finding"
}
sparse_module "$KZR415_IMAGE_HOST_RELEASE" "$KZR415_IMAGE_HOST_HEADERS" || failed+=(sparse)
sparse_module "$KZR415_IMAGE_RELEASE" "$KZR415_IMAGE_HEADERS" \
    ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- || failed+=("sparse (armhf)")

if [ "${#failed[@]}" -gt 0 ]; then
    printf -v list '%s, ' "${failed[@]}"
    echo "static analysis: FAILED: findings of ${list%, }" >&2
    exit 1
fi
echo "static analysis: clean"
