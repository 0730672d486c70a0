#!/usr/bin/env bash
# Makes the release files in dist/: the Debian packages for amd64 and arm64
# with their debug symbols, the Windows installer and zip, the source
# tarball, and SHA256SUMS. Installs what is missing; builds the Debian
# packages with dpkg-buildpackage in throwaway Debian roots (scripts/deb.sh),
# into build-release/, and the Windows program in release mode into
# build-release-windows/, packaged by cpack.
# The same commit gives byte-identical files wherever and whenever this runs:
# the Debian packages take their times from debian/changelog, as
# dpkg-buildpackage does; the rest from the last commit (SOURCE_DATE_EPOCH,
# unless already set). Run from an unpacked source tarball, it takes that time
# from the tarball's packaging/source-date and makes all but the tarball itself.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
umask 022
export TZ=UTC LC_ALL=C.UTF-8

install_missing cmake make git python3 g++-mingw-w64-x86-64 patch nsis
# git archive writes the commit's time into packaging/source-date; in a
# checkout it holds the placeholder.
recorded=$(cat "$root/packaging/source-date")
if [[ $recorded =~ ^[0-9]+$ ]]; then
    checkout=""
else
    checkout=yes
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if [ -n "$checkout" ]; then
        SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
    else
        SOURCE_DATE_EPOCH=$recorded
    fi
fi
export SOURCE_DATE_EPOCH
if [ -n "$checkout" ] && [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "Note: the working tree has changes that are not committed; they are in the release" \
        "but not in the source tarball." >&2
fi

debian="$root/build-release"
windows="$root/build-release-windows"
dist="$root/dist"

rm -rf "$debian" "$windows/packages" "$dist"
bash "$root/scripts/deb.sh" build --arch amd64 "$debian/amd64"
bash "$root/scripts/deb.sh" build --arch arm64 "$debian/arm64"
echo "Building for Windows ..."
build_windows "$windows"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$windows/CMakeCache.txt")

# package GENERATOR: cpack's package of the Windows build into its packages/.
package() {
    quietly "Packaging ($1) failed." cpack -G "$1" --config "$windows/CPackConfig.cmake" \
        -B "$windows/packages"
}
echo "Packaging for Windows ..."
package NSIS64
package ZIP
mkdir -p "$dist"
cp "$windows/packages/sineplot-$version-win64.exe" "$debian"/*/*.deb "$dist/"

# The source at the last commit, exactly its tracked files under
# sineplot-VERSION/, all with the commit's time, owner and group 0 (root),
# in git's order, compressed without a name or time in the gzip header.
if [ -n "$checkout" ]; then
    git -C "$root" -c tar.umask=022 archive --format=tar --prefix="sineplot-$version/" HEAD |
        gzip -9n >"$dist/sineplot-$version.tar.gz"
else
    echo "Note: this is an unpacked source tarball, so the release has no source tarball of its own." >&2
fi

# CPack's zip has its members in the file system's order, with local times:
# the same members go into dist/ sorted by name, all with the commit's time
# in UTC, and without the extra fields that would carry times again
# (compressed by Debian's python3 and zlib, not another python on the PATH).
/usr/bin/python3 - "$windows/packages/sineplot-$version-win64.zip" "$dist/sineplot-$version-win64.zip" <<'EOF'
import os, sys, time, zipfile
source, target = sys.argv[1:]
when = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]
with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w") as new:
    for member in sorted(old.infolist(), key=lambda m: m.filename):
        info = zipfile.ZipInfo(member.filename, when)
        info.create_system = 3
        info.external_attr = member.external_attr
        info.compress_type = zipfile.ZIP_STORED if member.is_dir() else zipfile.ZIP_DEFLATED
        new.writestr(info, old.read(member), compresslevel=9)
EOF

(cd "$dist" && sha256sum -- sineplot* >SHA256SUMS)
echo "The release of sineplot $version, in $dist:"
(cd "$dist" && for file in *; do printf '%10s  %s\n' "$(stat -c %s "$file")" "$file"; done)
