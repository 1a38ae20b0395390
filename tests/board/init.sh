#!/bin/busybox sh
# shellcheck shell=dash
# /init of the board image. Carries out /plan, written on the host by board_check.py
# from the steps of board_model.py, one command a line:
#
#   fact                       reports the running kernel
#   load NAME [ARGUMENT...]    loads the kzr-415-sim module (and reports its bus and the
#                              kernel's log of the load); the program's node /dev/i2c-4
#                              becomes a link to the module's bus unless the bus is number
#                              4 itself
#   refuse NAME [ARGUMENT...]  loads the module with arguments it must refuse: reports the
#                              outcome, the kernel's log and whether it stayed loaded (it is
#                              then unloaded)
#   unload NAME                unloads it
#   adapters NAME MODULE       loads another kernel module that adds I2C adapters and
#                              reports every adapter's number and name
#   set PARAMETER VALUE        writes one of the module's parameters
#   run NAME                   runs kzr-415-tool, reports its output and the device after
#   probe NAME COMMAND...      runs an I2C tool (@BUS@ is the module's bus number)
#   control NAME PARAMETER VALUE  writes a parameter, reports the outcome and the value
#                              before and after
#
# Reports are marker lines "@@KZR ..." on the console: RECORD NAME opens one, FIELD KEY
# TEXT adds to it, and output bytes go between BEGIN KEY and END KEY as hex, so that the
# console's line discipline cannot alter them. Then it powers the board off.
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo 1 >/proc/sys/kernel/printk
# i2c-dev first, so that the module's adapter gets its node.
insmod /lib/modules/i2c-dev.ko || echo "@@KZR ERROR insmod i2c-dev failed"

params=/sys/module/kzr_415_sim/parameters
bus=
dmesg -c >/dev/null

say() { echo "@@KZR $*"; }
field() { say "FIELD $*"; }
dump() { # dump KEY FILE
    say "BEGIN $1"
    od -An -v -tx1 "$2"
    say "END $1"
}

finish() {
    say "FACT uptime $(cut -d' ' -f1 /proc/uptime)"
    say DONE
    sync
    poweroff -f
    sleep 60
}

module_bus() { # the number of the module's adapter, if any
    for dev in /sys/class/i2c-dev/i2c-*; do
        [ "$(cat "$dev/name" 2>/dev/null)" = kzr-415-sim ] && echo "${dev##*/i2c-}"
    done
}

insmod_logged() { # insmod_logged [ARGUMENT...]: reports status, stderr and the kernel's log
    dmesg -c >/dev/null
    insmod /lib/modules/kzr-415-sim.ko "$@" 2>/tmp/err
    field status $?
    dump stderr /tmp/err
    dmesg -c >/tmp/kernel
    dump kernel /tmp/kernel
}

load() { # load NAME [ARGUMENT...]
    say "RECORD $1"
    shift
    insmod_logged "$@"
    bus=$(module_bus)
    field bus "$bus"
    [ -n "$bus" ] || return 0
    if [ ! -e "/dev/i2c-$bus" ]; then
        devno=$(cat "/sys/class/i2c-dev/i2c-$bus/dev")
        mknod "/dev/i2c-$bus" c "${devno%%:*}" "${devno##*:}"
    fi
    [ "$bus" = 4 ] || ln -sf "/dev/i2c-$bus" /dev/i2c-4
    if [ -L /dev/i2c-4 ]; then
        field node "/dev/i2c-4 -> $(readlink /dev/i2c-4)"
    elif [ -c /dev/i2c-4 ]; then
        field node /dev/i2c-4
    fi
    # shellcheck disable=SC2046 # one word a parameter
    field parameters $(ls "$params")
}

refuse() { # refuse NAME [ARGUMENT...]
    say "RECORD $1"
    shift
    insmod_logged "$@"
    field bus "$(module_bus)"
    if [ -d /sys/module/kzr_415_sim ]; then
        field loaded yes
        rmmod kzr_415_sim
    else
        field loaded no
    fi
}

adapters() { # adapters NAME MODULE
    say "RECORD $1"
    insmod "/lib/modules/$2.ko" 2>/tmp/err
    field status $?
    dump stderr /tmp/err
    for dev in /sys/class/i2c-dev/i2c-*; do
        [ -e "$dev/name" ] && field "${dev##*/}" "$(cat "$dev/name")"
    done
}

unload() { # unload NAME
    say "RECORD $1"
    [ -L /dev/i2c-4 ] && rm -f /dev/i2c-4
    rmmod kzr_415_sim 2>/tmp/err
    field status $?
    dump stderr /tmp/err
    left=
    for dev in /sys/class/i2c-dev/i2c-*; do
        [ "$(cat "$dev/name" 2>/dev/null)" = kzr-415-sim ] && left="$left ${dev##*/}"
    done
    field left "$left"
}

device_state() {
    [ -d "$params" ] || return 0
    for p in transfers configuration t_low t_high; do
        field "$p" "$(cat "$params/$p")"
    done
}

while read -r command name rest; do
    case "$command" in
    fact)
        say "FACT kernel $(uname -r)"
        ;;
    load)
        # shellcheck disable=SC2086 # the module's arguments, a word each
        load "$name" $rest
        ;;
    refuse)
        # shellcheck disable=SC2086 # the module's arguments, a word each
        refuse "$name" $rest
        ;;
    unload)
        unload "$name"
        ;;
    adapters)
        adapters "$name" "$rest"
        ;;
    set)
        printf '%s' "$rest" >"$params/$name" || say "ERROR cannot set $name to '$rest'"
        ;;
    run)
        say "RECORD $name"
        /usr/bin/kzr-415-tool >/tmp/out 2>/tmp/err
        field exit $?
        dump stdout /tmp/out
        dump stderr /tmp/err
        device_state
        ;;
    probe)
        say "RECORD $name"
        probe_command=$(echo "$rest" | sed "s/@BUS@/$bus/g")
        # shellcheck disable=SC2086 # the command's words
        $probe_command >/tmp/out 2>/tmp/err
        field exit $?
        dump stdout /tmp/out
        dump stderr /tmp/err
        field transfers "$(cat "$params/transfers")"
        ;;
    control)
        say "RECORD $name"
        parameter=${rest%% *}
        field before "$(cat "$params/$parameter")"
        # echo reports a failed write with its error (printf does not)
        echo -n "${rest#* }" 2>/tmp/err >"$params/$parameter"
        # shellcheck disable=SC2320 # echo's own status: the write's
        status=$?
        field status "$status"
        dump stderr /tmp/err
        field after "$(cat "$params/$parameter")"
        ;;
    *)
        say "ERROR unknown plan command '$command'"
        ;;
    esac
done </plan

finish
