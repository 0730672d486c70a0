#!/bin/sh
# debian-sysroot.sh ARCHITECTURE SYSROOT PACKAGE...: makes SYSROOT, the
# libraries and headers that a cross build for ARCHITECTURE compiles and
# links against and that its emulator runs with: Debian's packages of that
# architecture, with their dependencies, from this machine's archive and
# release (scripts/debian-sources). mmdebstrap unpacks them, without
# installing them or running anything of theirs, and without root where
# there is none; dpkg on this machine knows nothing of them.
#
# SYSROOT/DEBIAN holds the packages' shlibs and symbols files, so that
# dpkg-shlibdeps, given the sysroot's library folders, takes SYSROOT for a
# package build tree and finds the packages and versions that a program
# linked against these libraries needs; and, in DEBIAN/sysroot-packages,
# the PACKAGEs it was made of. A SYSROOT made before is replaced only once
# the new one is complete, and a folder that is not one is left alone.
set -eu
arch=$1
sysroot=$2
shift 2
here=$(dirname "$0")

if [ -e "$sysroot" ] && [ ! -e "$sysroot/DEBIAN/sysroot-packages" ] &&
    [ -n "$(ls -A "$sysroot")" ]; then
    echo "$sysroot is not empty, and not a sysroot made by $0: not touching it." >&2
    exit 1
fi
mkdir -p "$(dirname "$sysroot")"
new=$(mktemp -d "$sysroot.XXXXXX")
chmod 755 "$new"
work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work" "$new"' EXIT

suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
"$here/debian-sources" >"$work/archive.sources"
include=$(echo "$@" | tr ' ' ,)

# Only unpacked: nothing is run in the sysroot, so nothing needs a chroot.
# An ordinary user unpacks it chrootless; root in mmdebstrap's root mode,
# since mmdebstrap (from Debian 13) refuses chrootless mode to root outside
# a chroot. The downloaded packages are kept for their control files.
mode=chrootless
[ "$(id -u)" -ne 0 ] || mode=root
mmdebstrap --mode=$mode --variant=extract --architectures="$arch" --include="$include" \
    --skip=cleanup/apt/cache "$suite" "$new" "$work/archive.sources"

mkdir "$new/DEBIAN"
for deb in "$new"/var/cache/apt/archives/*.deb; do
    rm -rf "$work/control"
    dpkg-deb --control "$deb" "$work/control"
    for file in shlibs symbols; do
        [ ! -f "$work/control/$file" ] || cat "$work/control/$file" >>"$new/DEBIAN/$file"
    done
done
rm -rf "$new/var/cache/apt" "$new/dev"
# /bin, /lib and /sbin as links into /usr where the packages have nothing
# there (Debian 13 moved them), as on an installed system: the program's
# interpreter is /lib/ld-linux-aarch64.so.1 and the like.
for dir in bin lib sbin; do
    [ -e "$new/$dir" ] || [ ! -d "$new/usr/$dir" ] || ln -s "usr/$dir" "$new/$dir"
done
echo "$include" | tr , ' ' >"$new/DEBIAN/sysroot-packages"

rm -rf --one-file-system "$sysroot"
mv "$new" "$sysroot"
