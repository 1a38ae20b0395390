#!/bin/bash
# Compile check of the simulated kzr-415 kernel module (sim/kernel/), against the kernel
# headers that tests/board/prepare-image.sh unpacked: this machine's architecture (Debian's
# current kernel) and the board's armmp kernel, warnings as errors. With --dkms, instead:
# dkms builds the module from a source tree laid out as the kzr-415-sim-dkms package
# installs it (USR_SRC/kzr-415-sim-<version>/ with its dkms.conf) for this machine's
# kernel headers, in a scratch tree (nothing is installed). These machines cannot load
# modules: the board test loads the armhf one.
#
#   check-module-build.sh [--image DIR] [--work DIR] [--dkms USR_SRC]
#
# Exit status 0 when every build succeeded, 1 when one failed, 2 when the image is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../sim/kernel" && pwd)
image=${KZR415_BOARD_IMAGE:-$here/../../build/board-image}
work='' dkms_sources=''

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
    --dkms) dkms_sources=$2; shift 2 ;;
    -h | --help) sed -n '10p' "$0" | sed 's/^# *//'; exit 0 ;;
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

if [ -z "$dkms_sources" ]; then
    build host "$KZR415_IMAGE_HOST_HEADERS" "$KZR415_IMAGE_HOST_RELEASE"
    build armhf "$KZR415_IMAGE_HEADERS" "$KZR415_IMAGE_RELEASE" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf-
    exit 0
fi

command -v dkms >/dev/null || die "no dkms on this machine (package dkms)"
sources=$(ls -d "$dkms_sources"/kzr-415-sim-* 2>/dev/null | head -n 1)
[ -n "$sources" ] && [ -f "$sources/dkms.conf" ] || fail "no kzr-415-sim-<version>/dkms.conf in $dkms_sources"
version=${sources##*/kzr-415-sim-}
mkdir -p "$work/dkms-tree" "$work/dkms-install"
dkms_args=(-m kzr-415-sim -v "$version" -k "$KZR415_IMAGE_HOST_RELEASE"
    --sourcetree "$(cd "$dkms_sources" && pwd)" --dkmstree "$work/dkms-tree"
    --installtree "$work/dkms-install" --kernelsourcedir "$image/$KZR415_IMAGE_HOST_HEADERS")
if ! { dkms add "${dkms_args[@]}" && dkms build "${dkms_args[@]}"; } >"$work/dkms.log" 2>&1; then
    sed 's/^/    /' "$work/dkms.log" >&2
    find "$work/dkms-tree" -name make.log -exec sed 's/^/    /' {} + >&2
    fail "dkms cannot build kzr-415-sim $version for $KZR415_IMAGE_HOST_RELEASE"
fi
ko=$(find "$work/dkms-tree/kzr-415-sim/$version/$KZR415_IMAGE_HOST_RELEASE" -name kzr-415-sim.ko | head -n 1)
[ -n "$ko" ] || fail "dkms reported success but built no kzr-415-sim.ko"
[ "$(vermagic "$ko")" = "$KZR415_IMAGE_HOST_RELEASE" ] || fail "the dkms build's vermagic is '$(vermagic "$ko")'"
echo "check-module-build: dkms: kzr-415-sim $version built for $KZR415_IMAGE_HOST_RELEASE from $sources/dkms.conf"
