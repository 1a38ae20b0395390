#!/bin/busybox sh
# shellcheck shell=dash
# /init of the board image. Carries out /plan, the board test's scenarios
# (tests/board/scenarios.txt, which says what each command does), and reports on the
# console:
#
#   fact                       the running kernel
#   load NAME [ARGUMENT...]    loads the kzr-415-sim module, reports its bus and the
#                              kernel's log of the load, keeps the device parameters as
#                              loaded (every scenario starts from them); the program's node
#                              /dev/i2c-4 becomes a link to the module's bus unless the bus
#                              is number 4 itself
#   refuse NAME [ARGUMENT...]  a load to be refused: the outcome, the kernel's log and
#                              whether the module stayed loaded (it is then unloaded)
#   unload NAME                unloads it
#   adapters NAME MODULE       loads another kernel module that adds I2C adapters and
#                              reports every adapter's number and name
#   run NAME [SETTING...]      runs kzr-415-tool under kzr-415-capture: its output, exit
#                              status, the capture of its transfers (the kernel's trace
#                              text), the transfers and the registers afterwards
#   monitor NAME [SETTING...] [-- ARGUMENT...]
#                              runs the monitor (tests/monitor.c) with ARGUMENTs, reported
#                              as a run is
#   reader NAME [SETTING...] [-- ARGUMENT...]
#                              runs kzr-415-read with ARGUMENTs, reported as a run is
#   capture NAME CASE          kzr-415-capture where it must not record: not-root (as
#                              nobody, uid 65534), no-tracefs (tracefs unmounted),
#                              interrupted (SIGTERM to it and its program while it
#                              records; then the capture's header, the trace instances
#                              left and each I2C event's enable and filter)
#   probe NAME [SETTING...] -- COMMAND...
#                              runs an I2C tool (@BUS@ is the module's bus number) under
#                              kzr-415-capture, reported as a run is
#   control NAME PARAMETER VALUE  writes a parameter, reports the outcome and the value
#                              before and after
#   expect, replay ...         (for this machine's checks; nothing to do here)
#
# Reports are marker lines "@@KZR ..." on the console: RECORD NAME opens one, FIELD KEY
# TEXT adds to it, and output bytes go between BEGIN KEY and END KEY as hex, so that the
# console's line discipline cannot alter them. Then it powers the board off.
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox mount -t proc proc /proc
/bin/busybox --install -s /bin
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
tracing=/sys/kernel/tracing
mount -t tracefs nodev "$tracing" || echo "@@KZR ERROR cannot mount tracefs on $tracing"
echo 1 >/proc/sys/kernel/printk
# i2c-dev first, so that the module's adapter gets its node.
insmod /lib/modules/i2c-dev.ko || echo "@@KZR ERROR insmod i2c-dev failed"

params=/sys/module/kzr_415_sim/parameters
device_parameters= # the module's parameters but bus and transfers: the device's settings
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
    # The device as loaded: every scenario starts from it.
    device_parameters=$(ls "$params" | grep -v -x -e bus -e transfers)
    rm -rf /tmp/loaded && mkdir /tmp/loaded
    for p in $device_parameters; do
        cat "$params/$p" >"/tmp/loaded/$p"
    done
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
    for p in transfers configuration t_low t_high; do
        field "$p" "$(cat "$params/$p")"
    done
}

i2c_events="i2c_write i2c_read i2c_reply i2c_result"

