# shellcheck shell=bash
# Shared by check-install.sh and check-debs.sh (sourced): their options, the build made the
# way a distribution or an SDK builds the project, and running target programs on the
# emulated bus.
#   --name NAME        build folder build/packaging-NAME (default: host)
#   --toolchain FILE   CMake toolchain file of a cross build
#   --emulator 'CMD'   qemu-user command line that runs the target's programs, for example
#                      'qemu-arm -L /usr/arm-linux-gnueabihf'
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
name=host toolchain="" emulator=""
while [ $# -gt 0 ]; do
    case $1 in
    --name) name=$2 ;;
    --toolchain) toolchain=$(realpath "$2") ;;
    --emulator) emulator=$2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift 2
done
work=$source_dir/build/packaging-$name
mkdir -p "$work"

fail() {
    echo "FAIL ($name): $*" >&2
    exit 1
}

# cache_value BUILD VARIABLE: a variable of a build folder's CMake cache.
cache_value() {
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# compiler_of BUILD LANGUAGE: the compiler that a build folder's configuration found.
compiler_of() {
    sed -n "s/^set(CMAKE_$2_COMPILER \"\(.*\)\")$/\1/p" "$1"/CMakeFiles/*/CMakeC*Compiler.cmake
}

# The compiler flags given to the build: the project must add no optimisation or CPU flags
# of its own, and no warnings-as-errors, to them.
build_flags="-O1 -g"

# build_project BUILD [CMAKE OPTION...]: configures (without network, GoogleTest or tests,
# installing under /usr, libraries in the multiarch folder as Debian does) and builds.
build_project() {
    local build=$1
    shift
    local options=(-S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None
        -DCMAKE_C_FLAGS="$build_flags" -DCMAKE_CXX_FLAGS="$build_flags"
        -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
        -DKZR415_GTEST_SOURCE_DIR=/nonexistent -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON "$@")
    [ -z "$toolchain" ] || options+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
    local offline=()
    if unshare --net true 2>/dev/null; then
        offline=(unshare --net)
    else
        echo "note: cannot drop the network here (unshare --net); configuring with it"
    fi
    "${offline[@]}" cmake "${options[@]}" >"$build.configure.log" 2>&1 ||
        { cat "$build.configure.log"; fail "configure without network and GoogleTest"; }
    local triplet
    triplet=$(sed -n 's/^ *set(CMAKE_LIBRARY_ARCHITECTURE "\(.*\)")$/\1/p' \
        "$build"/CMakeFiles/*/CMakeCCompiler.cmake)
    if [ -n "$triplet" ] && [ "$(cache_value "$build" CMAKE_INSTALL_LIBDIR)" != "lib/$triplet" ]; then
        "${offline[@]}" cmake "$build" -DCMAKE_INSTALL_LIBDIR="lib/$triplet" >>"$build.configure.log"
    fi
    cmake --build "$build" >"$build.build.log" 2>&1 || { cat "$build.build.log"; fail "build"; }

    local added
    added=$(grep -oE -- ' -(O[^ ]*|march=[^ ]*|mcpu=[^ ]*|mtune=[^ ]*|mfpu=[^ ]*|mfloat-abi=[^ ]*|mthumb|marm|Werror[^ ]*)' \
        "$build/compile_commands.json" | sort -u | tr -d ' ' | tr '\n' ' ')
    [ "$added" = "-O1 " ] || fail "the build adds compiler flags of its own: $added"
}

# run_on_bus LIBDIR PROGRAM [ARGUMENT...]: runs a target program with the libraries of LIBDIR
# on the emulated bus preloaded from LIBDIR/kzr-415 (KZR415_SIM_* as the caller exported).
run_on_bus() {
    local libdir=$1
    shift
    local preload=$libdir/kzr-415/libkzr-415-sim-bus.so
    [ -f "$preload" ] || fail "no emulated bus at $preload"
    if [ -z "$emulator" ]; then
        LD_LIBRARY_PATH=$libdir LD_PRELOAD=$preload "$@"
    else
        # qemu-user hands these to the target program only, not to itself.
        QEMU_SET_ENV="LD_LIBRARY_PATH=$libdir,LD_PRELOAD=$preload" $emulator "$@"
    fi
}

# expect_output DESCRIPTION EXPECTED COMMAND...: the command's standard output and success.
expect_output() {
    local what=$1 expected=$2
    shift 2
    local output status=0
    output=$("$@") || status=$?
    if [ "$status" -ne 0 ] || [ "$output" != "$expected" ]; then
        printf 'expected:\n%s\ngot (exit status %s):\n%s\n' "$expected" "$status" "$output" >&2
        fail "$what"
    fi
    echo "ok: $what"
}
