#!/bin/bash
# Boots the armhf kzr-415-tool, the monitor (tests/monitor.c), kzr-415-read and
# libkzr-415-drv on an emulated ARM board (QEMU vexpress-a9, Debian's armhf kernel) with the
# simulated kzr-415 kernel module (sim/kernel/) on the kernel's own I2C stack, carries out
# the scenarios of scenarios.txt there, and compares them with the same scenarios run on
# this machine: the same armhf programs and library under the emulated bus (the armhf
# preload, through the user-mode emulator).
#
#   run-board.sh --tool BUILD/tool/kzr-415-tool --lib BUILD/lib/libkzr-415-drv.so.1
#                --monitor BUILD/tests/kzr415-monitor --reader BUILD/tool/kzr-415-read
#                --retries BUILD/tests/kzr415-i2c-retries
#                --preload BUILD/sim/libkzr-415-sim-bus.so --emulator 'qemu-arm -L /'
#                --host-sim HOST/sim/kzr-415-sim --host-preload HOST/sim/libkzr-415-sim-bus.so
#                --host-tool HOST/tool/kzr-415-tool --host-monitor HOST/tests/kzr415-monitor
#                --host-reader HOST/tool/kzr-415-read
#                --read-capture HOST/tests/kzr415-read-capture
#                [--i2ctransfer PATH] [--i2cget PATH]
#                [--image DIR] [--timeout SECONDS] [--keep DIR] [--captures DIR]
#
# The board image (kernel, modules, busybox, kernel headers) comes from
# tests/board/prepare-image.sh, by default in build/board-image; nothing is downloaded or
# installed here. The module is built for the image's kernel, one boot carries out every
# scenario (each program run recorded with tool/kzr-415-capture on the board's kernel), and
# the console's reports are checked; this machine's build (HOST) reads and replays the
# captures. Exit status 0 when every step matches,
# 1 on a mismatch (with a diff), 2 when the board could not be set up.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
module_source=$(cd "$here/../../sim/kernel" && pwd)
image=${KZR415_BOARD_IMAGE:-$here/../../build/board-image}
tool='' lib='' monitor='' reader='' retries='' preload='' emulator='' keep=''
host_sim='' host_preload='' host_tool='' host_monitor='' host_reader='' read_capture='' captures=''
host_tools=() # this machine's I2C tools, whose traffic the board's probes must equal
capture_script=$here/../../tool/kzr-415-capture
timeout=300 # seconds for the boot; it takes about 10 s

usage() { sed -n '9,18p' "$0" | sed 's/^# *//' >&2; exit 2; }
die() { echo "run-board: $*" >&2; exit 2; }
note() { echo "run-board: $*"; }

while [ $# -gt 0 ]; do
    case "$1" in
    --tool) tool=$2; shift 2 ;;
    --lib) lib=$2; shift 2 ;;
    --monitor) monitor=$2; shift 2 ;;
    --reader) reader=$2; shift 2 ;;
    --retries) retries=$2; shift 2 ;;
    --preload) preload=$2; shift 2 ;;
    --emulator) emulator=$2; shift 2 ;;
    --image) image=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --host-sim) host_sim=$2; shift 2 ;;
    --host-preload) host_preload=$2; shift 2 ;;
    --host-tool) host_tool=$2; shift 2 ;;
    --host-monitor) host_monitor=$2; shift 2 ;;
    --host-reader) host_reader=$2; shift 2 ;;
    --read-capture) read_capture=$2; shift 2 ;;
    --captures) captures=$2; shift 2 ;;
    --i2ctransfer | --i2cget) host_tools+=("$1=$2"); shift 2 ;;
    --i2ctransfer=* | --i2cget=*) host_tools+=("$1"); shift ;;
    -h | --help) usage ;;
    *) echo "run-board: unknown argument $1" >&2; usage ;;
    esac
done
for given in "$tool" "$lib" "$monitor" "$reader" "$retries" "$preload" "$emulator" "$host_sim" \
    "$host_preload" "$host_tool" "$host_monitor" "$host_reader" "$read_capture"; do
    [ -n "$given" ] || usage
