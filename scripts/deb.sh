#!/usr/bin/env bash
# The Debian packages, made and tested in throwaway Debian roots, never in
# this machine's own dpkg:
#
# scripts/deb.sh build [--arch ARCH] [--source] OUTDIR
#   Builds the packages of this tree (dpkg-buildpackage -us -uc -b, with
#   --source the source package as well, whose upstream tarball is then made
#   from the tree) for ARCH, this machine's architecture by default; for
#   another one it cross-builds (dpkg-buildpackage -a ARCH). The build runs
#   as an unprivileged user, with no network, in /build/sineplot-VERSION,
#   and what it makes (.deb, .buildinfo, .changes; .dsc and tarballs) goes
#   into OUTDIR.
# scripts/deb.sh autopkgtest CHANGES [AUTOPKGTEST OPTION...]
#   Runs the package's tests (debian/tests) with autopkgtest against the
#   packages and source that the .changes file CHANGES lists, in a minimal
#   testbed (autopkgtest-virt-chroot), which it brings up to date first.
#
# The roots are of this machine's Debian release, from the archive its apt
# uses (its entries for the release, as cmake/debian-sources.sh gives them
# for the arm64 sysroot too). Each is made once by mmdebstrap and kept as a tarball in
# build-roots/: SUITE-build-ARCH.tar (the buildd variant with debian/control's
# build dependencies, and a cross compiler for another architecture; made
# again when debian/control changes) and SUITE-testbed-ARCH.tar (minbase).
# Each run unpacks one into build-roots/, enters it in private mount, PID and
# IPC namespaces (see with_root in setup.sh), and removes it afterwards.
# Needs root, through sudo otherwise.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
umask 022

usage() {
    echo "usage: scripts/deb.sh build [--arch ARCH] [--source] OUTDIR" >&2
    echo "       scripts/deb.sh autopkgtest CHANGES [AUTOPKGTEST OPTION...]" >&2
    exit 2
}
[ $# -ge 2 ] || usage
if [ "$(id -u)" -ne 0 ]; then
    # What it writes into OUTDIR goes back to the caller.
    exec sudo -- env SINEPLOT_CALLER="$(id -u):$(id -g)" bash "${BASH_SOURCE[0]}" "$@"
fi

roots="$root/build-roots"
native=$(dpkg --print-architecture)

# unpack TARBALL: the root unpacked into a new directory in build-roots/,
# $system, which is removed at the end, unless something is still mounted
# in it.
system=""
unpack() {
    system=$(mktemp -d "$roots/unpacked.XXXXXX")
    tar --numeric-owner -xpf "$1" -C "$system"
    cp -L /etc/resolv.conf "$system/etc/resolv.conf"
}
discard() {
    [ -n "$system" ] || return 0
    if mounted_under "$system"; then
        echo "Something is still mounted in $system; it is left as it is." >&2
        return 1
    fi
    rm -rf --one-file-system "$system"
}

# The archive: this machine's apt entries for its release, into $sources.
sources=$(mktemp -d)
trap 'rm -rf "$sources"; discard' EXIT
suite=$(sh "$root/cmake/debian-sources.sh" deb "$sources")
[ -n "$suite" ] || { echo "This system's release has no codename (VERSION_CODENAME)." >&2; exit 1; }
mirrors=()
for file in "$sources/sources.list" "$sources/sources.list.d/archive.sources"; do
    [ ! -e "$file" ] || mirrors+=("$file")
done

# make_root TARBALL INPUTS MMDEBSTRAP OPTION...: the root made by mmdebstrap
# with these options into TARBALL, unless it is there already, made the same
# way from the same INPUTS (a description of what else goes in).
make_root() {
    local tarball=$1 key
    shift
    key=$(printf '%s\n' "$@"; cat "${mirrors[@]}")
    shift
    [ -e "$tarball" ] && [ "$(cat "$tarball.key" 2>/dev/null)" = "$key" ] && return 0
    echo "Making the root $tarball with mmdebstrap (once; a few minutes) ..."
    mkdir -p "$roots"
    rm -f "$tarball" "$tarball.key"
    local start=$SECONDS
    quietly "mmdebstrap could not make $tarball." unshare --mount --propagation private \
        mmdebstrap --mode=root --format=tar "$@" "$suite" "$tarball.part" "${mirrors[@]}"
    mv "$tarball.part" "$tarball"
    printf '%s\n' "$key" >"$tarball.key"
    echo "Made in $((SECONDS - start)) s ($(du -m "$tarball" | cut -f1) MB)."
}

# source_files: the tree's source files, NUL-separated, relative to it: in a
# git checkout the files git tracks or would (not ignored ones); in an
# unpacked source tarball all but what .gitignore names (the build trees).
source_files() {
    if git -C "$root" rev-parse --show-toplevel 2>/dev/null | grep -qxF "$root"; then
        git -C "$root" ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do
                if [ -e "$root/$file" ] || [ -L "$root/$file" ]; then printf '%s\0' "$file"; fi
            done
        return
    fi
    local pattern prune=()
    while read -r pattern; do
        case $pattern in
            '' | '#'*) ;;
            /*/) prune+=(-path "./${pattern:1:-1}" -prune -o) ;;
            */) prune+=(-name "${pattern%/}" -prune -o) ;;
            *) prune+=(-name "$pattern" -prune -o) ;;
        esac
    done <"$root/.gitignore"
    (cd "$root" && find . "${prune[@]}" \( -type f -o -type l \) -printf '%P\0')
}

