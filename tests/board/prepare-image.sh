#!/bin/bash
# Prepares the board image: downloads (never installs) Debian's packages for the emulated
# ARM board and for building the simulated kzr-415 kernel module, and unpacks them.
#
#   prepare-image.sh [--out DIR] [--debs DIR]
#
#   --out DIR    where the image goes (default: build/board-image of this checkout,
#                or $KZR415_BOARD_IMAGE)
#   --debs DIR   where the downloaded .deb files are kept (default: DIR/debs); a folder
#                outside the build tree keeps them across fresh checkouts
#
# What it takes, each at the version apt offers now:
#   linux-image-<abi>-armmp (armhf)     the board's kernel, its i2c-dev module, its dtb
#   busybox-static (armhf)              the board's shell and tools
#   linux-headers-<abi>-armmp (armhf), linux-headers-<abi>-common, linux-kbuild-<x.y>
#                                       (this machine's architecture): the module's
#                                       cross build for the board's kernel
#   linux-headers-<abi>-<host arch>     the module's compile check for this machine
#
# It writes DIR/manifest.txt (packages, versions, sizes) and DIR/image.env (where the
# kernel, dtb, busybox and both header trees are). An image whose packages match what apt
# offers is reused as it stands. The machine must already know the armhf architecture and
# have fresh package lists (the dependency step: dpkg --add-architecture armhf; apt-get
# update). Exit status 0 when the image is ready, 2 when it could not be prepared.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${KZR415_BOARD_IMAGE:-$here/../../build/board-image}
debs=

die() {
    echo "prepare-image: $*" >&2
    exit 2
}
note() { echo "prepare-image: $*"; }

while [ $# -gt 0 ]; do
    case "$1" in
    --out) out=$2; shift 2 ;;
    --debs) debs=$2; shift 2 ;;
    -h | --help) sed -n '5,11p' "$0" | sed 's/^# *//'; exit 0 ;;
    *) die "unknown argument $1 (see --help)" ;;
    esac
done
for cmd in apt-get apt-cache dpkg dpkg-deb; do
    command -v "$cmd" >/dev/null || die "no $cmd on this machine (a Debian system is needed)"
done
dpkg --print-foreign-architectures | grep -qx armhf ||
    die "dpkg knows no armhf architecture: run the dependency step first (dpkg --add-architecture armhf; apt-get update)"

mkdir -p "$out" || die "cannot create $out"
out=$(cd "$out" && pwd)
debs=${debs:-$out/debs}
mkdir -p "$debs" || die "cannot create $debs"
debs=$(cd "$debs" && pwd)
host_arch=$(dpkg --print-architecture)
started=$(date +%s.%N)

# ------------------------------------------------------------ what to take
# apt-cache is slow to start, so each question is asked for several packages at once.
candidates() { # candidates PACKAGE[:ARCH]... -> "PACKAGE[:ARCH] VERSION" for each known one
    { apt-cache policy "$@" 2>/dev/null || true; } |
        awk '/^[^ ].*:$/ { name = substr($0, 1, length($0) - 1) }
             /^ *Candidate:/ && $2 != "(none)" { print name, $2 }'
}
depends() { # depends PACKAGE[:ARCH]=VERSION... -> "PACKAGE DEPENDENCY..." for each
    { apt-cache show "$@" 2>/dev/null || true; } |
        awk '/^Package: / { name = $2 }
             /^Depends: / { line = substr($0, 10); gsub(/ *\([^)]*\)/, "", line)
                            gsub(/ *\|[^,]*/, "", line); gsub(/,/, "", line)
                            print name, line }'
}
# The version of one package in the answer of candidates (which names packages of this
# machine's architecture, and of none, without a suffix).
version_of() { awk -v p="$1" -v q="${1%:"$host_arch"}" '$1 == p || $1 == q { print $2; exit }'; }