done
[ -s "$image/image.env" ] || die "board image missing: run make board-image (tests/board/prepare-image.sh)"
image=$(cd "$image" && pwd)
# shellcheck source=/dev/null
. "$image/image.env"
[ -f "$tool" ] || die "no program at $tool (build the armhf tree first)"
[ -f "$lib" ] || die "no library at $lib (build the armhf tree first)"
[ -f "$monitor" ] || die "no monitor at $monitor (build the armhf tree first)"
[ -f "$reader" ] || die "no kzr-415-read at $reader (build the armhf tree first)"
[ -f "$retries" ] || die "no retry probe at $retries (build the armhf tree first)"
[ -f "$preload" ] || die "no emulated bus at $preload (build the armhf tree first)"
for built in "$host_sim" "$host_preload" "$host_tool" "$host_monitor" "$host_reader" "$read_capture"; do
    [ -x "$built" ] || die "no $built: the captures are replayed with this machine's build (cmake --workflow --preset host)"
done
for pair in qemu-system-arm:qemu-system-arm cpio:cpio gzip:gzip python3:python3 \
    readelf:binutils make:make arm-linux-gnueabihf-gcc:gcc-arm-linux-gnueabihf timeout:coreutils; do
    command -v "${pair%%:*}" >/dev/null || die "no ${pair%%:*} on this machine (package ${pair#*:})"
done
readelf -h "$tool" 2>/dev/null | grep -q 'Machine:.*ARM$' || die "$tool is not a 32-bit ARM program"
readelf -h "$lib" 2>/dev/null | grep -q 'Machine:.*ARM$' || die "$lib is not a 32-bit ARM library"
readelf -h "$monitor" 2>/dev/null | grep -q 'Machine:.*ARM$' || die "$monitor is not a 32-bit ARM program"
readelf -h "$reader" 2>/dev/null | grep -q 'Machine:.*ARM$' || die "$reader is not a 32-bit ARM program"
readelf -h "$retries" 2>/dev/null | grep -q 'Machine:.*ARM$' || die "$retries is not a 32-bit ARM program"

if [ -n "$keep" ]; then
    work=$keep
    rm -rf "$work" && mkdir -p "$work"
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/kzr-415-board.XXXXXX")
    trap 'rm -rf "$work"' EXIT
fi

# ------------------------------------------------------------------ module
mkdir "$work/module"
cp "$module_source"/Kbuild "$module_source"/*.c "$module_source"/*.h "$work/module/"
if ! make -s -C "$image/$KZR415_IMAGE_HEADERS" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- \
    M="$work/module" KCFLAGS=-Werror modules >"$work/module.log" 2>&1; then
    sed 's/^/    /' "$work/module.log" >&2
    die "the kzr-415-sim module does not build for $KZR415_IMAGE_RELEASE"
fi
ko=$work/module/kzr-415-sim.ko
# What modinfo shows, from the module's .modinfo section.
readelf -p .modinfo "$ko" | sed -n 's/^ *\[ *[0-9a-f]*\] *//p' >"$work/modinfo.txt"
note "module kzr-415-sim.ko, $(stat -c %s "$ko") bytes, built for $KZR415_IMAGE_RELEASE:"
for key in name vermagic parm; do
    grep "^$key=" "$work/modinfo.txt" | sed 's/^/    /; s/=/: /'
done

# ------------------------------------------------------------------ image
root=$work/root
mkdir -p "$root"/bin "$root"/lib/modules "$root"/usr/bin
cp "$image/$KZR415_IMAGE_BUSYBOX" "$root/bin/busybox"
cp "$here/init.sh" "$root/init"
chmod 755 "$root/init"
cp "$here/scenarios.txt" "$root/plan"
cp "$ko" "$root/lib/modules/"
# The kernel's own modules: i2c-dev for the nodes, i2c-versatile for the board's two I2C
# controllers, which take bus numbers 0 and 1 (the device tree's i2c0 and i2c1).
kernel_module() { # kernel_module NAME
    local found
    found=$(find "$image/$KZR415_IMAGE_MODULES" -name "$1.ko*" | head -n 1)
    case "$found" in
    *.ko) cp "$found" "$root/lib/modules/$1.ko" ;;
    *.ko.xz) xz -dc "$found" >"$root/lib/modules/$1.ko" ;;
    *) die "the image's kernel has no usable $1 module (found '${found:-nothing}')" ;;
    esac
}
kernel_module i2c-dev
kernel_module i2c-versatile

