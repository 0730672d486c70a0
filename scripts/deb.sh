#!/usr/bin/env bash
# The Debian packages, made and tested with Debian's own tools, in throwaway
# roots, never in this machine's own dpkg, and without root:
#
# scripts/deb.sh source [--worktree] OUTDIR
#   The source package: the upstream tarball sineplot_VERSION.orig.tar.gz,
#   which is exactly the last commit's tracked files as git archive gives
#   them (the release's source tarball), and the .dsc and .debian.tar.xz that
#   dpkg-source -b makes of it. With --worktree, of the tracked files as they
#   are in the working tree, changes not yet committed included (for tests).
# scripts/deb.sh build [--host ARCH] DSC OUTDIR
#   The binary packages of the source package DSC, built by sbuild (which
#   unpacks it with dpkg-source -x) in unshare mode, with no network, for
#   this machine's architecture or, cross-built, for ARCH; the .debs,
#   .buildinfo and .changes go into OUTDIR.
# scripts/deb.sh autopkgtest SUITE PACKAGE... [AUTOPKGTEST OPTION...]
#   The package's tests (debian/tests) run by autopkgtest in a testbed of the
#   Debian SUITE (such as trixie) in unshare mode, against the PACKAGEs: the
#   .debs, or a .changes, and the .dsc or source tree that holds the tests.
#
# The roots are tarballs that mmdebstrap makes in build/roots/, once, from
# the archive that apt uses here (scripts/debian-sources):
# RELEASE-build-ARCH.tar (RELEASE being this machine's) with debian/control's
# build dependencies, and SUITE-testbed-ARCH.tar with what
# debian/tests/control's tests depend on; each is made again when those
# change.
# An ordinary user needs a range of subordinate ids (/etc/subuid, as adduser
# gives); root gets one in a private mount namespace (with_subids, lib.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
umask 022

usage() {
    echo "usage: scripts/deb.sh source [--worktree] OUTDIR" >&2
    echo "       scripts/deb.sh build [--host ARCH] DSC OUTDIR" >&2
    echo "       scripts/deb.sh autopkgtest SUITE PACKAGE... [AUTOPKGTEST OPTION...]" >&2
    exit 2
}
native=$(dpkg --print-architecture)
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

source_package() {
    local commit=HEAD
    git -C "$root" rev-parse --verify -q HEAD >/dev/null ||
        { echo "The source package is made from a git checkout." >&2; exit 1; }
    if [ "${1:-}" = --worktree ]; then
        # A commit of the working tree's tracked files, made aside: nothing
        # in the checkout changes (but git's index of file times, which
        # stash create needs up to date).
        git -C "$root" update-index -q --refresh || true
        commit=$(git -C "$root" stash create)
        commit=${commit:-HEAD}
        shift
    fi
    [ $# -eq 1 ] || usage
    local out=$1 version upstream work
    version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
    upstream=${version%-*}
    work=$(mktemp -d)
    trap 'rm -rf "$work"' RETURN
    # All files with the commit's time, owner and group root, in git's order,
    # compressed without a name or time in the gzip header.
    git -C "$root" -c tar.umask=022 archive --format=tar --prefix="sineplot-$upstream/" "$commit" |
        gzip -9n >"$work/sineplot_$upstream.orig.tar.gz"
    tar -C "$work" -xzf "$work/sineplot_$upstream.orig.tar.gz"
    quietly "dpkg-source could not make the source package." \
        sh -c 'cd "$1" && dpkg-source -b "sineplot-$2"' sh "$work" "$upstream"
    mkdir -p "$out"
    cp "$work"/sineplot_* "$out/"
}

build() {
    local arch=$native
    if [ "${1:-}" = --host ]; then
        arch=$2
        shift 2
    fi
    [ $# -eq 2 ] || usage
    local dsc out=$2 tarball="$roots/$release-build-$arch.tar" options=(--variant=buildd)
    dsc=$(realpath "$1")
    if [ "$arch" = "$native" ]; then
        options+=(--architectures="$native")
    else
        options+=(--architectures="$native,$arch" --include="crossbuild-essential-$arch")
    fi
    # The build dependencies, as debian/control names them, go into the
    # root, so that sbuild finds them there. copy-in reads the file as the
    # caller, not as the root's root, which may not reach it.
    options+=(
        --customize-hook='mkdir -p "$1/tmp/sineplot/debian"'
        --customize-hook="copy-in $root/debian/control /tmp/sineplot/debian"
        --customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -a $arch /tmp/sineplot"
        --customize-hook='rm -r "$1/tmp/sineplot"')
    make_root "$tarball" "buildd for $arch: $(depends Build-Depends "$root/debian/control")" \
        "${options[@]}" -- "$release"

    echo "Building the Debian packages for $arch (sbuild in a $release root) ..."
    local start=$SECONDS
    mkdir -p "$out"
    out=$(realpath "$out")
    # sbuild's own log goes to its output, shown if it fails; nothing is
    # written to the user's home, which is an empty folder of its own.
    local home
    home=$(mktemp -d)
    trap 'rm -rf "$home"' RETURN
    quietly "sbuild failed." with_subids env HOME="$home" \
        sbuild --chroot-mode=unshare --chroot="$tarball" --dist="$release" --host="$arch" \
        --no-run-lintian --no-run-autopkgtest --no-run-piuparts --no-apt-upgrade \
        --no-apt-distupgrade --nolog --build-dir="$out" "$dsc"
    echo "Built in $((SECONDS - start)) s."
}

# depends FIELD FILE: the packages that FIELD names in the control file
# FILE, in all its paragraphs, as a comma-separated list; but for the
# package under test, and the versions and alternatives they ask for.
depends() {
    awk -v field="$1:" 'tolower($1) == tolower(field) { on = 1; sub(/^[^:]*:/, ""); print; next }
         /^[^ \t]/ || /^$/ { on = 0 } on { print }' "$2" |
        tr ',|' '\n\n' | sed 's/[[(<].*//; s/^[[:space:]]*//; s/[[:space:]]*$//' |
        grep -vx -e '' -e sineplot -e '@' -e '@builddeps@' | sort -u | paste -sd, -
}

run_autopkgtest() {
    [ $# -ge 2 ] || usage
    local suite=$1 tarball
    shift
    tarball="$roots/$suite-testbed-$native.tar"
    # With what the tests depend on, which autopkgtest then finds installed.
    local packages
    packages=$(depends Depends "$root/debian/tests/control"),apt-utils
    make_root "$tarball" "$packages" --variant=apt --include="$packages" -- "$suite"
    # The testbed's apt lists are fetched anew (--apt-upgrade): mmdebstrap
    # leaves none.
    with_subids autopkgtest --apt-upgrade "$@" -- unshare --release "$suite" --tarball "$tarball"
}

[ $# -ge 1 ] || usage
command=$1
shift
case $command in
    source) source_package "$@" ;;
    build) build "$@" ;;
    autopkgtest) run_autopkgtest "$@" ;;
    *) usage ;;
esac
