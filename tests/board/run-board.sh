#!/bin/bash
# Boots the armhf kzr-415-tool and libkzr-415-drv on an emulated ARM board
# (QEMU vexpress-a9, Debian's armhf kernel, a tmp105 I2C device) and checks
# what the tool prints against board_model.py.
#
#   run-board.sh --tool BUILD/tool/kzr-415-tool --lib BUILD/lib/libkzr-415-drv.so.1
#                [--cache DIR] [--timeout SECONDS] [--keep DIR]
#
# Two boots, run side by side: one with the device at the tool's address
# 0x48 (the tool runs once before /dev/i2c-4 exists and once after), one
# with the device at another address.  Exit status 0 when every run matches,
# 1 on a mismatch (with a diff), 2 when the board could not be set up.
#
# Missing host tools (qemu-system-arm, cpio) are installed with apt-get when
# running as root.  The armhf kernel and busybox packages are fetched with
# apt's own configuration into the cache folder and reused by later runs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool= lib= keep=
cache=${KZR_BOARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kzr-415-board}
timeout=240               # seconds per boot; a boot takes 6 to 12 s
temperature_mc=-25500     # the sensor's temperature in the present-device boot
absent_addr=0x49          # where the sensor sits in the absent-device boot

usage() { sed -n '6,7p' "$0" | sed 's/^# *//' >&2; exit 2; }
die() { echo "run-board: $*" >&2; exit 2; }
note() { echo "run-board: $*"; }

while [ $# -gt 0 ]; do
    case "$1" in
    --tool) tool=$2; shift 2 ;;
    --lib) lib=$2; shift 2 ;;
    --cache) cache=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    -h | --help) usage ;;
    *) echo "run-board: unknown argument $1" >&2; usage ;;
    esac
done
[ -n "$tool" ] && [ -n "$lib" ] || usage
[ -f "$tool" ] || die "no program at $tool (build the armhf tree first)"
[ -f "$lib" ] || die "no library at $lib (build the armhf tree first)"

# ---------------------------------------------------------------- host tools
apt_updated=
apt_update() {
    [ -n "$apt_updated" ] && return 0
    note "apt-get update"
    apt-get update -q >/dev/null || die "apt-get update failed; is the package mirror reachable?"
    apt_updated=1
}

need_tools() { # need_tools CMD:PACKAGE...
    local missing=() pair
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" = 0 ] || die "missing ${missing[*]}; install them (apt-get install ${missing[*]})"
    note "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; then
        apt_update
        apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null ||
            die "could not install ${missing[*]}"
    fi
}

need_tools qemu-system-arm:qemu-system-arm cpio:cpio gzip:gzip python3:python3 \
    readelf:binutils dpkg-deb:dpkg timeout:coreutils

# The model is checked before anything is downloaded or booted.
python3 "$here/board_check.py" self-test >/dev/null ||
    { python3 "$here/board_check.py" self-test; die "the expected-output model fails its own checks"; }

# ------------------------------------------------------- armhf packages, cached
mkdir -p "$cache/debs" "$cache/unpacked" || die "cannot create cache folder $cache"

ensure_armhf() {
    dpkg --print-foreign-architectures | grep -qx armhf && return 0
    [ "$(id -u)" = 0 ] || die "dpkg lacks the armhf architecture (run: dpkg --add-architecture armhf; apt-get update)"
    note "adding the armhf architecture to dpkg"
    dpkg --add-architecture armhf
    apt_update
}

# Prints the candidate version of an armhf package, or nothing.
candidate() {
    { apt-cache policy "$1:armhf" 2>/dev/null || true; } |
        awk '/Candidate:/ { if ($2 != "(none)") print $2 }'
}

# The kernel package that linux-image-armmp currently points at.
kernel_package() {
    { apt-cache depends "linux-image-armmp:armhf" 2>/dev/null || true; } |
        awk '/Depends: linux-image-.*-armmp/ { sub(/:armhf$/, "", $2); print $2; exit }'
}

