#!/usr/bin/env bash
# The whole packaging check, one step: the Debian packages of this machine's architecture and
# of the boards' (armhf) built from debian/ with lintian clean, each built a second time in
# another folder and compared byte for byte, checked (check-debs.sh), the two library
# packages installed side by side (check-coinstall.sh), and the SDK-style staged install of
# both architectures (check-install.sh). Installs nothing: scripts/install-deps.sh does.
# Usage: tests/packaging/check-packages.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
native=$(dpkg --print-architecture)
board=armhf
toolchain=$source_dir/cmake/arm-linux-gnueabihf.cmake
# The loader and C library of the multiarch libc6:armhf that install-deps.sh installs for
# the cross build (cmake/arm-linux-gnueabihf.cmake says why not the cross root's).
emulator='qemu-arm -L /'

# Everything debian/control names for both builds and for the pipeline must be there.
"$source_dir/scripts/install-deps.sh" --check || exit 1

# Both architectures' packages, each built twice in two folders: the .debs must be the same.
for arch in "$native" "$board"; do
    "$here/build-debs.sh" --arch "$arch" --out "$source_dir/build/debian-$arch"
    "$here/build-debs.sh" --arch "$arch" --out "$source_dir/build/debian-$arch-rebuilt" >/dev/null
    first=$(cd "$source_dir/build/debian-$arch" && sha256sum ./*.deb)
    second=$(cd "$source_dir/build/debian-$arch-rebuilt" && sha256sum ./*.deb)
    if [ "$first" != "$second" ]; then
        diff <(echo "$first") <(echo "$second") >&2 || true
        echo "check-packages: two builds of the $arch packages differ" >&2
        exit 1
    fi
    echo "ok: $arch: two builds in two folders give byte-identical packages:"
    echo "$first" | sed 's/^/  /'
done

"$here/check-debs.sh" --debs "$source_dir/build/debian-$native"
"$here/check-debs.sh" --name "$board" --debs "$source_dir/build/debian-$board" --deb-arch "$board" \
    --toolchain "$toolchain" --emulator "$emulator"
"$here/check-coinstall.sh" "$source_dir/build/debian-$native" "$source_dir/build/debian-$board" "$board"
"$here/check-install.sh"
"$here/check-install.sh" --name "$board" --toolchain "$toolchain" --emulator "$emulator"
echo "check-packages: all passed"
