#!/usr/bin/env bash
# The library packages of two architectures installed side by side (Multi-Arch: same) into
# one scratch root, whose own dpkg database has the second architecture added: both
# libraries and both -dev packages at once, the files they share identical.
# Usage: tests/packaging/check-coinstall.sh NATIVE_DEBS FOREIGN_DEBS FOREIGN_ARCH
#   e.g. check-coinstall.sh build/debian-amd64 build/debian-armhf armhf
# shellcheck source=tests/packaging/common.sh
source "$(dirname "$0")/common.sh" --name coinstall
[ ${#options[@]} -eq 0 ] || { echo "unknown option: ${options[0]}" >&2; exit 2; }
native_debs=$1 foreign_debs=$2 foreign_arch=$3
native_arch=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
packages=("$runtime" libkzr-415-drv-dev)

root=$work/root
scratch_root "$root" "libc6:$native_arch" "libc6:$foreign_arch"
dpkg_root "$root" --add-architecture "$foreign_arch"
debs=()
for package in "${packages[@]}"; do
    debs+=("$native_debs/${package}_${version}_$native_arch.deb"
        "$foreign_debs/${package}_${version}_$foreign_arch.deb")
done
dpkg_root "$root" -i "${debs[@]}" >"$root.log" 2>&1 || { cat "$root.log"; fail "dpkg --root -i ${debs[*]##*/}"; }

for package in "${packages[@]}"; do
    for arch in "$native_arch" "$foreign_arch"; do
        [ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$package:$arch")" = \
            "install ok installed" ] || fail "$package:$arch is not installed"
    done
done
for arch in "$native_arch" "$foreign_arch"; do
    library=$root/usr/lib/$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)/$soname
    [ -f "$library" ] || fail "no $arch library at ${library#"$root"}"
    echo "  ${library#"$root"}: $(readelf -h "$library" | sed -n 's/^ *Machine: *//p')"
done
# Shared paths hold one file that both packages list.
owners=$(dpkg-query --admindir="$root/var/lib/dpkg" -S /usr/include/kzr-415-drv.h | sed 's/: .*//')
[ "$(tr -d ' ' <<<"$owners" | tr ',' '\n' | sort | tr '\n' ' ')" = \
    "$(printf 'libkzr-415-drv-dev:%s\n' "$native_arch" "$foreign_arch" | sort | tr '\n' ' ')" ] ||
    fail "the header's owners: $owners"
echo "ok: ${packages[*]} of $native_arch and $foreign_arch installed side by side (dpkg --root)"
