#!/usr/bin/env bash
# Builds the Debian packages with CPack and checks them: names, architecture, dependencies
# (against what their binaries need), contents, and, for this machine's architecture, an
# installation into a scratch root with dpkg --root and a run of the installed tool on the
# emulated bus.
# Usage: tests/packaging/check-debs.sh [--name N] [--toolchain FILE] [--emulator 'CMD']
#                                      [--deb-arch ARCH]   (default: this machine's)
deb_arch=""
arguments=()
while [ $# -gt 0 ]; do
    if [ "$1" = --deb-arch ]; then deb_arch=$2; else arguments+=("$1" "$2"); fi
    shift 2
done
# shellcheck source=tests/packaging/common.sh
source "$(dirname "$0")/common.sh" "${arguments[@]}"
[ -n "$deb_arch" ] || deb_arch=$(dpkg --print-architecture)

build=$work/shared
build_project "$build" -DBUILD_SHARED_LIBS=ON
libdir=usr/$(cache_value "$build" CMAKE_INSTALL_LIBDIR)
version=$(cache_value "$build" CMAKE_PROJECT_VERSION)-1
debs=$work/debs
rm -rf "$debs"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$debs" >"$debs.log" 2>&1 ||
    { cat "$debs.log"; fail "cpack"; }

runtime=libkzr-415-drv1 development=libkzr-415-drv-dev tool=kzr-415-tool sim=kzr-415-sim
deb_of() { echo "$debs/${1}_${version}_${deb_arch}.deb"; }
field() { dpkg-deb --field "$(deb_of "$1")" "$2"; }

# The files of a package, one per line, without folders: "/path" or "/path -> target".
contents() {
    dpkg-deb --contents "$(deb_of "$1")" | awk '
        $2 != "root/root" { print "OWNER " $2 " " $6 }
        $1 !~ /^d/ { sub(/^[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +\./, ""); print }' | sort
}

# The Debian package that provides a shared library a binary needs.
package_of_library() {
    case $1 in
    libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | librt.so.1 | ld-linux*.so.*) echo libc6 ;;
    libstdc++.so.6) echo libstdc++6 ;;
    libgcc_s.so.1) echo libgcc-s1 ;;
    libkzr-415-drv.so.1) echo "$runtime" ;;
    *) echo "unknown:$1" ;;
    esac
}

# Each ELF file of a package: built for the package's architecture, and every library it
# needs (C library symbol versions included) promised by the package's Depends.
check_binaries() {
    local package=$1 depends root=$debs/extracted/$1
    depends=$(field "$package" Depends)
    mkdir -p "$root"
    dpkg-deb -x "$(deb_of "$package")" "$root"
    local libc_version
    libc_version=$(sed -n 's/.*libc6 (>= \([0-9.]*\)).*/\1/p' <<<"$depends")
    while IFS= read -r -d '' file; do
        [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = 177ELF ] || continue
        local header
        header=$(readelf -h "$file")
        case $deb_arch in
        amd64) grep -q 'Machine: *Advanced Micro Devices X86-64' <<<"$header" ;;
        armhf) grep -q 'Machine: *ARM$' <<<"$header" && grep -q 'hard-float ABI' <<<"$header" ;;
        *) true ;;
        esac || fail "$package: ${file#"$root"} is not a $deb_arch binary"
        for library in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            local needed
            needed=$(package_of_library "$library")
            sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends" | grep -qxF "$needed" ||
                fail "$package: ${file#"$root"} needs $library ($needed), Depends: $depends"
        done
        local glibc
        glibc=$(readelf -V "$file" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
        if [ -n "$glibc" ] && [ "$(printf '%s\n%s\n' "$glibc" "$libc_version" | sort -V | tail -n 1)" != "$libc_version" ]; then
            fail "$package: ${file#"$root"} needs GLIBC_$glibc, Depends: $depends"
        fi
    done < <(find "$root" -type f -print0)
    echo "ok: $package: binaries are $deb_arch and their libraries are in Depends"
}