capture_check() { # capture_check NAME CASE
    say "RECORD $1"
    scenario
    case $2 in
    not-root)
        # busybox's su, as root, asks no password; the user is nobody (uid 65534).
        mkdir -p /etc
        grep -q '^nobody:' /etc/passwd 2>/dev/null ||
            echo 'nobody:x:65534:65534:nobody:/:/bin/sh' >>/etc/passwd
        as_nobody="PATH=/bin:/usr/bin; export PATH;"
        field uid "$(su -s /bin/sh nobody -c "$as_nobody id -u")"
        su -s /bin/sh nobody -c "$as_nobody kzr-415-capture -b $bus -o /tmp/capture-not-root \
            -- /usr/bin/kzr-415-tool" >/tmp/out 2>/tmp/err
        field exit $?
        ;;
    no-tracefs)
        umount "$tracing" || say "ERROR cannot unmount $tracing"
        if [ -e "$tracing/trace" ]; then
            field tracefs mounted
        else
            field tracefs unmounted
        fi
        kzr-415-capture -b "$bus" -o /tmp/capture -- /usr/bin/kzr-415-tool >/tmp/out 2>/tmp/err
        field exit $?
        mount -t tracefs nodev "$tracing" || say "ERROR cannot mount tracefs on $tracing"
        ;;
    interrupted)
        # In a session of its own, so that the signal reaches the script and its program
        # as a terminal's would.
        rm -f /tmp/capture
        setsid kzr-415-capture -b "$bus" -o /tmp/capture -- sleep 30 >/tmp/out 2>/tmp/err &
        pid=$!
        tries=0
        until [ "$(cat "$tracing"/instances/*/events/i2c/i2c_result/enable 2>/dev/null)" = 1 ]; do
            tries=$((tries + 1))
            [ $tries -lt 100 ] || break
            usleep 100000
        done
        for event in $i2c_events; do
            field "recording-$event" \
                "enable $(cat "$tracing"/instances/*/events/i2c/"$event"/enable)" \
                "filter $(cat "$tracing"/instances/*/events/i2c/"$event"/filter)"
        done
        kill -TERM "-$pid"
        wait "$pid"
        field exit $?
        field capture-header "$(head -n 1 /tmp/capture)"
        field instances "$(ls "$tracing/instances")"
        for event in $i2c_events; do
            field "after-$event" "enable $(cat "$tracing/events/i2c/$event/enable")" \
                "filter $(cat "$tracing/events/i2c/$event/filter")"
        done
        ;;
    *) say "ERROR unknown capture case '$2'" ;;
    esac
    dump stdout /tmp/out
    dump stderr /tmp/err
    scenario_end
}

# scenario [SETTING...] [-- COMMAND...]: the device as loaded, then the SETTINGs
# (PARAMETER=VALUE, or node=absent), the transfer count at 0; sets $command_words to the
# words after "--" and $node_absent.
scenario() {
    node_absent=
    command_words=
    for p in $device_parameters; do
        printf '%s' "$(cat "/tmp/loaded/$p")" >"$params/$p" || say "ERROR cannot restore $p"
    done
    while [ $# -gt 0 ]; do
        case "$1" in
        --)
            shift
            command_words=$(echo "$*" | sed "s/@BUS@/$bus/g")
            break
            ;;
        node=absent) node_absent=yes ;;
        *=*) printf '%s' "${1#*=}" >"$params/${1%%=*}" || say "ERROR cannot set $1" ;;
        *) say "ERROR bad setting '$1'" ;;
        esac
        shift
    done
    echo 0 >"$params/transfers" || say "ERROR cannot set transfers to 0"
    if [ -n "$node_absent" ]; then
        mv /dev/i2c-4 /tmp/i2c-4
    fi
}

# scenario_end: reports the transfers and the registers, and puts the node back.
scenario_end() {
    if [ -n "$node_absent" ]; then
        mv /tmp/i2c-4 /dev/i2c-4
        field transfers "$(cat "$params/transfers")"
    else
        device_state
    fi
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
    run | monitor | reader)
        say "RECORD $name"
        # shellcheck disable=SC2086 # the settings and the arguments, a word each
        scenario $rest
        case $command in
        run) program=/usr/bin/kzr-415-tool ;;
        monitor) program=/usr/bin/kzr415-monitor ;;
        reader) program=/usr/bin/kzr-415-read ;;
        esac
        rm -f /tmp/capture
        # shellcheck disable=SC2086 # the program's arguments, a word each
        kzr-415-capture -b "$bus" -o /tmp/capture -- $program $command_words >/tmp/out 2>/tmp/err
        field exit $?
        dump stdout /tmp/out
        dump stderr /tmp/err
        dump capture /tmp/capture
        scenario_end
        ;;
    probe)
        say "RECORD $name"
        # shellcheck disable=SC2086 # the settings and the command, a word each
        scenario $rest
        rm -f /tmp/capture
        # shellcheck disable=SC2086 # the command's words
        kzr-415-capture -b "$bus" -o /tmp/capture -- $command_words >/tmp/out 2>/tmp/err
        field exit $?
        dump stdout /tmp/out
        dump stderr /tmp/err
        dump capture /tmp/capture
        scenario_end
        ;;
    capture)
        capture_check "$name" "$rest"
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
    expect | replay | '' | '#'*) ;;
    *)
        say "ERROR unknown plan command '$command'"
        ;;
    esac
done </plan

finish
