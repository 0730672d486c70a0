#!/usr/bin/env bash
# scripts/test-in.sh SUITE: runs the whole test suite (scripts/test.sh) in a
# Debian SUITE system, such as trixie for Debian 13 or forky for testing, on
# a clean clone of the last commit. The system is a root that mmdebstrap
# makes in build/roots/test-in/SUITE/, kept there for the next run; its apt
# sources are scripts/debian-sources SUITE, the archive this machine's apt
# uses. The root runs in private mount, process and IPC namespaces, so its
# mounts (itself as /, /proc, /sys, /dev, and empty /tmp, /run and /dev/shm)
# and its processes end with it, however the run ends. The tests labelled
# package and release are left out there (SINEPLOT_SKIP_LABELS): the Debian
# packages and the release are built once, on the Debian 12 host, which runs
# their autopkgtest in testbeds of each suite. Needs root; skipped, with the
# reason, where it cannot work.
#
# Why a root of its own rather than an autopkgtest testbed: the suite starts
# X servers, Wayland compositors and whole desktops, Wine and qemu, and makes
# throwaway roots of its own, so it needs a whole Debian system, kept and
# updated between runs, not a testbed made to run one package's tests.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# mounted_under PATH: true while anything is mounted at or below PATH.
mounted_under() {
    awk -v p="$1" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo
}

# with_root [--offline] SYSTEM COMMAND...: runs COMMAND in new mount, PID
# and IPC namespaces (and with --offline, a network namespace with no
# network) whose root directory is SYSTEM, with what a running system needs:
# /proc, /sys, /dev, and empty /dev/shm, /tmp and /run. COMMAND is SYSTEM's
# own, found on SYSTEM's paths. SYSTEM becomes the namespace's root with
# pivot_root, not chroot: the kernel lets no process whose root is not its
# mount namespace's root make a user namespace, which the rootless tools in
# the suite (mmdebstrap, sbuild and autopkgtest in unshare mode) need. Its
# mounts and processes end with it, however it ends. Root only.
with_root() {
    local network=()
    if [ "$1" = --offline ]; then
        network=(--net)
        shift
    fi
    unshare --mount --propagation private --pid --fork --kill-child --ipc "${network[@]}" \
        bash -euc '
            system=$1
            shift
            mount --bind "$system" "$system"   # a mount point, as pivot_root needs
            mount -t proc proc "$system/proc"
            mount -t sysfs sysfs "$system/sys"
            mount --rbind /dev "$system/dev"
            mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$system/dev/shm"
            mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$system/tmp"
            mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs "$system/run"
            mkdir -p "$system/run/lock"
            # SYSTEM becomes /, with the old root stacked on it, which then
            # goes (the umount run is SYSTEM'"'"'s own): nothing of this
            # machine is left in sight but /dev.
            cd "$system"
            pivot_root . .
            umount --lazy .
            cd /
            # This shell stays the namespace'"'"'s first process, which reaps
            # what COMMAND leaves orphaned; all of it ends with it.
            "$@" &
            wait $!
        ' with_root "$@"
}