build() {
    local arch=$native source="" out
    while [ $# -gt 1 ]; do
        case $1 in
            --arch) arch=$2; shift 2 ;;
            --source) source=yes; shift ;;
            *) usage ;;
        esac
    done
    [ $# -eq 1 ] || usage
    out=$1
    # passwd, for useradd, which is not essential since Debian 13.
    local tarball="$roots/$suite-build-$arch.tar" options=(--variant=buildd --include=passwd)
    if [ "$arch" = "$native" ]; then
        options+=(--architectures="$native")
    else
        options+=(--architectures="$native,$arch" --include="crossbuild-essential-$arch")
    fi
    # The build dependencies are those that debian/control names.
    export SINEPLOT_CONTROL="$root/debian/control"
    options+=(
        --customize-hook='mkdir -p "$1/tmp/sineplot/debian" && cp "$SINEPLOT_CONTROL" "$1/tmp/sineplot/debian/"'
        --customize-hook="chroot \"\$1\" env DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -a $arch /tmp/sineplot"
        --customize-hook='rm -r "$1/tmp/sineplot"'
        --customize-hook='chroot "$1" useradd --create-home --user-group builder')
    make_root "$tarball" "debian/control $(sha256sum <"$SINEPLOT_CONTROL" | cut -d' ' -f1)" \
        "${options[@]}"

    local version upstream
    version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
    upstream=${version%-*}
    unpack "$tarball"
    mkdir -p "$system/build/sineplot-$upstream"
    source_files | tar -C "$root" --null --no-recursion -T - -cf - |
        tar -C "$system/build/sineplot-$upstream" -xf -
    local steps="chown -R builder:builder /build && cd /build/sineplot-$upstream"
    # Every file with the time of the changelog's last entry, which the build
    # takes as SOURCE_DATE_EPOCH: so no file's own time reaches the package.
    steps+=' && find . -exec touch -h -d "@$(dpkg-parsechangelog -S Timestamp)" {} +'
    if [ -n "$source" ]; then
        steps+=" && tar --sort=name --owner=0 --group=0 --numeric-owner -C .. -cf - sineplot-$upstream |"
        steps+=" gzip -9n >../sineplot_$upstream.orig.tar.gz"
    fi
    steps+=" && runuser -u builder -- env -i HOME=/home/builder LANG=C.UTF-8 PATH=/usr/bin:/bin"
    steps+=" DEB_BUILD_OPTIONS=parallel=$(nproc) dpkg-buildpackage -us -uc"
    [ -n "$source" ] || steps+=" -b"
    [ "$arch" = "$native" ] || steps+=" -a $arch"
    echo "Building the Debian packages for $arch (dpkg-buildpackage in a $suite root) ..."
    local start=$SECONDS
    quietly "dpkg-buildpackage failed." in_root --offline "$system" sh -c "$steps"
    mkdir -p "$out"
    find "$system/build" -maxdepth 1 -type f -name 'sineplot*' -exec cp -t "$out" {} +
    [ -z "${SINEPLOT_CALLER:-}" ] || chown -R "$SINEPLOT_CALLER" "$out"
    echo "Built in $((SECONDS - start)) s."
}

run_autopkgtest() {
    local changes
    changes=$(realpath "$1")
    shift
    [ -e "$changes" ] || usage
    local tarball="$roots/$suite-testbed-$native.tar"
    make_root "$tarball" "" --variant=minbase --architectures="$native"
    unpack "$tarball"
    with_root "$system" autopkgtest --apt-upgrade "$@" "$changes" -- chroot "$system"
}

case $1 in
    build) shift; install_missing mmdebstrap debian-archive-keyring dpkg-dev git; build "$@" ;;
    autopkgtest) shift; install_missing mmdebstrap debian-archive-keyring autopkgtest
        run_autopkgtest "$@" ;;
    *) usage ;;
esac