# fetch PACKAGE VERSION -> path of the .deb in the cache
fetch() {
    local pkg=$1 ver=$2 deb
    deb="$cache/debs/${pkg}_${ver//:/%3a}_armhf.deb"
    if [ ! -s "$deb" ]; then
        note "downloading $pkg $ver (armhf)" >&2
        local tmp
        tmp=$(mktemp -d "$cache/debs/.dl.XXXXXX")
        if ! (cd "$tmp" && apt-get download -q -o APT::Sandbox::User=root "$pkg:armhf=$ver" >&2); then
            rm -rf "$tmp"
            die "download of $pkg $ver (armhf) failed; check that the machine reaches its package mirror (apt-get update), or fill $cache/debs"
        fi
        mv "$tmp"/*.deb "$deb" && rm -rf "$tmp"
        # Older versions of the same package are no longer needed.
        find "$cache/debs" -maxdepth 1 -name "${pkg}_*_armhf.deb" ! -path "$deb" -delete
    fi
    echo "$deb"
}

# newest cached .deb of a package, for a machine that cannot reach the mirror
cached() { { ls "$cache"/debs/$1_*_armhf.deb 2>/dev/null || true; } | sort -V | tail -n 1; }

unpack() { # unpack DEB -> folder
    local dir="$cache/unpacked/$(basename "$1" .deb)"
    if [ ! -d "$dir" ]; then
        rm -rf "$dir.tmp"
        dpkg-deb -x "$1" "$dir.tmp" || die "cannot unpack $1"
        mv "$dir.tmp" "$dir"
    fi
    echo "$dir"
}

ensure_armhf
kpkg=$(kernel_package)
if [ -z "$kpkg" ] || [ -z "$(candidate busybox-static)" ]; then
    apt_update
    kpkg=$(kernel_package)
fi
if [ -n "$kpkg" ] && [ -n "$(candidate "$kpkg")" ] && [ -n "$(candidate busybox-static)" ]; then
    kdeb=$(fetch "$kpkg" "$(candidate "$kpkg")") || exit 2
    bdeb=$(fetch busybox-static "$(candidate busybox-static)") || exit 2
else
    kdeb=$(cached 'linux-image-*-armmp')
    bdeb=$(cached busybox-static)
    [ -n "$kdeb" ] && [ -n "$bdeb" ] ||
        die "apt knows no armhf linux-image-armmp or busybox-static, and $cache/debs holds none; run apt-get update and check the machine reaches its package mirror"
    note "apt cannot resolve the packages; using cached $(basename "$kdeb") and $(basename "$bdeb")"
fi
kdir=$(unpack "$kdeb") || exit 2
bdir=$(unpack "$bdeb") || exit 2

kernel=$(ls "$kdir"/boot/vmlinuz-* 2>/dev/null | head -n 1)
dtb=$(ls "$kdir"/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb 2>/dev/null | head -n 1)
[ -n "$kernel" ] || die "$(basename "$kdeb") holds no kernel image"
[ -n "$dtb" ] || die "$(basename "$kdeb") holds no vexpress-v2p-ca9.dtb"
[ -x "$bdir/bin/busybox" ] || die "$(basename "$bdeb") holds no bin/busybox"

# ------------------------------------------------------------------- image
if [ -n "$keep" ]; then
    work=$keep
    rm -rf "$work" && mkdir -p "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/kzr-415-board.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi
root=$work/root
mkdir -p "$root"/bin "$root"/lib/modules "$root"/usr/bin

readelf -h "$tool" 2>/dev/null | grep -q 'Machine:.*ARM$' || die "$tool is not a 32-bit ARM program"
readelf -h "$lib" 2>/dev/null | grep -q 'Machine:.*ARM$' || die "$lib is not a 32-bit ARM library"

cp "$bdir/bin/busybox" "$root/bin/busybox"
cp "$here/init.sh" "$root/init"
chmod 755 "$root/init"
for m in i2c-versatile i2c-dev; do
    ko=$(find "$kdir/lib/modules" -name "$m.ko*" | head -n 1)
    case "$ko" in
    *.ko) cp "$ko" "$root/lib/modules/$m.ko" ;;
    *.ko.xz) xz -dc "$ko" >"$root/lib/modules/$m.ko" ;;
    *.ko.gz) gzip -dc "$ko" >"$root/lib/modules/$m.ko" ;;
    *) die "$(basename "$kdeb") holds no usable module $m (found '${ko:-nothing}')" ;;
    esac
done

cp "$tool" "$root/usr/bin/kzr-415-tool"
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
cp -L "$lib" "$root/lib/${soname:-$(basename "$lib")}"

# The program's loader and every shared library it needs, from the armhf C
# library (and the build tree, for the driver library).
libdirs=("$(dirname "$lib")" /usr/arm-linux-gnueabihf/lib /usr/lib/arm-linux-gnueabihf /lib/arm-linux-gnueabihf)
find_lib() {
    local d
    for d in "${libdirs[@]}"; do
        [ -e "$d/$1" ] && { echo "$d/$1"; return 0; }
    done
    return 1
}
interp=$(readelf -l "$tool" | sed -n 's/.*Requesting program interpreter: \(.*\)]/\1/p')
[ -n "$interp" ] || die "$tool names no program interpreter (is it dynamically linked?)"
src=$(find_lib "$(basename "$interp")") ||
    die "no armhf loader $(basename "$interp") in ${libdirs[*]} (apt-get install libc6-armhf-cross)"
mkdir -p "$root$(dirname "$interp")"
cp -L "$src" "$root$interp"
queue=("$root/usr/bin/kzr-415-tool" "$root/lib/${soname:-$(basename "$lib")}")
while [ ${#queue[@]} -gt 0 ]; do
    elf=${queue[0]}
    queue=("${queue[@]:1}")
    for need in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -e "$root/lib/$need" ] && continue
        src=$(find_lib "$need") || die "$(basename "$elf") needs $need, found in none of ${libdirs[*]}"
        cp -L "$src" "$root/lib/$need"
        queue+=("$root/lib/$need")
    done
done

initrd=$work/initrd.cpio.gz
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -6 >"$initrd"
image_bytes=$(stat -c %s "$initrd")
tree_kib=$(du -sk "$root" | cut -f1)
kernel_bytes=$(stat -c %s "$kernel")
note "kernel $(basename "$kernel") ($kernel_bytes bytes), busybox-static $(dpkg-deb -f "$bdeb" Version)"
note "initramfs: $image_bytes bytes gzipped ($tree_kib KiB unpacked): $(cd "$root" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"

# ------------------------------------------------------------------- boots
boot() { # boot NAME DEVICE-ADDRESS
    local name=$1 addr=$2 start end rc=0
    start=$(date +%s.%N)
    # Started paused: the sensor's temperature is set over the monitor
    # after the device's reset, then the board runs.
    printf 'qom-set /machine/peripheral/sensor temperature %d\ncont\n' "$temperature_mc" |
        timeout --kill-after=10 "$timeout" qemu-system-arm -S \
            -M vexpress-a9 -m 128 -no-reboot -display none -net none \
            -audiodev none,id=snd0 -monitor stdio -serial "file:$work/$name.log" \
            -kernel "$kernel" -dtb "$dtb" -initrd "$initrd" \
            -append "console=ttyAMA0 panic=-1" \
            -device "tmp105,id=sensor,address=$addr" \
            >"$work/$name.qemu" 2>&1 || rc=$?
    end=$(date +%s.%N)
    echo "$rc $(echo "$end - $start" | awk '{ printf "%.1f", $1 - $3 }')" >"$work/$name.status"
}

note "booting twice, side by side (timeout ${timeout}s each)"
boot present 0x48 &
p1=$!
boot absent "$absent_addr" &
p2=$!
wait $p1 $p2 || true

failed=
for name in present absent; do
    read -r rc secs <"$work/$name.status"
    uptime=$(sed -n 's/.*@@KZR UPTIME \([0-9.]*\).*/\1/p' "$work/$name.log" 2>/dev/null | tail -n 1)
    [ "$rc" = 0 ] && note "$name-device boot: ${secs}s from QEMU start to power-off, result at ${uptime:-?}s guest uptime"
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        echo "run-board: the $name-device boot did not finish within ${timeout}s; last console lines:" >&2
        failed=1
    elif [ "$rc" != 0 ]; then
        echo "run-board: QEMU failed (status $rc) in the $name-device boot:" >&2
        sed 's/^/    /' "$work/$name.qemu" | grep -v 'qom-set\|(qemu)' | tail -n 20 >&2
        failed=1
    elif ! grep -q '@@KZR DONE' "$work/$name.log"; then
        echo "run-board: the $name-device boot ended without a result; last console lines:" >&2
        failed=1
    fi
    if [ -n "$failed" ]; then
        tail -n 30 "$work/$name.log" 2>/dev/null | sed 's/^/    /' >&2
        exit 2
    fi
done

python3 "$here/board_check.py" check --present-log "$work/present.log" \
    --absent-log "$work/absent.log" --temperature-mc "$temperature_mc" \
    --absent-addr "$absent_addr"
