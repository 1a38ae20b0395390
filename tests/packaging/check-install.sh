#!/usr/bin/env bash
# The project built and installed as an SDK or a distribution other than Debian builds it:
# configured without network and without GoogleTest, with the builder's own compiler flags
# (the project must add none), installed into a staging folder (DESTDIR) as a static library.
# Checks the installed tree, builds the two programs of tests/consumers against it through
# the CMake package and through pkg-config (with a sysroot for a cross build), and runs them
# and the installed kzr-415-tool on the emulated bus. The shared library's installed tree
# and its consumers are checked on the Debian packages (check-debs.sh).
# Usage: tests/packaging/check-install.sh [--name N] [--toolchain FILE] [--emulator 'CMD']
# shellcheck source=tests/packaging/common.sh
source "$(dirname "$0")/common.sh"

build=$work/static
stage=$work/static-stage
build_project "$build" -DBUILD_SHARED_LIBS=OFF -DKZR415_BUILD_SIM=ON
rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" >"$build.install.log"
libdir=usr/$(cache_value "$build" CMAKE_INSTALL_LIBDIR)

required=(usr/include/kzr-415-drv.h "$libdir/libkzr-415-drv.a" "$libdir/pkgconfig/kzr-415-drv.pc"
    "$libdir/cmake/kzr-415-drv/kzr-415-drv-config.cmake"
    "$libdir/cmake/kzr-415-drv/kzr-415-drv-config-version.cmake"
    "$libdir/cmake/kzr-415-drv/kzr-415-drv-targets.cmake"
    "$libdir/kzr-415/libkzr-415-sim-bus.so" usr/bin/kzr-415-tool
    usr/share/man/man1/kzr-415-tool.1.gz usr/share/kzr-415/60-kzr-415-i2c.rules)
for file in "${required[@]}"; do
    [ -f "$stage/$file" ] || fail "not installed: /$file"
done
[ ! -e "$stage/$libdir/libkzr-415-drv.so" ] || fail "a static build installs a .so"
# Every path of the pkg-config file is relative to ${prefix}, so the staged tree relocates.
pc=$stage/$libdir/pkgconfig/kzr-415-drv.pc
grep -qx 'prefix=/usr' "$pc" || fail "pkg-config prefix"
if grep -v '^prefix=' "$pc" | grep -q '=/'; then fail "absolute path in $pc"; fi
echo "ok: static: installed tree"

build_consumers "$stage" "$libdir" static "$(compiler_of "$build" C)" "$(compiler_of "$build" CXX)"
run_consumers "$stage" "$libdir" static static
expect_output "static: installed kzr-415-tool" "$expected_tool" \
    run_on_bus "$stage/$libdir" "$stage/usr/bin/kzr-415-tool"

echo "installed files (static, under DESTDIR):"
(cd "$stage" && find . -type l -printf '  /%P -> %l\n' -o -type f -printf '  /%P\n' | sort)
