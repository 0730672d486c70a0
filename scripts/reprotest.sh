#!/usr/bin/env bash
# scripts/reprotest.sh deb|windows [REPROTEST OPTION...]
# Builds twice with Debian's reprotest, here (its null server), the second
# time with the build's surroundings varied, and fails unless both builds
# give the same files byte for byte:
#   deb      the Debian packages (the program's and its debug symbols), by
#            dpkg-buildpackage from the source package of the working tree's
#            tracked files (scripts/deb.sh source --worktree), against this
#            machine's build dependencies;
#   windows  sineplot.exe, by the windows preset from the same files, with
#            Allegro's source from build-windows/ or build/windows/ where one
#            has it (fetched into the temp dir otherwise).
# Varied: all that reprotest varies but the user and group, which it switches
# with "sudo -h localhost", refused by Debian 12's sudo. The file order
# (disorderfs) needs /dev/fuse open to the user, as Debian's udev leaves it;
# the host and domain names a user namespace: each is left out, with a note,
# where it cannot be had. Neither build gets a SOURCE_DATE_EPOCH: dpkg takes
# it from debian/changelog, and the Windows program holds no time. The exit
# status is reprotest's: 0 the same files, 1 files that differ, 125 an error.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ $# -ge 1 ] && { [ "$1" = deb ] || [ "$1" = windows ]; } ||
    { echo "usage: scripts/reprotest.sh deb|windows [REPROTEST OPTION...]" >&2; exit 2; }
artifact=$1
shift
install_missing reprotest disorderfs faketime locales-all git dpkg-dev \
    debhelper cmake pkgconf liballegro4-dev libx11-dev g++-mingw-w64-x86-64 patch
unset SOURCE_DATE_EPOCH

vary=-user_group
if ! [ -r /dev/fuse ] || ! [ -w /dev/fuse ]; then
    echo "Note: /dev/fuse is not open to $(id -un): the file order is not varied." >&2
    vary+=,-fileordering
fi
if ! unshare --user --map-root-user --uts true 2>/dev/null; then
    echo "Note: no user namespace can be made here: the host and domain names are not varied." >&2
    vary+=,-domain_host
fi
# The first build on one CPU, the second on all.
options=(--vary="$vary" --min-cpus=1 "$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# git stash create, which the source package of the working tree is made
# with, fails without a word where the index is out of date for unchanged
# files (copied, touched, chowned): git status would bring it up to date.
git -C "$root" update-index -q --refresh >/dev/null || true
bash "$root/scripts/deb.sh" source --worktree "$work/source"
start=$SECONDS
status=0
if [ "$artifact" = deb ]; then
    (cd "$work/source" && TMPDIR=$work reprotest "${options[@]}" sineplot_*.dsc) || status=$?
else
    tree="$work/windows/sineplot"
    mkdir -p "$tree"
    tar -C "$tree" --strip-components=1 -xzf "$work/source"/sineplot_*.orig.tar.gz
    if ! cached=$(cached_allegro); then
        (cd "$root" && quietly "Could not fetch Allegro's source." \
            cmake --preset windows -B "$work/fetch")
        cached="$work/fetch/$ALLEGRO_TARBALL"
    fi
    mkdir -p "$tree/build-windows/allegro-download"
    cp "$cached" "$tree/build-windows/$ALLEGRO_TARBALL"
    (cd "$work/windows" && TMPDIR=$work reprotest "${options[@]}" \
        -c 'cmake --preset windows && cmake --build --preset windows --parallel "$(nproc)"' \
        sineplot build-windows/sineplot.exe) || status=$?
fi
echo "reprotest ($artifact): status $status, in $((SECONDS - start)) s."
exit $status
