#!/bin/busybox sh
# /init of the board image.  Loads the I2C controller and i2c-dev modules,
# finds the controller of device-tree node i2c@16000, runs the program once
# without /dev/i2c-4 and once with /dev/i2c-4 bound to that controller, and
# reports each run between markers.  Output bytes are sent as hex so that
# the serial console's line discipline and stray kernel messages cannot
# alter them.  Then it powers the board off.
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo 1 >/proc/sys/kernel/printk

say() { echo "@@KZR $*"; }

finish() {
    say "UPTIME $(cut -d' ' -f1 /proc/uptime)"
    say DONE
    sync
    poweroff -f
    sleep 60
}

dump() { # dump NAME FILE
    say "BEGIN $1"
    od -An -v -tx1 "$2"
    say "END $1"
}

run() { # run NAME
    rm -f /tmp/out /tmp/err
    /usr/bin/kzr-415-tool >/tmp/out 2>/tmp/err
    status=$?
    say "RUN $1"
    dump stdout /tmp/out
    dump stderr /tmp/err
    say "EXIT $status"
}

for m in i2c-versatile i2c-dev; do
    if ! insmod "/lib/modules/$m.ko"; then
        say "ERROR insmod $m failed"
        finish
    fi
done

# The adapter that the controller driver registered for node i2c@16000.
bus=
for dev in /sys/class/i2c-dev/i2c-*; do
    node=$(readlink -f "$dev/device/of_node" 2>/dev/null) || continue
    case "$node" in
    */i2c@16000) bus=${dev##*/} ;;
    esac
done
if [ -z "$bus" ]; then
    say "ERROR no i2c-dev adapter for device-tree node i2c@16000"
    ls -l /sys/class/i2c-dev/ 2>&1
    finish
fi
devno=$(cat "/sys/class/i2c-dev/$bus/dev")
say "BUS $bus $devno"

rm -f /dev/i2c-4
run no-node

mknod /dev/i2c-4 c "${devno%%:*}" "${devno##*:}"
run with-node

finish
