# shellcheck shell=bash
# Shared by check-install.sh and check-debs.sh (sourced): their options, the build made the
# way a distribution or an SDK builds the project, the consumers of tests/consumers built
# against an installed tree, and running target programs on the emulated bus.
#   --name NAME        work folder build/packaging-NAME (default: host)
#   --toolchain FILE   CMake toolchain file of a cross build
#   --emulator 'CMD'   qemu-user command line that runs the target's programs, for example
#                      'qemu-arm -L /usr/arm-linux-gnueabihf'
# Options the sourcing script handles itself are left in the array "options".
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
name=host toolchain="" emulator=""
options=()
while [ $# -gt 0 ]; do
    case $1 in
    --name) name=$2 ;;
    --toolchain) toolchain=$(realpath "$2") ;;
    --emulator) emulator=$2 ;;
    --*) options+=("$1" "$2") ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift 2
done
work=$source_dir/build/packaging-$name
mkdir -p "$work"

fail() {
    echo "FAIL ($name): $*" >&2
    exit 1
}

# The library's ABI version, written once in the top CMakeLists.txt, and what it names: the
# SONAME, the library's file and the runtime package Debian names after the SONAME.
abi_version=$(sed -n 's/^set(KZR415_ABI_VERSION \([0-9][0-9.]*\))$/\1/p' "$source_dir/CMakeLists.txt")
[ -n "$abi_version" ] || fail "no KZR415_ABI_VERSION in $source_dir/CMakeLists.txt"
soname=libkzr-415-drv.so.${abi_version%%.*}
library_file=libkzr-415-drv.so.$abi_version
runtime=libkzr-415-drv${abi_version%%.*}

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

# The device's temperatures for the consumers, -25.0 and 22.0 degrees, and their bytes.
consumer_raw_lines="raw value 1:252 224 0
raw value 2:2 192 0"
# The complete run of kzr-415-tool, as the plan has it.
expected_tool=$(sed -n 's/^expect complete stdout //p' "$source_dir/tests/board/scenarios.txt")

# build_consumers ROOT LIBDIR LABEL CC CXX: builds the two programs of tests/consumers
# against the driver installed under ROOT (LIBDIR relative to it), once through the CMake
# package and once through pkg-config, into $work/LABEL-consumers-{cmake,pkg-config}.
build_consumers() {
    local root=$1 libdir=$2 label=$3 cc=$4 cxx=$5
    local consumers=$work/$label-consumers-cmake
    rm -rf "$consumers"
    local cmake_options=(-S "$source_dir/tests/consumers" -B "$consumers" -G Ninja)
    if [ -n "$toolchain" ]; then
        printf 'include("%s")\nlist(APPEND CMAKE_FIND_ROOT_PATH "%s")\n' \
            "$toolchain" "$root" >"$work/$label-toolchain.cmake"
        cmake_options+=(-DCMAKE_TOOLCHAIN_FILE="$work/$label-toolchain.cmake")
    else
        cmake_options+=(-DCMAKE_PREFIX_PATH="$root/usr")
    fi
    if ! { cmake "${cmake_options[@]}" && cmake --build "$consumers"; } >"$consumers.log" 2>&1; then
        cat "$consumers.log"
        fail "$label: consumers through find_package"
    fi
    local found
    found=$(cache_value "$consumers" kzr-415-drv_DIR)
    [ "$found" = "$root/$libdir/cmake/kzr-415-drv" ] || fail "$label: find_package found $found"

    consumers=$work/$label-consumers-pkg-config
    rm -rf "$consumers"
    mkdir -p "$consumers"
    PKG_CONFIG_LIBDIR=$root/$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$root \
        make -s -f "$source_dir/tests/consumers/Makefile" O="$consumers" CC="$cc" CXX="$cxx" \
        >"$consumers.log" 2>&1 || { cat "$consumers.log"; fail "$label: consumers through pkg-config"; }
}

# run_consumers ROOT LIBDIR LABEL shared|static: runs both ways' consumers on the emulated bus
# with the libraries under ROOT; shared ones must need the library's SONAME.
run_consumers() {
    local root=$1 libdir=$2 label=$3 kind=$4
    local way dir program
    for way in cmake pkg-config; do
        dir=$work/$label-consumers-$way
        if [ "$kind" = shared ]; then
            for program in consumer-c consumer-cxx; do
                readelf -d "$dir/$program" | grep -q "(NEEDED).*\[${soname//./\\.}\]" ||
                    fail "$label/$way: $program does not need $soname"
            done
        fi
        export KZR415_SIM_CELSIUS_1=-25 KZR415_SIM_CELSIUS_2=22
        expect_output "$label: C consumer through $way" "$consumer_raw_lines
$consumer_raw_lines
c consumer: -25.000000 22.000000" run_on_bus "$root/$libdir" "$dir/consumer-c"
        expect_output "$label: C++ consumer through $way" "$consumer_raw_lines
c++ consumer: configuration 00 06, temperature 1 -25.000000" \
            run_on_bus "$root/$libdir" "$dir/consumer-cxx"
        unset KZR415_SIM_CELSIUS_1 KZR415_SIM_CELSIUS_2
    done
}

# scratch_root ROOT PACKAGE:ARCH...: a scratch root for dpkg --root whose database holds this
# machine's records of the given (installed) packages, so that they count as installed there
# while every file of what is installed into it goes to the scratch root.
scratch_root() {
    local admin=$1/var/lib/dpkg package
    rm -rf "$1"
    mkdir -p "$admin/info" "$admin/updates"
    touch "$admin/available" "$admin/status"
    for package in "${@:2}"; do
        dpkg-query -s "$package" >>"$admin/status" ||
            fail "$package is not installed here (scripts/install-deps.sh installs it)"
        echo >>"$admin/status"
        touch "$admin/info/$package.list"
    done
}
dpkg_root() { dpkg --root="$1" --force-not-root "${@:2}"; }

# shell_in_root ROOT: this machine's /bin/sh and the libraries it loads, copied into ROOT, for
# the maintainer scripts that dpkg runs there (python3-kzr415's byte-compiling postinst,
# which compiles nothing where Debian's py3compile is not installed).
shell_in_root() {
    local shell file
    shell=$(readlink -f /bin/sh)
    for file in "$shell" $(ldd "$shell" | grep -o '/[^ ]*'); do
        mkdir -p "$1$(dirname "$file")"
        cp -L "$file" "$1$file"
    done
    mkdir -p "$1/bin"
    [ -e "$1/bin/sh" ] || ln -s "$shell" "$1/bin/sh"
}
