#!/usr/bin/env bash
# Installs the project into a staging folder (DESTDIR) as a shared and as a static library,
# checks the installed tree, builds the two programs of tests/consumers against it once
# through the CMake package and once through pkg-config, and runs them and the installed
# kzr-415-tool on the emulated bus.
# Usage: tests/packaging/check-install.sh [--name N] [--toolchain FILE] [--emulator 'CMD']
# shellcheck source=tests/packaging/common.sh
source "$(dirname "$0")/common.sh"

# The device's temperature register for the consumers: -25.0 and 21.0 degrees.
consumer_temperature="fc e0 00 02 a0 00"
raw_lines="raw value 1:252 224 0
raw value 2:2 160 0"
expected_c="$raw_lines
$raw_lines
c consumer: -25.000000 21.000000"
expected_cxx="$raw_lines
c++ consumer: configuration 00 06, temperature 1 -25.000000"
expected_tool="slave address of kzr-415      : 0x48
raw value 1:3 32 0
raw value 2:2 160 0
temperature 1:25.000000
raw value 1:3 32 0
raw value 2:2 160 0
temperature 2:21.000000"

check_installed_tree() {
    local kind=$1 stage=$2 libdir=$3
    local required=(usr/include/kzr-415-drv.h "$libdir/pkgconfig/kzr-415-drv.pc"
        "$libdir/cmake/kzr-415-drv/kzr-415-drv-config.cmake"
        "$libdir/cmake/kzr-415-drv/kzr-415-drv-config-version.cmake"
        "$libdir/cmake/kzr-415-drv/kzr-415-drv-targets.cmake"
        "$libdir/kzr-415/libkzr-415-sim-bus.so" usr/bin/kzr-415-tool
        usr/share/man/man1/kzr-415-tool.1.gz usr/share/kzr-415/60-kzr-415-i2c.rules)
    if [ "$kind" = shared ]; then
        required+=("$libdir/libkzr-415-drv.so.1.0.0")
        [ "$(readlink "$stage/$libdir/libkzr-415-drv.so.1")" = libkzr-415-drv.so.1.0.0 ] ||
            fail "libkzr-415-drv.so.1 does not link to libkzr-415-drv.so.1.0.0"
        [ "$(readlink "$stage/$libdir/libkzr-415-drv.so")" = libkzr-415-drv.so.1 ] ||
            fail "libkzr-415-drv.so does not link to libkzr-415-drv.so.1"
    else
        required+=("$libdir/libkzr-415-drv.a")
        [ ! -e "$stage/$libdir/libkzr-415-drv.so" ] || fail "a static build installs a .so"
    fi
    for file in "${required[@]}"; do
        [ -f "$stage/$file" ] || fail "not installed: /$file"
    done
    # Every path of the pkg-config file is relative to ${prefix}.
    local pc=$stage/$libdir/pkgconfig/kzr-415-drv.pc
    grep -qx 'prefix=/usr' "$pc" || fail "pkg-config prefix"
    if grep -v '^prefix=' "$pc" | grep -q '=/'; then fail "absolute path in $pc"; fi
    # The man page renders without warnings.
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l \
        "$stage/usr/share/man/man1/kzr-415-tool.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man page warnings: $warnings"
    echo "ok: $kind: installed tree"
}

for kind in shared static; do
    build=$work/$kind
    stage=$work/$kind-stage
    shared=ON
    [ "$kind" = shared ] || shared=OFF
    build_project "$build" -DBUILD_SHARED_LIBS=$shared
    rm -rf "$stage"
    DESTDIR=$stage cmake --install "$build" >"$build.install.log"
    libdir=usr/$(cache_value "$build" CMAKE_INSTALL_LIBDIR)
    check_installed_tree "$kind" "$stage" "$libdir"

    # Through the CMake package: the staged tree is a prefix (host) or an added root (cross).
    consumers=$work/$kind-consumers-cmake
    rm -rf "$consumers"
    options=(-S "$source_dir/tests/consumers" -B "$consumers" -G Ninja)
    if [ -n "$toolchain" ]; then
        printf 'include("%s")\nlist(APPEND CMAKE_FIND_ROOT_PATH "%s")\n' \
            "$toolchain" "$stage" >"$work/$kind-toolchain.cmake"
        options+=(-DCMAKE_TOOLCHAIN_FILE="$work/$kind-toolchain.cmake")
    else
        options+=(-DCMAKE_PREFIX_PATH="$stage/usr")
    fi
    if ! { cmake "${options[@]}" && cmake --build "$consumers"; } >"$consumers.log" 2>&1; then
        cat "$consumers.log"
        fail "$kind: consumers through find_package"
    fi
    found=$(cache_value "$consumers" kzr-415-drv_DIR)
    [ "$found" = "$stage/$libdir/cmake/kzr-415-drv" ] || fail "find_package found $found"

    # Through pkg-config, with the compilers of the project's build.
    consumers_pc=$work/$kind-consumers-pkg-config
    rm -rf "$consumers_pc"
    mkdir -p "$consumers_pc"
    PKG_CONFIG_LIBDIR=$stage/$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage \
        make -s -f "$source_dir/tests/consumers/Makefile" O="$consumers_pc" \
        CC="$(compiler_of "$build" C)" CXX="$(compiler_of "$build" CXX)" >"$consumers_pc.log" 2>&1 ||
        { cat "$consumers_pc.log"; fail "$kind: consumers through pkg-config"; }

    for way in cmake pkg-config; do
        dir=$work/$kind-consumers-$way
        if [ "$kind" = shared ]; then
            for program in consumer-c consumer-cxx; do
                readelf -d "$dir/$program" | grep -q 'NEEDED.*\[libkzr-415-drv\.so\.1\]' ||
                    fail "$kind/$way: $program does not need libkzr-415-drv.so.1"
            done
        fi
        export KZR415_SIM_TEMPERATURE=$consumer_temperature
        expect_output "$kind: C consumer through $way" "$expected_c" \
            run_on_bus "$stage/$libdir" "$dir/consumer-c"
        expect_output "$kind: C++ consumer through $way" "$expected_cxx" \
            run_on_bus "$stage/$libdir" "$dir/consumer-cxx"
        unset KZR415_SIM_TEMPERATURE
    done
    expect_output "$kind: installed kzr-415-tool" "$expected_tool" \
        run_on_bus "$stage/$libdir" "$stage/usr/bin/kzr-415-tool"

    echo "installed files ($kind, under DESTDIR):"
    (cd "$stage" && find . -type l -printf '  /%P -> %l\n' -o -type f -printf '  /%P\n' | sort)
done