# in_root [--offline] SYSTEM [NAME=VALUE...] COMMAND...: runs COMMAND in the
# root SYSTEM, in the namespaces of with_root, as root, with a clean
# environment (and these variables).
in_root() {
    local options=()
    if [ "$1" = --offline ]; then
        options=(--offline)
        shift
    fi
    local system=$1
    shift
    with_root "${options[@]}" "$system" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

suite=${1:?usage: scripts/test-in.sh SUITE (trixie for Debian 13, forky for testing)}
system="$roots/test-in/$suite"
log="$roots/test-in/$suite.log"
made="$roots/test-in/$suite.made"
checkout=/srv/sineplot
# The tests left out in the root, as a ctest -LE regular expression.
skip_labels='^(package|release)$'

skip() {
    echo "The tests in Debian $suite are skipped: $*."
    exit 0
}

[ "$(id -u)" -eq 0 ] || skip "making and entering a root needs root"
command -v apt-get >/dev/null || skip "this is not a Debian system (no apt-get)"
if ! unshare --mount --propagation private true 2>/dev/null; then
    skip "no private mount namespace can be made here (unshare --mount fails)"
fi
# distro-info tells scripts/debian-sources which suite is testing.
install_missing mmdebstrap debian-archive-keyring distro-info git
sources=$("$root/scripts/debian-sources" "$suite") ||
    skip "scripts/debian-sources gives no archive for $suite"

if mounted_under "$system"; then
    echo "Something is mounted in $system (another run?); not touching it." >&2
    exit 1
fi

if [ ! -e "$made" ]; then
    start=$SECONDS
    echo "Making a Debian $suite root in $system (mmdebstrap, a few minutes) ..."
    rm -rf --one-file-system "$system" "$roots/test-in/$suite-mmdebstrap.log"
    mkdir -p "$roots/test-in"
    work=$(mktemp -d)
    printf '%s\n' "$sources" >"$work/debian.sources"
    # In a mount namespace of its own, which takes the mounts that
    # mmdebstrap's root mode makes in the root with it, however it ends.
    if ! unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase \
            "$suite" "$system" "$work/debian.sources" >"$roots/test-in/$suite-mmdebstrap.log" 2>&1; then
        rm -rf "$work"
        tail -n 20 "$roots/test-in/$suite-mmdebstrap.log" >&2
        echo "mmdebstrap failed (all of it in $roots/test-in/$suite-mmdebstrap.log). If it cannot" \
             "check the release's signature, this machine's debian-archive-keyring lacks $suite's key." >&2
        exit 1
    fi
    rm -rf "$work"
    # No services are started in the root.
    printf '#!/bin/sh\nexit 101\n' >"$system/usr/sbin/policy-rc.d"
    chmod 755 "$system/usr/sbin/policy-rc.d"
    touch "$made"
    echo "Made in $((SECONDS - start)) s."
fi

# The root's sources, as scripts/debian-sources gives them now.
rm -f "$system/etc/apt/sources.list" "$system"/etc/apt/sources.list.d/*
printf '%s\n' "$sources" >"$system/etc/apt/sources.list.d/debian.sources"
cp -L /etc/resolv.conf "$system/etc/resolv.conf"
start=$SECONDS
echo "Bringing the Debian $suite root up to date ..."
quietly "Could not update the Debian $suite root." in_root "$system" sh -c \
    'apt-get -o DPkg::Lock::Timeout=900 update -qq &&
     DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -y -qq dist-upgrade'
echo "Up to date in $((SECONDS - start)) s."

# In the root, as here, user namespaces can be made.
if unshare --user --map-root-user true 2>/dev/null &&
    ! in_root "$system" sh -c 'unshare --user --map-root-user true && unshare --mount --ipc true'; then
    echo "No user namespace can be made in the Debian $suite root, though one can be made here." >&2
    exit 1
fi

# What CI tests: the last commit, cloned as is.
head=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "Note: changes that are not committed are not tested; the root gets commit ${head:0:12}." >&2
fi
# The Debian roots that the suite makes there (build/roots/) are kept for the next run.
kept="$system$checkout-roots"
rm -rf --one-file-system "$kept"
[ ! -d "$system$checkout/build/roots" ] || mv "$system$checkout/build/roots" "$kept"
rm -rf --one-file-system "$system$checkout"
git clone -q --no-hardlinks --no-checkout "$root" "$system$checkout"
git -C "$system$checkout" checkout -q --detach "$head"
if [ -d "$kept" ]; then
    mkdir -p "$system$checkout/build"
    mv "$kept" "$system$checkout/build/roots"
fi

start=$SECONDS
echo "Running scripts/test.sh in Debian $suite ($(cat "$system/etc/debian_version")), without" \
     "the tests labelled package and release ..."
status=0
in_root "$system" SINEPLOT_SKIP_LABELS="$skip_labels" sh -c "cd $checkout && bash scripts/test.sh" 2>&1 |
    tee "$log" || status=1
echo "Debian $suite: scripts/test.sh took $((SECONDS - start)) s, and $([ $status -eq 0 ] &&
    echo passed || echo FAILED). ctest's summaries:"
grep -E '^[0-9]+% tests passed' "$log" || echo "  (none: the tests did not run)"
if mounted_under "$system"; then
    echo "Something is still mounted in $system." >&2
    status=1
fi
exit $status