resolve() { # prints "package arch version" lines, or fails
    local have metas kernel host_headers headers version deps extra pkg queries
    # The packages that the flavours' metapackages point at: linux-image-armmp:armhf ->
    # linux-image-6.1.0-57-armmp.
    have=$(candidates linux-image-armmp:armhf "linux-headers-$host_arch:$host_arch")
    metas=$(depends "linux-image-armmp:armhf=$(version_of linux-image-armmp:armhf <<<"$have")" \
        "linux-headers-$host_arch:$host_arch=$(version_of "linux-headers-$host_arch:$host_arch" <<<"$have")")
    kernel=$(tr ' ' '\n' <<<"$metas" | grep -m 1 -x 'linux-image-[0-9].*-armmp' || true)
    host_headers=$(tr ' ' '\n' <<<"$metas" | grep -m 1 -x "linux-headers-[0-9].*-$host_arch" || true)
    [ -n "$kernel" ] && [ -n "$host_headers" ] || return 1
    headers=linux-headers-${kernel#linux-image-}
    have=$(candidates "$kernel:armhf" "$headers:armhf" "$host_headers:$host_arch" busybox-static:armhf)
    version=$(version_of "$kernel:armhf" <<<"$have")
    [ -n "$version" ] || return 1
    echo "$kernel armhf $version"
    echo "$headers armhf $(version_of "$headers:armhf" <<<"$have")"
    echo "$host_headers $host_arch $(version_of "$host_headers:$host_arch" <<<"$have")"
    echo "busybox-static armhf $(version_of busybox-static:armhf <<<"$have")"
    # The common headers and kbuild that both header packages name; kbuild for this
    # machine's architecture, since its programs run here.
    deps=$(depends "$headers:armhf=$version" \
        "$host_headers:$host_arch=$(version_of "$host_headers:$host_arch" <<<"$have")")
    extra=$(tr ' ' '\n' <<<"$deps" | grep -E '^linux-(headers-.*-common|kbuild-.*)$' | sort -u)
    [ -n "$extra" ] || return 1
    queries=()
    for pkg in $extra; do
        queries+=("$pkg:$host_arch")
    done
    have=$(candidates "${queries[@]}")
    for pkg in $extra; do
        case "$pkg" in
        *-common) echo "$pkg all $(version_of "$pkg:$host_arch" <<<"$have")" ;;
        *) echo "$pkg $host_arch $(version_of "$pkg:$host_arch" <<<"$have")" ;;
        esac
    done
}

wanted=$(resolve || true)
if [ -z "$wanted" ] || awk 'NF != 3 { bad = 1 } END { exit !bad }' <<<"$wanted"; then
    if [ -s "$out/manifest.txt" ] && [ -s "$out/image.env" ]; then
        note "apt cannot resolve the packages now; keeping the image in $out as it stands"
        exit 0
    fi
    die "apt knows no armhf linux-image-armmp, busybox-static or matching headers: run apt-get update, and check that the machine reaches its package mirror"
fi
wanted=$(sort <<<"$wanted")

# The manifest lists "package arch version bytes"; the image is current when it lists
# exactly the wanted packages.
if [ -s "$out/manifest.txt" ] && [ -s "$out/image.env" ] &&
    [ "$(awk '$1 == "package" { print $2, $3, $4 }' "$out/manifest.txt" | sort)" = "$wanted" ] &&
    [ "$(sed -n 's/^root //p' "$out/manifest.txt")" = "$out/root" ]; then
    note "image in $out is current:"
    awk '$1 == "package" { printf "    %s %s (%s)\n", $2, $4, $3 }' "$out/manifest.txt"
    exit 0
fi

