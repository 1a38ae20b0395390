#!/usr/bin/env bash
# Checks the Debian packages that build-debs.sh built: fields, contents, the library's symbols
# file, dependencies against what the binaries need; a consumer built against
# libkzr-415-drv-dev through pkg-config and through find_package, and what dpkg-shlibdeps
# makes of it; then the packages installed into a scratch root with dpkg --root (this
# machine's architecture) or unpacked (another one's, run under the emulator), and the
# installed programs run on the emulated bus; python3-kzr415 (Architecture: all) installed
# beside the library and its tests run against the installed files.
# Usage: tests/packaging/check-debs.sh --debs DIR [--deb-arch ARCH] [--name N]
#                                      [--toolchain FILE] [--emulator 'CMD']
# shellcheck source=tests/packaging/common.sh
source "$(dirname "$0")/common.sh"
debs="" deb_arch=$(dpkg --print-architecture)
set -- "${options[@]}"
while [ $# -gt 0 ]; do
    case $1 in
    --debs) debs=$(realpath "$2") ;;
    --deb-arch) deb_arch=$2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift 2
done
[ -n "$debs" ] || { echo "usage: $0 --debs DIR [--deb-arch ARCH] ..." >&2; exit 2; }

version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
triplet=$(dpkg-architecture -a"$deb_arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
libdir=usr/lib/$triplet
development=libkzr-415-drv-dev tool=kzr-415-tool sim=kzr-415-sim python=python3-kzr415
python_deb=$debs/${python}_${version}_all.deb

deb_of() { echo "$debs/${1}_${version}_${deb_arch}.deb"; }
field() { dpkg-deb --field "$(deb_of "$1")" "$2"; }

# The files of a package, one per line, without folders: "/path" or "/path -> target".
contents() {
    dpkg-deb --contents "$(deb_of "$1")" | awk '
        $2 != "root/root" { print "OWNER " $2 " " $6 }
        $1 !~ /^d/ { sub(/^[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +[^ ]+ +\./, ""); print }' | sort
}

expect_contents() {
    local package=$1 expected got
    expected=$(printf '%s\n' "${@:2}" "/usr/share/doc/$package/changelog.gz" \
        "/usr/share/doc/$package/copyright" | sort)
    got=$(contents "$package")
    [ "$got" = "$expected" ] ||
        { printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$got" >&2; fail "$package: contents"; }
    echo "ok: $package: contents"
}

# The Debian package that provides a shared library a binary needs.
package_of_library() {
    case $1 in
    libc.so.6 | libm.so.6 | libdl.so.2 | libpthread.so.0 | librt.so.1 | ld-linux*.so.*) echo libc6 ;;
    libstdc++.so.6) echo libstdc++6 ;;
    libgcc_s.so.1) echo libgcc-s1 ;;
    "$soname") echo "$runtime" ;;
    *) echo "unknown:$1" ;;
    esac
}

