#!/usr/bin/env bash
# The README's two commands as a new user meets them: a fresh minimal Debian root built with
# debootstrap inside build/, only make and git installed in it, a fresh clone of this
# repository's committed tree (HEAD), then `make demo` and `make check` (less this step).
#
#   check-fresh-root.sh RELEASE      e.g. trixie (Debian 13), bookworm (Debian 12)
#
# Runs as root. The root lives in build/fresh-root-RELEASE; its /proc, /sys and /dev are
# mounted in a private mount and PID namespace (unshare), so that the mounts and every
# process started inside vanish with it, and the root is removed on every way out (success,
# failure, interrupt). What stays: build/fresh-root-RELEASE.log (the inner run's output)
# and build/fresh-root-RELEASE.txt (the figures: times, packages installed, kernel booted).
# The packages come from this machine's Debian mirror.
# Exit status 0 when both commands passed, 1 when one failed, 2 when the root could not be
# built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# The step itself, left out of the inner `make check`.
this_step=check-fresh-root

die() {
    echo "check-fresh-root: $*" >&2
    exit 2
}
note() { echo "check-fresh-root: $*"; }

if [ $# -ne 1 ] || [[ ! $1 =~ ^[a-z]+$ ]]; then
    die "usage: $0 RELEASE (a Debian code name: trixie, bookworm)"
fi
release=$1
[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, unshare)"
for cmd in debootstrap unshare chroot git apt-get; do
    command -v "$cmd" >/dev/null || die "no $cmd on this machine"
done
git -C "$top" rev-parse --verify -q HEAD >/dev/null || die "$top is no git checkout with a commit"

# This machine's Debian mirror: the one its own release's packages come from.
# shellcheck disable=SC2016 # apt's own placeholders
mirror=$(apt-get indextargets --format '$(REPO_URI) $(ORIGIN) $(RELEASE)' |
    awk '$2 == "Debian" && $3 !~ /-(security|updates|backports)$/ { print $1; exit }')
[ -n "$mirror" ] || die "this machine's apt sources name no Debian mirror"

work=$top/build/fresh-root-$release
root=$work/root
log=$top/build/fresh-root-$release.log
figures=$top/build/fresh-root-$release.txt
inner_pid=

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "$inner_pid" ] && kill -0 "$inner_pid" 2>/dev/null; then
        # unshare --fork ignores SIGINT and SIGTERM (they are for the process inside), so
        # it gets SIGKILL; --kill-child then takes the namespace's first process, and with
        # it every process inside, along.
        kill -KILL "$inner_pid" 2>/dev/null || true
        wait "$inner_pid" 2>/dev/null || true
    fi
    # The mounts were only ever in the inner namespace: here the root is plain files.
    if [ -d "$work" ]; then
        if grep -q " $work/" /proc/self/mounts; then
            echo "check-fresh-root: something is mounted under $work, not removing it" >&2
            status=2
        else
            rm -rf --one-file-system "$work" || status=2
        fi
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# One run per release at a time: another's root lives in a namespace of its own, so it
# would look free here. The lock stays held by unshare while the inner run lives (the
# inner run itself does not get the descriptor).
mkdir -p "$top/build"
exec 9>"$top/build/fresh-root-$release.lock"
flock -n 9 || die "another run for $release is using $work"

# A root left by a run that was killed outright holds no mounts any more: start afresh.
[ ! -e "$work" ] || ! grep -q " $work/" /proc/self/mounts || die "something is mounted under $work"
rm -rf --one-file-system "$work"
mkdir -p "$root"

# ------------------------------------------------------------------ the root
# A mirror in the middle of a sync serves a file of the wrong size for a while: a failed
# debootstrap is started again from an empty folder, after a pause.
note "debootstrap --variant=minbase $release from $mirror"
started=$(date +%s)
attempts=3
for ((attempt = 1; ; attempt++)); do
    debootstrap --variant=minbase "$release" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 && break
    tail -n 20 "$work/debootstrap.log" >&2
    [ "$attempt" -lt "$attempts" ] || die "debootstrap of $release failed $attempts times"
    note "debootstrap of $release failed (attempt $attempt of $attempts); again in $((attempt * 15)) s"
    sleep $((attempt * 15))
    rm -rf --one-file-system "$root"
    mkdir -p "$root"