expect_contents() {
    local package=$1 expected
    expected=$(printf '%s\n' "${@:2}" | sort)
    local got
    got=$(contents "$package")
    [ "$got" = "$expected" ] ||
        { printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$got" >&2; fail "$package: contents"; }
    echo "ok: $package: contents"
}

for package in $runtime $development $tool $sim; do
    [ -f "$(deb_of "$package")" ] || fail "no package $(basename "$(deb_of "$package")")"
    [ "$(field "$package" Package)" = "$package" ] || fail "$package: Package field"
    [ "$(field "$package" Version)" = "$version" ] || fail "$package: Version field"
    [ "$(field "$package" Architecture)" = "$deb_arch" ] || fail "$package: Architecture field"
    echo "--- $(basename "$(deb_of "$package")"):"
    dpkg-deb --field "$(deb_of "$package")" Package Version Architecture Section Depends
    echo
    check_binaries "$package"
done

# The relations between the packages.
grep -Eq "(^|, )$runtime \(= $version\)(,|$)" <<<"$(field $development Depends)" ||
    fail "$development must depend on exactly this version of $runtime"
grep -Eq "(^|, )$runtime \(>= [^)]*\)(,|$)" <<<"$(field $tool Depends)" ||
    fail "$tool must depend on $runtime"
[ "$(dpkg-deb --ctrl-tarfile "$(deb_of $runtime)" | tar -xO ./shlibs)" = \
    "libkzr-415-drv 1 $runtime (>= ${version%-1})" ] || fail "$runtime: shlibs file"

expect_contents $runtime "/$libdir/libkzr-415-drv.so.1 -> libkzr-415-drv.so.1.0.0" \
    "/$libdir/libkzr-415-drv.so.1.0.0"
expect_contents $development /usr/include/kzr-415-drv.h \
    "/$libdir/libkzr-415-drv.so -> libkzr-415-drv.so.1" "/$libdir/pkgconfig/kzr-415-drv.pc" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-config.cmake" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-config-version.cmake" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-targets.cmake" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-targets-none.cmake"
expect_contents $tool /usr/bin/kzr-415-tool /usr/share/man/man1/kzr-415-tool.1.gz \
    /usr/share/kzr-415/60-kzr-415-i2c.rules
expect_contents $sim /usr/bin/kzr-415-sim /usr/share/man/man1/kzr-415-sim.1.gz \
    "/$libdir/kzr-415/libkzr-415-sim-bus.so"

# Scratch roots whose dpkg database holds this machine's records of the libraries that the
# packages depend on, so that they count as installed while every file goes to the scratch.
scratch_root() {
    local admin=$1/var/lib/dpkg
    rm -rf "$1"
    mkdir -p "$admin/info" "$admin/updates"
    touch "$admin/available" "$admin/status"
    for package in libc6 libstdc++6 libgcc-s1; do
        dpkg-query -s "$package:$deb_arch" >>"$admin/status"
        echo >>"$admin/status"
        touch "$admin/info/$package:$deb_arch.list"
    done
}
dpkg_root() { dpkg --root="$1" --force-not-root "${@:2}"; }

# Installs the packages into the scratch root $root with dpkg's dependency checks.
install_with_dpkg() {
    local refused=$work/root-without-library
    scratch_root "$refused"
    if dpkg_root "$refused" -i "$(deb_of $tool)" >"$refused.log" 2>&1; then
        fail "$tool installed without $runtime"
    fi
    grep -q "depends on $runtime" "$refused.log" || { cat "$refused.log"; fail "$tool: refusal"; }
    echo "ok: dpkg refuses $tool without $runtime"

    scratch_root "$root"
    dpkg_root "$root" -i "$(deb_of $runtime)" "$(deb_of $development)" "$(deb_of $tool)" \
        "$(deb_of $sim)" >"$root.log" 2>&1 || { cat "$root.log"; fail "dpkg --root -i"; }
    for package in $runtime $development $tool $sim; do
        [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$package")" = \
            "install ok installed" ] || fail "$package is not installed in the scratch root"
    done
    echo "ok: installed into $root (dpkg --root)"
}

root=$work/root
if [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
    install_with_dpkg
else
    # Another architecture's packages cannot be installed here: unpack them for the emulator.
    rm -rf "$root"
    for package in $runtime $development $tool $sim; do
        dpkg-deb -x "$(deb_of "$package")" "$root"
    done
    echo "ok: $deb_arch packages unpacked into $root (dpkg-deb -x)"
fi
expect_output "kzr-415-tool installed from the packages" "slave address of kzr-415      : 0x48
raw value 1:3 32 0
raw value 2:2 160 0
temperature 1:25.000000
raw value 1:3 32 0
raw value 2:2 160 0
temperature 2:21.000000" run_on_bus "$root/$libdir" "$root/usr/bin/kzr-415-tool"

# The installed wrapper finds the preload installed beside it, with no path given.
if [ -z "$emulator" ]; then
    expect_output "kzr-415-tool under the installed kzr-415-sim" "slave address of kzr-415      : 0x48
raw value 1:252 224 0
raw value 2:2 160 0
temperature 1:-25.000000
raw value 1:252 224 0
raw value 2:2 160 0
temperature 2:21.000000" env LD_LIBRARY_PATH="$root/$libdir" "$root/usr/bin/kzr-415-sim" -1 -25 \
        -- "$root/usr/bin/kzr-415-tool"
fi