# Each ELF file of a package: built for the package's architecture, and every library it
# needs (C library symbol versions included) promised by the package's Depends.
check_binaries() {
    local package=$1 depends root=$work/extracted/$1
    depends=$(field "$package" Depends)
    rm -rf "$root"
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

# --- Fields, binaries and contents.
for package in $runtime $development $tool $sim; do
    [ -f "$(deb_of "$package")" ] || fail "no package $(basename "$(deb_of "$package")")"
    [ "$(field "$package" Package)" = "$package" ] || fail "$package: Package field"
    [ "$(field "$package" Version)" = "$version" ] || fail "$package: Version field"
    [ "$(field "$package" Architecture)" = "$deb_arch" ] || fail "$package: Architecture field"
    echo "--- $(basename "$(deb_of "$package")"):"
    dpkg-deb --field "$(deb_of "$package")" Package Version Architecture Multi-Arch Section \
        Pre-Depends Depends
    echo
    check_binaries "$package"
done
for package in $runtime $development; do
    [ "$(field "$package" Multi-Arch)" = same ] || fail "$package: not Multi-Arch: same"
done
[ "$(field $runtime Section)" = libs ] || fail "$runtime: Section"

# The relations between the packages: the -dev package goes with exactly its library; the
# tool asks for the library release that brought the symbols its programs use (kzr-415-read
# calls release 1.1's).
grep -Eq "(^|, )$runtime \(= $version\)(,|$)" <<<"$(field $development Depends)" ||
    fail "$development must depend on exactly this version of $runtime"
grep -Eq "(^|, )$runtime \(>= 1\.1\.0\)(,|$)" <<<"$(field $tool Depends)" ||
    fail "$tool must depend on $runtime (>= 1.1.0)"

# The library's symbols file, written from lib/kzr-415-drv.map (its agreement with the exports
# is dpkg-gensymbols -c4's, in the build), and the loader cache's trigger.
control_file() { dpkg-deb --ctrl-tarfile "$(deb_of "$1")" | tar -xO "./$2"; }
control_file $runtime symbols | grep -qxF "$soname $runtime #MINVER#" || fail "$runtime: no symbols file"
control_file $runtime triggers | grep -qx 'activate-noawait ldconfig' || fail "$runtime: ldconfig trigger"

expect_contents $runtime "/$libdir/$soname -> $library_file" "/$libdir/$library_file"
expect_contents $development /usr/include/kzr-415-drv.h "/$libdir/libkzr-415-drv.a" \
    "/$libdir/libkzr-415-drv.so -> $soname" "/$libdir/pkgconfig/kzr-415-drv.pc" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-config.cmake" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-config-version.cmake" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-targets.cmake" \
    "/$libdir/cmake/kzr-415-drv/kzr-415-drv-targets-none.cmake"
expect_contents $tool /usr/bin/kzr-415-capture /usr/bin/kzr-415-read /usr/bin/kzr-415-tool \
    /usr/share/man/man1/kzr-415-capture.1.gz /usr/share/man/man1/kzr-415-read.1.gz \
    /usr/share/man/man1/kzr-415-tool.1.gz /usr/share/kzr-415/60-kzr-415-i2c.rules
expect_contents $sim /usr/bin/kzr-415-sim /usr/share/man/man1/kzr-415-sim.1.gz \
    "/$libdir/kzr-415/libkzr-415-sim-bus.so"

# The man pages render without warnings.
for page in "$tool/usr/share/man/man1/kzr-415-tool.1.gz" \
    "$tool/usr/share/man/man1/kzr-415-capture.1.gz" "$tool/usr/share/man/man1/kzr-415-read.1.gz" \
    "$sim/usr/share/man/man1/kzr-415-sim.1.gz"; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$work/extracted/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man page $(basename "$page"): $warnings"
done
echo "ok: the man pages render without warnings"

# --- The packages on a system: installed with dpkg into a scratch root, or unpacked.
root=$work/root
if [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
    refused=$work/root-without-library
    scratch_root "$refused" "libc6:$deb_arch" "libstdc++6:$deb_arch" "libgcc-s1:$deb_arch"
    if dpkg_root "$refused" -i "$(deb_of $tool)" >"$refused.log" 2>&1; then
        fail "$tool installed without $runtime"
    fi
    grep -q "depends on $runtime" "$refused.log" || { cat "$refused.log"; fail "$tool: refusal"; }
    echo "ok: dpkg refuses $tool without $runtime"

    refused=$work/root-python-without-library
    scratch_root "$refused" "libc6:$deb_arch" python3
    if dpkg_root "$refused" -i "$python_deb" >"$refused.log" 2>&1; then
        fail "$python installed without $runtime"
    fi
    grep -q "depends on $runtime" "$refused.log" || { cat "$refused.log"; fail "$python: refusal"; }
    echo "ok: dpkg refuses $python without $runtime"

    scratch_root "$root" "libc6:$deb_arch" "libstdc++6:$deb_arch" "libgcc-s1:$deb_arch" python3
    shell_in_root "$root"
    dpkg_root "$root" -i "$(deb_of $runtime)" "$(deb_of $development)" "$(deb_of $tool)" \
        "$(deb_of $sim)" "$python_deb" >"$root.log" 2>&1 || { cat "$root.log"; fail "dpkg --root -i"; }
    for package in $runtime $development $tool $sim $python; do
        [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$package")" = \
            "install ok installed" ] || fail "$package is not installed in the scratch root"
    done
    echo "ok: installed into $root (dpkg --root)"
    cc=cc cxx=c++
else
    # Another architecture's packages are not installed here: unpacked for the emulator.
    rm -rf "$root"
    for package in $runtime $development $tool $sim; do
        dpkg-deb -x "$(deb_of "$package")" "$root"
    done
    echo "ok: $deb_arch packages unpacked into $root (dpkg-deb -x)"
    cc=$(dpkg-architecture -a"$deb_arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)-gcc
    cxx=${cc%-gcc}-g++
fi

# A consumer of libkzr-415-drv-dev, both ways, run on the emulated bus.
build_consumers "$root" "$libdir" "$deb_arch" "$cc" "$cxx"
run_consumers "$root" "$libdir" "$deb_arch" shared

# What dpkg-shlibdeps makes of the consumer, as in a package that is built against
# libkzr-415-drv-dev: the library's symbols file alone (its shlibs file taken away) must
# give the dependency on the release that brought the functions it calls (the consumer
# calls release 1.1's kzr_415_read_temperatures; kzr-415-tool, 1.0's functions alone, keeps
# asking for 1.0.0 above).
shlibdeps=$work/shlibdeps
rm -rf "$shlibdeps"
mkdir -p "$shlibdeps/debian/consumer/DEBIAN" "$shlibdeps/debian/consumer/usr/bin"
cp "$work/$deb_arch-consumers-pkg-config/consumer-c" "$shlibdeps/debian/consumer/usr/bin/"
dpkg-deb -R "$(deb_of $runtime)" "$shlibdeps/library"
rm "$shlibdeps/library/DEBIAN/shlibs"
printf 'Source: consumer\n\nPackage: consumer\nArchitecture: any\n' >"$shlibdeps/debian/control"
substvars=$(cd "$shlibdeps" && DEB_HOST_ARCH=$deb_arch dpkg-shlibdeps -O \
    -l"$shlibdeps/library/$libdir" debian/consumer/usr/bin/consumer-c) ||
    fail "dpkg-shlibdeps on the consumer"
grep -Eq "^shlibs:Depends=(.*, )?$runtime \(>= 1\.1\.0\)(,|$)" <<<"$substvars" ||
    fail "dpkg-shlibdeps on the consumer gives: $substvars"
echo "ok: dpkg-shlibdeps on a consumer: $substvars"

expect_output "kzr-415-tool installed from the packages" "$expected_tool" \
    run_on_bus "$root/$libdir" "$root/usr/bin/kzr-415-tool"

# The installed wrapper finds the preload installed beside it, with no path given.
if [ -z "$emulator" ]; then
    expect_output "kzr-415-tool under the installed kzr-415-sim" "slave address of kzr-415      : 0x48
$consumer_raw_lines
temperature 1:-25.000000
$consumer_raw_lines
temperature 2:22.000000" env LD_LIBRARY_PATH="$root/$libdir" "$root/usr/bin/kzr-415-sim" -1 -25 \
        -2 22 -- "$root/usr/bin/kzr-415-tool"
fi

# --- python3-kzr415 (Architecture: all, checked with this machine's packages): pure Python
# over the library, its dependencies, and its tests (and kzr-415-read's) run against the
# installed package, library, emulated bus and programs.
if [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
    [ -f "$python_deb" ] || fail "no package $(basename "$python_deb")"
    [ "$(dpkg-deb -f "$python_deb" Architecture)" = all ] || fail "$python: Architecture"
    [ "$(dpkg-deb -f "$python_deb" Section)" = python ] || fail "$python: Section"
    python_depends=$(dpkg-deb -f "$python_deb" Depends)
    grep -Eq "(^|, )$runtime \(>= 1\.1\.0\)(,|$)" <<<"$python_depends" ||
        fail "$python must depend on $runtime (>= 1.1.0): $python_depends"
    grep -Eq "(^|, )python3(:any)?( |,|$)" <<<"$python_depends" ||
        fail "$python must depend on python3: $python_depends"
    site=/usr/lib/python3/dist-packages
    # The installer's own files in the dist-info folder differ between Debian releases
    # (RECORD on 12, INSTALLER on 13): they are left out; everything else must be as listed.
    got=$(dpkg-deb --contents "$python_deb" | awk '$1 !~ /^d/ { sub(/^.* \./, ""); print }' |
        grep -Ev '\.dist-info/(INSTALLER|RECORD|REQUESTED|WHEEL|top_level\.txt)$' | sort)
    expected=$(printf '%s\n' "$site/kzr415/__init__.py" "$site/kzr415/_header.py" \
        "$site/kzr415/_library.py" "$site/kzr415/py.typed" \
        "$site/kzr415-$version.dist-info/METADATA" \
        "/usr/share/doc/$python/changelog.gz" "/usr/share/doc/$python/copyright" | sort)
    [ "$got" = "$expected" ] ||
        { printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$got" >&2; fail "$python: contents"; }
    echo "ok: $python: Architecture all, Depends: $python_depends, contents"
    if ! LD_LIBRARY_PATH="$root/$libdir" PYTHONDONTWRITEBYTECODE=1 \
        /usr/bin/python3 -m pytest -p no:cacheprovider -q \
        "$source_dir/tests/python/test_device.py" "$source_dir/tests/python/test_reader.py" \
        --package "$root$site" --libdir "$root/$libdir" --sim "$root/usr/bin/kzr-415-sim" \
        --preload "$root/$libdir/kzr-415/libkzr-415-sim-bus.so" \
        --reader "$root/usr/bin/kzr-415-read" >"$work/python-tests.log" 2>&1; then
        cat "$work/python-tests.log"
        fail "$python and kzr-415-read: the tests against the installed packages"
    fi
    echo "ok: $python and kzr-415-read installed: $(tail -n 1 "$work/python-tests.log")"
fi

# --- kzr-415-sim-dkms (Architecture: all, checked with this machine's packages): the
# module's sources where DKMS looks for them, with the dkms.conf that dh_dkms gave the
# package's version, a dependency on dkms, and dkms building the module from exactly these
# files for Debian's current kernel headers (unpacked by make board-image).
if [ "$deb_arch" = "$(dpkg --print-architecture)" ]; then
    dkms_deb=$debs/kzr-415-sim-dkms_${version}_all.deb
    [ -f "$dkms_deb" ] || fail "no package $(basename "$dkms_deb")"
    [ "$(dpkg-deb -f "$dkms_deb" Architecture)" = all ] || fail "kzr-415-sim-dkms: Architecture"
    grep -Eq '(^|, )dkms( |,|$)' <<<"$(dpkg-deb -f "$dkms_deb" Depends)" ||
        fail "kzr-415-sim-dkms must depend on dkms"
    module_src=/usr/src/kzr-415-sim-$version
    expected=$(printf '%s\n' "$module_src/Kbuild" "$module_src/Makefile" "$module_src/dkms.conf" \
        "$module_src/kzr-415-module.c" "$module_src/kzr-415-device.c" \
        "$module_src/kzr-415-device.h" "$module_src/kzr-415-errno-names.h" \
        /usr/share/doc/kzr-415-sim-dkms/changelog.gz \
        /usr/share/doc/kzr-415-sim-dkms/copyright | sort)
    got=$(dpkg-deb --contents "$dkms_deb" | awk '$1 !~ /^d/ { sub(/^.* \./, ""); print }' | sort)
    [ "$got" = "$expected" ] ||
        { printf 'expected:\n%s\ngot:\n%s\n' "$expected" "$got" >&2; fail "kzr-415-sim-dkms: contents"; }
    rm -rf "$work/dkms"
    dpkg-deb -x "$dkms_deb" "$work/dkms"
    grep -qx "PACKAGE_VERSION=\"$version\"" "$work/dkms$module_src/dkms.conf" ||
        fail "kzr-415-sim-dkms: dkms.conf does not carry version $version"
    echo "ok: kzr-415-sim-dkms: contents, dkms.conf of version $version, Depends on dkms"
    "$source_dir/tests/board/check-module-build.sh" --dkms "$work/dkms/usr/src" ||
        fail "dkms cannot build the module from kzr-415-sim-dkms"
fi
