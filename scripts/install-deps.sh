#!/usr/bin/env bash
# The one step that installs what the project needs, before anything builds. The package
# names are in one place, debian/control's Build-Depends:
#   - what building and testing the packages needs;
#   - the check pipeline's other tools, under the build profile pkg.kzr-415-drv.ci;
#   - for the boards' cross build (dpkg-buildpackage -aarmhf -Pcross,nocheck), the same
#     Build-Depends resolved for armhf, plus what every Debian cross build has besides, as
#     every build has build-essential: the cross toolchain and the armhf C and C++ run-time
#     packages, whose records dpkg-shlibdeps reads.
# The demo (make demo) needs far less: a C++ compiler, CMake and Ninja, for the program and
# the emulated bus without the tests; --demo installs only those, from this machine's own
# architecture, and leaves dpkg's architectures alone.
# Quick when everything is there (it asks apt nothing then).
# A Debian mirror in the middle of a sync serves an index or a package of the wrong size for a
# while: a failed download is tried again, a list that still fails is left as apt has it, and
# the run fails only when a package it needs is still missing at the end, named there.
# Usage: scripts/install-deps.sh           installs what is missing (as root, or with sudo)
#        scripts/install-deps.sh --check   names what is missing in one line, installs nothing
#        scripts/install-deps.sh --demo    installs what the demo's build misses
set -euo pipefail
cd "$(dirname "$0")/.."

board_arch=armhf
ci_profile=pkg.kzr-415-drv.ci
cross_essential=("crossbuild-essential-$board_arch" "libc6:$board_arch" "libstdc++6:$board_arch")
demo_packages=(g++ cmake ninja-build)

# The packages of a list that are not installed, on one line.
not_installed() {
    local package missing=()
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
            missing+=("$package")
    done
    echo "${missing[*]}"
}

# The missing packages, on one line (empty when all are there).
missing_packages() {
    local missing=() check unmet absent
    dpkg --print-foreign-architectures | grep -qx "$board_arch" ||
        missing+=("(dpkg architecture $board_arch)")
    if command -v dpkg-checkbuilddeps >/dev/null; then
        for check in "-P $ci_profile" "-a $board_arch -P cross,nocheck"; do
            # shellcheck disable=SC2086 # the options are words
            unmet=$(dpkg-checkbuilddeps $check 2>&1) ||
                missing+=("$(sed -n 's/.*Unmet build dependencies: //p' <<<"$unmet")")
        done
    else
        missing+=(dpkg-dev)
    fi
    absent=$(not_installed "${cross_essential[@]}")
    [ -z "$absent" ] || missing+=("$absent")
    echo "${missing[*]}"
}

mode=all
case ${1:-} in
"") ;;
--check)
    missing=$(missing_packages)
    [ -z "$missing" ] || { echo "missing packages: $missing (install them: scripts/install-deps.sh)" >&2; exit 1; }
    exit 0 ;;
--demo)
    mode=demo
    missing=$(not_installed "${demo_packages[@]}")
    [ -n "$missing" ] || exit 0 ;;
*) echo "usage: $0 [--check | --demo]" >&2; exit 2 ;;
esac
[ "$mode" = demo ] || [ -n "$(missing_packages)" ] || exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: need root (or sudo) to install packages" >&2; exit 1; }
    sudo=(sudo)
fi
apt_get=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y
    -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3 --no-install-recommends)
attempts=3

# apt-get update, tried again after a pause when an index fails; then on with the lists
# apt has (apt keeps the last good copy of a list that failed).
update_lists() {
    local attempt
    for ((attempt = 1; attempt <= attempts; attempt++)); do
        "${apt_get[@]}" update && return 0
        [ "$attempt" -lt "$attempts" ] || break
        echo "install-deps: apt-get update failed (attempt $attempt of $attempts); again in $((attempt * 15)) s" >&2
        sleep $((attempt * 15))
    done
    echo "install-deps: apt-get update still fails for some lists; going on with the lists apt has" >&2
}

# An apt-get install or build-dep, tried again after a failed download; what is still
# missing afterwards is named by the check at the end.
install_with_retries() {
    local attempt
    for ((attempt = 1; attempt <= attempts; attempt++)); do
        "${apt_get[@]}" "$@" && return 0
        [ "$attempt" -lt "$attempts" ] || break
        echo "install-deps: installing failed (attempt $attempt of $attempts); again in $((attempt * 15)) s" >&2
        sleep $((attempt * 15))
    done
    echo "install-deps: installing failed $attempts times" >&2
}

if [ "$mode" = demo ]; then
    # shellcheck disable=SC2086 # the package names are words
    echo "install-deps: the demo's build needs $missing: installing them"
    update_lists
    # shellcheck disable=SC2086
    install_with_retries install $missing
    missing=$(not_installed "${demo_packages[@]}")
    [ -z "$missing" ] || { echo "install-deps: still missing after installing: $missing" >&2; exit 1; }
    exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx "$board_arch"; then
    echo "install-deps: adding the $board_arch architecture to dpkg"
    "${sudo[@]}" dpkg --add-architecture "$board_arch"
fi
update_lists
install_with_retries build-dep -P "$ci_profile" ./
cross_options=()
for package in "${cross_essential[@]}"; do
    cross_options+=(-o "APT::Build-Essential::=$package")
done
install_with_retries "${cross_options[@]}" build-dep -a "$board_arch" -P cross,nocheck ./
missing=$(missing_packages)
[ -z "$missing" ] || { echo "install-deps: still missing after installing: $missing" >&2; exit 1; }
