#!/bin/sh
# debian-sysroot.sh ARCHITECTURE SYSROOT PACKAGE...: makes SYSROOT, the
# libraries and headers that a cross build for ARCHITECTURE compiles and
# links against and that its emulator runs with: Debian's packages of that
# architecture, with their dependencies, from this machine's archive and
# release (cmake/debian-sources.sh). mmdebstrap unpacks them, without
# installing them or running anything of theirs, and without root where
# there is none; dpkg on this machine knows nothing of them.
#
# SYSROOT/DEBIAN holds the packages' shlibs and symbols files, so that
# dpkg-shlibdeps, given the sysroot's library folders, takes SYSROOT for a
# package build tree and finds the packages and versions that a program
# linked against these libraries needs.
set -eu
arch=$1
sysroot=$2
shift 2
here=$(dirname "$0")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
suite=$(sh "$here/debian-sources.sh" deb "$work/sources")
include=$(echo "$@" | tr ' ' ,)
set --
for file in "$work/sources/sources.list" "$work/sources/sources.list.d/archive.sources"; do
    [ ! -e "$file" ] || set -- "$@" "$file"
done

rm -rf --one-file-system "$sysroot"
# chrootless: nothing is run in the sysroot, so nothing needs a chroot, and
# nothing is mounted there. The downloaded packages are kept for their
# control files.
mmdebstrap --mode=chrootless --variant=extract --architectures="$arch" --include="$include" \
    --skip=cleanup/apt/cache "$suite" "$sysroot" "$@"

mkdir "$sysroot/DEBIAN"
for deb in "$sysroot"/var/cache/apt/archives/*.deb; do
    rm -rf "$work/control"
    dpkg-deb --control "$deb" "$work/control"
    for file in shlibs symbols; do
        [ ! -f "$work/control/$file" ] || cat "$work/control/$file" >>"$sysroot/DEBIAN/$file"
    done
done
rm -rf "$sysroot/var/cache/apt" "$sysroot/dev"
# /bin, /lib and /sbin as links into /usr where the packages have nothing
# there (Debian 13 moved them), as on an installed system: the program's
# interpreter is /lib/ld-linux-aarch64.so.1 and the like.
for dir in bin lib sbin; do
    [ -e "$sysroot/$dir" ] || [ ! -d "$sysroot/usr/$dir" ] || ln -s "usr/$dir" "$sysroot/$dir"
done
