#!/bin/bash
# Compile check of the simulated kzr-415 kernel module (sim/kernel/), against the kernel
# headers that tests/board/prepare-image.sh unpacked: this machine's architecture (Debian's
# current kernel) and the board's armmp kernel, warnings as errors; then, with dkms, the
# module's dkms.conf built for this machine's kernel headers in a scratch tree (nothing is
# installed). These machines cannot load modules: the board test loads the armhf one.
#
#   check-module-build.sh [--image DIR] [--work DIR] [--no-dkms]
#
# Exit status 0 when every build succeeded, 1 when one failed, 2 when the image is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../sim/kernel" && pwd)
image=${KZR415_BOARD_IMAGE:-$here/../../build/board-image}
work='' dkms=1

die() {
    echo "check-module-build: $*" >&2
    exit 2
}
fail() {
    echo "check-module-build: FAILED: $*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case "$1" in
    --image) image=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --no-dkms) dkms=; shift ;;
    -h | --help) sed -n '8p' "$0" | sed 's/^# *//'; exit 0 ;;
    *) die "unknown argument $1 (see --help)" ;;
    esac
done
[ -s "$image/image.env" ] || die "board image missing: run make board-image (tests/board/prepare-image.sh)"
# shellcheck source=/dev/null
. "$image/image.env"
image=$(cd "$image" && pwd)
if [ -n "$work" ]; then
    rm -rf "$work" && mkdir -p "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/kzr-415-module.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
work=$(cd "$work" && pwd)

# vermagic of a built module, from its .modinfo section
vermagic() { readelf -p .modinfo "$1" | sed -n 's/.*vermagic=\([^ ]*\).*/\1/p'; }

build() { # build NAME HEADERS RELEASE [MAKE-ARGUMENT...]
    local name=$1 headers=$2 release=$3 dir=$work/$1 got
    shift 3
    cp -r "$source_dir" "$dir"
    rm -f "$dir/dkms.conf" "$dir/README.md"
    if ! make -s -C "$image/$headers" M="$dir" KCFLAGS=-Werror W=1 "$@" modules >"$dir.log" 2>&1; then
        sed 's/^/    /' "$dir.log" >&2
        fail "the module does not build for $release ($name)"
    fi
    got=$(vermagic "$dir/kzr-415-sim.ko")
    [ "$got" = "$release" ] || fail "$name module has vermagic '$got', not '$release'"
    echo "check-module-build: $name: kzr-415-sim.ko for $release," \
        "$(stat -c %s "$dir/kzr-415-sim.ko") bytes, no warnings"
}

build host "$KZR415_IMAGE_HOST_HEADERS" "$KZR415_IMAGE_HOST_RELEASE"
build armhf "$KZR415_IMAGE_HEADERS" "$KZR415_IMAGE_RELEASE" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-

[ -n "$dkms" ] || exit 0
command -v dkms >/dev/null || die "no dkms on this machine (package dkms), or pass --no-dkms"
# The package's layout: the sources and dkms.conf in <sourcetree>/kzr-415-sim-<version>,
# the version filled in as the packaging does.
version=$(sed -n 's/^project(kzr-415-drv VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")
[ -n "$version" ] || die "no project version in CMakeLists.txt"
src=$work/dkms-source/kzr-415-sim-$version
mkdir -p "$src" "$work/dkms-tree" "$work/dkms-install"
cp "$source_dir"/Kbuild "$source_dir"/Makefile "$source_dir"/*.c "$src/"
sed "s/#MODULE_VERSION#/$version/" "$source_dir/dkms.conf" >"$src/dkms.conf"
dkms_args=(-m kzr-415-sim -v "$version" -k "$KZR415_IMAGE_HOST_RELEASE"
    --sourcetree "$work/dkms-source" --dkmstree "$work/dkms-tree"
    --installtree "$work/dkms-install" --kernelsourcedir "$image/$KZR415_IMAGE_HOST_HEADERS")
if ! { dkms add "${dkms_args[@]}" && dkms build "${dkms_args[@]}"; } >"$work/dkms.log" 2>&1; then
    sed 's/^/    /' "$work/dkms.log" >&2
    find "$work/dkms-tree" -name make.log -exec sed 's/^/    /' {} + >&2
    fail "dkms cannot build kzr-415-sim $version for $KZR415_IMAGE_HOST_RELEASE"
fi
ko=$(find "$work/dkms-tree/kzr-415-sim/$version/$KZR415_IMAGE_HOST_RELEASE" -name kzr-415-sim.ko | head -n 1)
[ -n "$ko" ] || fail "dkms reported success but built no kzr-415-sim.ko"
[ "$(vermagic "$ko")" = "$KZR415_IMAGE_HOST_RELEASE" ] || fail "the dkms build's vermagic is '$(vermagic "$ko")'"
echo "check-module-build: dkms: kzr-415-sim $version built for $KZR415_IMAGE_HOST_RELEASE from dkms.conf"
