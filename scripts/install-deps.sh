#!/usr/bin/env bash
# The one step that installs what the project needs, before anything builds. The package
# names are in one place, debian/control's Build-Depends:
#   - what building and testing the packages needs;
#   - the check pipeline's other tools, under the build profile pkg.kzr-415-drv.ci;
#   - for the boards' cross build (dpkg-buildpackage -aarmhf -Pcross,nocheck), the same
#     Build-Depends resolved for armhf, plus what every Debian cross build has besides, as
#     every build has build-essential: the cross toolchain and the armhf C and C++ run-time
#     packages, whose records dpkg-shlibdeps reads.
# Quick when everything is there (it asks apt nothing then).
# Usage: scripts/install-deps.sh   (as root, or a user with sudo)
set -euo pipefail
cd "$(dirname "$0")/.."

board_arch=armhf
ci_profile=pkg.kzr-415-drv.ci
cross_essential=("crossbuild-essential-$board_arch" "libc6:$board_arch" "libstdc++6:$board_arch")

installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

# Everything present: the armhf architecture, the native and the cross build dependencies.
all_present() {
    dpkg --print-foreign-architectures | grep -qx "$board_arch" || return 1
    command -v dpkg-checkbuilddeps >/dev/null || return 1
    dpkg-checkbuilddeps -P "$ci_profile" 2>/dev/null || return 1
    dpkg-checkbuilddeps -a "$board_arch" -P cross,nocheck 2>/dev/null || return 1
    for package in "${cross_essential[@]}"; do
        installed "$package" || return 1
    done
}
all_present && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: need root (or sudo) to install packages" >&2; exit 1; }
    sudo=(sudo)
fi
apt_get=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y
    -o DPkg::Lock::Timeout=600 --no-install-recommends)

if ! dpkg --print-foreign-architectures | grep -qx "$board_arch"; then
    echo "install-deps: adding the $board_arch architecture to dpkg"
    "${sudo[@]}" dpkg --add-architecture "$board_arch"
fi
"${apt_get[@]}" update
"${apt_get[@]}" build-dep -P "$ci_profile" ./
cross_options=()
for package in "${cross_essential[@]}"; do
    cross_options+=(-o "APT::Build-Essential::=$package")
done
"${apt_get[@]}" "${cross_options[@]}" build-dep -a "$board_arch" -P cross,nocheck ./
all_present || { echo "install-deps: build dependencies still missing after installing" >&2; exit 1; }
