#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing.
# Usage: scripts/install-deps.sh [PACKAGE...]   (default: the packages of the host build)
set -euo pipefail

packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
    packages=(cmake ninja-build g++ make googletest binutils)
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
