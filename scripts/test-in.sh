#!/usr/bin/env bash
# scripts/test-in.sh SUITE: runs the whole test suite (scripts/test.sh) in a
# Debian SUITE system, such as trixie for Debian 13, on a clean clone of the
# last commit. The system is a root made by debootstrap in
# build-roots/SUITE/root and kept there for the next run; the archive is the
# one this machine's apt uses. The root runs in private mount, process and
# IPC namespaces, so its mounts (itself as /, /proc, /sys, /dev, and empty
# /tmp, /run and /dev/shm) and its processes end with it, however the run
# ends. Needs root; skipped, with the reason, where it cannot work.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# mounted_under PATH: true while anything is mounted at or below PATH.
mounted_under() {
    awk -v p="$1" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo
}

# with_root [--offline] SYSTEM COMMAND...: runs COMMAND (of this machine) in
# new mount, PID and IPC namespaces (and with --offline, a network namespace
# with no network), in which the root SYSTEM has what a running system
# needs: itself as a mount point, /proc, /sys, /dev, and empty /dev/shm, /tmp
# and /run. Its mounts and processes end with it, however it ends. Root only.
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
            mount --bind "$system" "$system"   # "/" a mount point, as unshare --mount needs
            mount -t proc proc "$system/proc"
            mount -t sysfs sysfs "$system/sys"
            mount --rbind /dev "$system/dev"
            mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$system/dev/shm"
            mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$system/tmp"
            mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs "$system/run"
            mkdir -p "$system/run/lock"
            # This shell stays the namespace'"'"'s first process, which reaps
            # what COMMAND leaves orphaned; all of it ends with it.
            "$@" &
            wait $!
        ' with_root "$@"
}

# in_root [--offline] SYSTEM COMMAND...: runs COMMAND in the root SYSTEM, in
# the namespaces of with_root, as root, with a clean environment.
in_root() {
    local options=()
    if [ "$1" = --offline ]; then
        options=(--offline)
        shift
    fi
    local system=$1
    shift
    with_root "${options[@]}" "$system" chroot "$system" /usr/bin/env -i HOME=/root \
        LANG=C.UTF-8 TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

suite=${1:?usage: scripts/test-in.sh SUITE (trixie for Debian 13)}
dir="$root/build-roots/$suite"
system="$dir/root"
checkout=/srv/sineplot

skip() {
    echo "The tests in Debian $suite are skipped: $*."
    exit 0
}

[ "$(id -u)" -eq 0 ] || skip "making and entering a root needs root"
command -v apt-get >/dev/null || skip "this is not a Debian system (no apt-get)"
if ! unshare --mount --propagation private true 2>/dev/null; then
    skip "no private mount namespace can be made here (unshare --mount fails)"
fi
install_missing debootstrap debian-archive-keyring git

# The archive: where apt here gets this release's packages from.
host_release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
targets=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
    'Identifier: Packages' 2>/dev/null | sort -u)
mirror=$(awk -v r="$host_release" '$2 == r { print $1; exit }' <<<"$targets")
[ -n "$host_release" ] && [ -n "$mirror" ] ||
    skip "apt's sources name no Debian archive for this system's release (${host_release:-unknown})"

if mounted_under "$system"; then
    echo "Something is mounted in $system (another run?); not touching it." >&2
    exit 1
fi

if [ ! -e "$dir/complete" ]; then
    start=$SECONDS
    echo "Making a Debian $suite root in $system from $mirror (debootstrap, a few minutes) ..."
    rm -rf --one-file-system "$system" "$dir/debootstrap.log"
    mkdir -p "$dir"
    if ! unshare --mount --propagation private \
            debootstrap --variant=minbase --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
            "$suite" "$system" "$mirror" >"$dir/debootstrap.log" 2>&1; then
        tail -n 20 "$dir/debootstrap.log" >&2
        echo "debootstrap failed (all of it in $dir/debootstrap.log). If it cannot check the" \
             "release's signature, this machine's debian-archive-keyring lacks $suite's key." >&2
        exit 1
    fi
    # The same sources as this machine's, for SUITE: each of apt's entries for
    # this release, and its -updates and -security, with SUITE in its place.
    while read -r uri release components; do
        case $release in
            "$host_release") suites=$suite ;;
            "$host_release"-*) suites=$suite-${release#"$host_release"-} ;;
            *) continue ;;
        esac
        printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: %s\n' "$uri" "$suites" "$components"
        printf 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\n'
    done < <(awk '{ c[$1 " " $2] = c[$1 " " $2] (c[$1 " " $2] ? " " : "") $3 }
                  END { for (k in c) print k, c[k] }' <<<"$targets" | sort) \
        >"$system/etc/apt/sources.list.d/debian.sources"
    rm -f "$system/etc/apt/sources.list"
    # No services are started in the root.
    printf '#!/bin/sh\nexit 101\n' >"$system/usr/sbin/policy-rc.d"
    chmod 755 "$system/usr/sbin/policy-rc.d"
    touch "$dir/complete"
    echo "Made in $((SECONDS - start)) s."
fi

cp -L /etc/resolv.conf "$system/etc/resolv.conf"
start=$SECONDS
echo "Bringing the Debian $suite root up to date ..."
quietly "Could not update the Debian $suite root." in_root "$system" sh -c \
    'apt-get -o DPkg::Lock::Timeout=900 update -qq &&
     DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -y -qq dist-upgrade'
echo "Up to date in $((SECONDS - start)) s."

# What CI tests: the last commit, cloned as is.
head=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "Note: changes that are not committed are not tested; the root gets commit ${head:0:12}." >&2
fi
# The Debian roots that the suite makes there (build-roots/) are kept for the next run.
kept="$system$checkout-roots"
rm -rf --one-file-system "$kept"
[ ! -d "$system$checkout/build-roots" ] || mv "$system$checkout/build-roots" "$kept"
rm -rf --one-file-system "$system$checkout"
git clone -q --no-hardlinks --no-checkout "$root" "$system$checkout"
git -C "$system$checkout" checkout -q --detach "$head"
[ ! -d "$kept" ] || mv "$kept" "$system$checkout/build-roots"

start=$SECONDS
echo "Running scripts/test.sh in Debian $suite ($(cat "$system/etc/debian_version")) ..."
status=0
in_root "$system" sh -c "cd $checkout && bash scripts/test.sh" 2>&1 | tee "$dir/test.log" || status=1
echo "Debian $suite: scripts/test.sh took $((SECONDS - start)) s, and $([ $status -eq 0 ] &&
    echo passed || echo FAILED). ctest's summaries:"
grep -E '^[0-9]+% tests passed' "$dir/test.log" || echo "  (none: the tests did not run)"
if mounted_under "$system"; then
    echo "Something is still mounted in $system." >&2
    status=1
fi
exit $status
