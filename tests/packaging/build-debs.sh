#!/usr/bin/env bash
# Builds the Debian packages from debian/ the way a fresh clone builds them, without writing
# into the source tree: the tree (git's tracked files and new ones it does not ignore) is
# copied to OUT/src, dpkg-buildpackage runs there and leaves the packages in OUT; then lintian
# judges the .changes and every .deb, and any error or warning fails the build.
#   this machine's architecture: dpkg-buildpackage -us -uc -b   (the tests run, unless
#                                DEB_BUILD_OPTIONS has nocheck)
#   another one (armhf):         dpkg-buildpackage -us -uc -b -a<arch> -Pcross,nocheck
# Usage: tests/packaging/build-debs.sh [--arch ARCH] [--out DIR]   (default: build/debian-ARCH)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
arch=$(dpkg --print-architecture) out=""
while [ $# -gt 0 ]; do
    case $1 in
    --arch) arch=$2 ;;
    --out) out=$2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift 2
done
out=$(realpath -m "${out:-$source_dir/build/debian-$arch}")

# The copies get the time of copying, as a fresh clone's files do: every file date in the
# packages is then the date of debian/changelog's latest entry, whatever the tree's dates.
rm -rf "$out"
mkdir -p "$out/src"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
    (cd "$source_dir" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' -) |
    tar -C "$source_dir" --null -T - -cf - | tar -C "$out/src" --touch -xf -

buildpackage=(dpkg-buildpackage -us -uc -b)
[ "$arch" = "$(dpkg --print-architecture)" ] || buildpackage+=(-a"$arch" -Pcross,nocheck)
echo "build-debs: ${buildpackage[*]} in $out/src"
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=2}
if ! (cd "$out/src" && "${buildpackage[@]}") >"$out/build.log" 2>&1; then
    tail -n 60 "$out/build.log"
    echo "build-debs: ${buildpackage[*]} failed ($out/build.log)" >&2
    exit 1
fi
ls -l "$out"/*.deb

# lintian: its info tags are shown, not counted.
changes=$(echo "$out"/*.changes)
status=0
lintian --display-info --fail-on error,warning "$changes" "$out"/*.deb \
    >"$out/lintian.log" 2>&1 || status=$?
grep -v '^running with root privileges' "$out/lintian.log" || true
if [ "$status" -ne 0 ] || grep -q '^[EW]: ' "$out/lintian.log"; then
    echo "build-debs: lintian reports errors or warnings ($out/lintian.log)" >&2
    exit 1
fi
echo "build-debs: lintian: no error, no warning on $(basename "$changes") and $(ls "$out"/*.deb | wc -l) packages"