done
root_seconds=$(($(date +%s) - started))
note "root of $release built in $root_seconds s ($(du -sm "$root" | cut -f1) MB)"

# The committed tree, as a bundle that the clone inside starts from.
git -C "$top" bundle create -q "$root/root/origin.bundle" HEAD
commit=$(git -C "$top" rev-parse --short HEAD)
cp /etc/resolv.conf "$root/etc/resolv.conf"

# The inner run: as a new user would, with make and git installed first. Each command's
# wall time and the packages it installed go to /root/figures.
cat >"$root/root/inner-run.sh" <<EOF
#!/bin/bash
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 HOME=/root
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
packages() { dpkg-query -W -f '\${binary:Package}\n' | sort; }
figures=/root/figures
: >"\$figures"
# A list or a package the mirror serves half-synced: tried again; an update that still
# fails goes on with the lists it has, and make and git must be there in the end.
for attempt in 1 2 3; do apt-get -q -o Acquire::Retries=3 update && break; sleep \$((attempt * 15)); done
for attempt in 1 2 3; do
    apt-get -q -y -o Acquire::Retries=3 --no-install-recommends install make git && break
    sleep \$((attempt * 15))
done
command -v make >/dev/null && command -v git >/dev/null
cd /root
git clone -q origin.bundle kzr-415-drv
cd kzr-415-drv
git checkout -q --detach $commit
echo "release \$(. /etc/os-release && echo "\$PRETTY_NAME"), commit $commit" >>"\$figures"
# run NAME COMMAND...: runs a command, records its wall time and what it installed.
run() {
    local name=\$1 before started status=0
    shift
    packages >/root/before
    started=\$(date +%s)
    echo "=== \$name: \$*"
    "\$@" || status=\$?
    packages | comm -13 /root/before - >/root/installed
    echo "\$name status \$status, \$((\$(date +%s) - started)) s, \$(wc -l </root/installed) packages installed: \$(tr '\n' ' ' </root/installed)" >>"\$figures"
    return "\$status"
}
run make-demo make demo
echo "make-demo foreign architectures: \$(dpkg --print-foreign-architectures | tr '\n' ' ')" >>"\$figures"
run make-check make check SKIP_STEPS=$this_step
EOF
chmod 755 "$root/root/inner-run.sh"

# ------------------------------------------------------------------ the run inside
note "make demo, then make check SKIP_STEPS=$this_step, in a fresh clone of $commit (output: $log)"
started=$(date +%s)
inner_status=0
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --pid --fork --kill-child --propagation private -- /bin/bash -c '
    set -e
    exec 9>&-
    root=$1
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" /root/inner-run.sh
' inner "$root" </dev/null >"$log" 2>&1 &
inner_pid=$!
wait "$inner_pid" || inner_status=$?
inner_pid=
inner_seconds=$(($(date +%s) - started))

cp "$root/root/figures" "$figures" 2>/dev/null || : >"$figures"
{
    echo "root build ${root_seconds} s, inner run ${inner_seconds} s, status $inner_status"
    # The kernel the board test took, and whether it booted to a result.
    kernel=$(grep -m 1 'run-board: kernel ' "$log" | sed 's/^.*run-board: kernel //' || true)
    if [ -z "$kernel" ]; then
        echo "board test: not reached"
    elif grep -q 'run-board: boot to result' "$log"; then
        echo "board test booted kernel $kernel; $(grep -m 1 'run-board: boot to result' "$log" | sed 's/^.*run-board: //')"
    else
        echo "board test took kernel $kernel but did not boot it to a result"
    fi
} >>"$figures"
note "figures for $release:"
sed 's/^/    /' "$figures"
note "root built in $root_seconds s; inner run (make and git, make demo, make check) $inner_seconds s"
if [ "$inner_status" -ne 0 ]; then
    tail -n 40 "$log" | sed 's/^/    /' >&2
    echo "check-fresh-root: FAILED in the fresh $release root (status $inner_status; whole output: $log)" >&2
    exit 1
fi
note "both commands passed in a fresh $release root"