cp "$tool" "$root/usr/bin/kzr-415-tool"
cp "$monitor" "$root/usr/bin/kzr415-monitor"
cp "$reader" "$root/usr/bin/kzr-415-read"
cp "$retries" "$root/usr/bin/i2c-retries"
cp "$capture_script" "$root/usr/bin/kzr-415-capture"
chmod 755 "$root/usr/bin/kzr-415-capture"
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
cp -L "$lib" "$root/lib/${soname:-$(basename "$lib")}"

# The program's loader and every shared library it needs, from the armhf C library (and
# the build tree, for the driver library).
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
    die "no armhf loader $(basename "$interp") in ${libdirs[*]} (package libc6-armhf-cross)"
mkdir -p "$root$(dirname "$interp")"
cp -L "$src" "$root$interp"
queue=("$root/usr/bin/kzr-415-tool" "$root/usr/bin/kzr415-monitor" "$root/usr/bin/kzr-415-read"
    "$root/usr/bin/i2c-retries"
    "$root/lib/${soname:-$(basename "$lib")}")
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
note "kernel $KZR415_IMAGE_RELEASE ($KZR415_IMAGE_KERNEL_VERSION), busybox-static $KZR415_IMAGE_BUSYBOX_VERSION"
note "initramfs: $(stat -c %s "$initrd") bytes gzipped, $(grep -c '^[a-z]' "$root/plan") plan lines"

# ------------------------------------------------------------------ boot
note "booting (timeout ${timeout}s)"
start=$(date +%s.%N)
rc=0
# The board's sound device gets a silent backend. QEMU 8.2 and later want it named through
# the machine's audiodev property (and stop without it); older ones take the first
# -audiodev and know no such property.
machine=vexpress-a9
if qemu-system-arm -M "$machine,help" 2>/dev/null | grep -q 'audiodev='; then
    machine=$machine,audiodev=snd0
fi
timeout --kill-after=10 "$timeout" qemu-system-arm \
    -M "$machine" -m 128 -no-reboot -display none -net none -audiodev none,id=snd0 \
    -monitor none -serial "file:$work/board.log" \
    -kernel "$image/$KZR415_IMAGE_KERNEL" -dtb "$image/$KZR415_IMAGE_DTB" -initrd "$initrd" \
    -append "console=ttyAMA0 panic=-1" >"$work/qemu.log" 2>&1 || rc=$?
secs=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    echo "run-board: the boot did not finish within ${timeout}s; last console lines:" >&2
elif [ "$rc" != 0 ]; then
    echo "run-board: QEMU failed (status $rc):" >&2
    sed 's/^/    /' "$work/qemu.log" | tail -n 20 >&2
elif ! grep -q '@@KZR DONE' "$work/board.log"; then
    echo "run-board: the boot ended without a result; last console lines:" >&2
fi
if [ "$rc" != 0 ] || ! grep -q '@@KZR DONE' "$work/board.log"; then
    tail -n 30 "$work/board.log" 2>/dev/null | sed 's/^/    /' >&2
    exit 2
fi
uptime=$(sed -n 's/.*@@KZR FACT uptime \([0-9.]*\).*/\1/p' "$work/board.log" | tail -n 1)
note "boot to result: ${secs}s from QEMU start to power-off (guest uptime ${uptime:-?}s at the end)"

python3 "$here/board_check.py" check --plan "$here/scenarios.txt" --log "$work/board.log" \
    --modinfo "$work/modinfo.txt" --release "$KZR415_IMAGE_RELEASE" \
    --tool "$tool" --monitor "$monitor" --reader "$reader" --preload "$preload" \
    --emulator "$emulator" --host-sim "$host_sim" --host-preload "$host_preload" \
    --host-tool "$host_tool" --host-monitor "$host_monitor" --host-reader "$host_reader" \
    --read-capture "$read_capture" --captures "${captures:-$work/captures}" "${host_tools[@]}"