# ------------------------------------------------------------ download
deb_path() { # deb_path PACKAGE ARCH VERSION -> the file name apt-get download gives it
    echo "$debs/${1}_${3//:/%3a}_$2.deb"
}
sandbox=()
[ "$(id -u)" = 0 ] && sandbox=(-o APT::Sandbox::User=root)
downloaded=0
while read -r pkg arch version; do
    deb=$(deb_path "$pkg" "$arch" "$version")
    if [ -s "$deb" ] && dpkg-deb --info "$deb" >/dev/null 2>&1; then
        continue
    fi
    note "downloading $pkg $version ($arch)"
    tmp=$(mktemp -d "$debs/.download.XXXXXX")
    query=$pkg:$arch
    [ "$arch" = all ] && query=$pkg
    if ! (cd "$tmp" && apt-get download -q "${sandbox[@]}" "$query=$version" >/dev/null); then
        rm -rf "$tmp"
        die "download of $pkg $version ($arch) failed: check that the machine reaches its package mirror"
    fi
    mv "$tmp"/*.deb "$deb"
    rm -rf "$tmp"
    downloaded=$((downloaded + $(stat -c %s "$deb")))
    # Other versions of the same package are no longer needed.
    find "$debs" -maxdepth 1 -name "${pkg}_*_$arch.deb" ! -path "$deb" -delete
done <<<"$wanted"

# ------------------------------------------------------------ unpack
rm -rf "$out/root" "$out/root.tmp" "$out/manifest.txt" "$out/image.env"
mkdir "$out/root.tmp"
while read -r pkg arch version; do
    dpkg-deb -x "$(deb_path "$pkg" "$arch" "$version")" "$out/root.tmp" ||
        die "cannot unpack $pkg $version ($arch)"
done <<<"$wanted"
mv "$out/root.tmp" "$out/root"
root=$out/root

kernel_pkg=$(awk '$1 ~ /^linux-image-/ { print $1 }' <<<"$wanted")
release=${kernel_pkg#linux-image-}
host_release=$(awk -v a="$host_arch" '$1 ~ /^linux-headers-/ && $2 == a { print $1 }' <<<"$wanted")
host_release=${host_release#linux-headers-}
kernel=boot/vmlinuz-$release
dtb=usr/lib/linux-image-$release/vexpress-v2p-ca9.dtb
for f in "$kernel" "$dtb" "usr/src/linux-headers-$release/Makefile" \
    "usr/src/linux-headers-$host_release/Makefile"; do
    [ -e "$root/$f" ] || die "the unpacked packages hold no $f"
done
# Packages built for the merged /usr (Debian 13 on) put their files under usr/ only:
# busybox in usr/bin, the modules in usr/lib/modules.
first_present() { # first_present WHAT PATH... -> the first PATH under the root that exists
    local what=$1 f
    shift
    for f in "$@"; do
        [ -e "$root/$f" ] && { echo "$f"; return 0; }
    done
    die "the unpacked packages hold no $what (looked for $*)"
}
busybox=$(first_present busybox bin/busybox usr/bin/busybox)
modules=$(first_present "modules for $release" "lib/modules/$release" "usr/lib/modules/$release")

# Each flavour's Makefile includes the common headers by their installed path; here they
# sit under the image's root.
for flavour in "$release" "$host_release"; do
    sed -i "s|^include /usr/src/|include $root/usr/src/|" "$root/usr/src/linux-headers-$flavour/Makefile"
    grep -q "^include $root/usr/src/linux-headers-.*-common/Makefile" \
        "$root/usr/src/linux-headers-$flavour/Makefile" ||
        die "linux-headers-$flavour/Makefile does not include the common headers as expected"
done

cat >"$out/image.env" <<EOF
# Written by tests/board/prepare-image.sh; paths are relative to this folder.
KZR415_IMAGE_RELEASE=$release
KZR415_IMAGE_KERNEL_VERSION=$(awk '$1 ~ /^linux-image-/ { print $3 }' <<<"$wanted")
KZR415_IMAGE_KERNEL=root/$kernel
KZR415_IMAGE_DTB=root/$dtb
KZR415_IMAGE_MODULES=root/$modules
KZR415_IMAGE_BUSYBOX=root/$busybox
KZR415_IMAGE_BUSYBOX_VERSION=$(awk '$1 == "busybox-static" { print $3 }' <<<"$wanted")
KZR415_IMAGE_HEADERS=root/usr/src/linux-headers-$release
KZR415_IMAGE_HOST_RELEASE=$host_release
KZR415_IMAGE_HOST_HEADERS=root/usr/src/linux-headers-$host_release
EOF

deb_bytes=0
{
    echo "# Board image prepared by tests/board/prepare-image.sh on $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "# package NAME ARCH VERSION DEB-BYTES"
    while read -r pkg arch version; do
        bytes=$(stat -c %s "$(deb_path "$pkg" "$arch" "$version")")
        deb_bytes=$((deb_bytes + bytes))
        echo "package $pkg $arch $version $bytes"
    done <<<"$wanted"
    echo "debs $deb_bytes"
    echo "unpacked $(du -sb "$root" | cut -f1)"
    echo "root $root"
} >"$out/manifest.txt.tmp"
mv "$out/manifest.txt.tmp" "$out/manifest.txt"

awk '$1 == "package" { printf "    %s %s (%s), %d bytes\n", $2, $4, $3, $5 }' "$out/manifest.txt"
note "$(awk '$1 == "debs" { d = $2 } $1 == "unpacked" { u = $2 }
    END { printf "%.1f MB of packages (%.1f MB downloaded now), %.1f MB unpacked", d / 1e6, '"$downloaded"' / 1e6, u / 1e6 }' \
    "$out/manifest.txt") in $(awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s"
note "image ready in $out"
