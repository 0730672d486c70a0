#!/usr/bin/env bash
# Makes the release files in dist/, all from one source: the source package
# (the upstream tarball, which is exactly the last commit's tracked files as
# git archive gives them, and the .dsc and .debian.tar.xz made of it); the
# Debian packages for amd64 and arm64 with their debug symbols, which sbuild
# builds from that .dsc (scripts/deb.sh), into build-release/; the Windows
# installer and zip, built in release mode from the same source unpacked
# (dpkg-source -x), into build-release-windows/, packaged by cpack; and
# SHA256SUMS. Installs what is missing. Refuses a working tree with changes
# that are not committed: they would be in no shipped source.
# The same commit gives byte-identical files wherever and whenever this runs:
# the Debian packages take their times from debian/changelog, as
# dpkg-buildpackage does; the rest from the last commit (SOURCE_DATE_EPOCH).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
umask 022
export TZ=UTC LC_ALL=C.UTF-8

if ! git -C "$root" rev-parse --verify -q HEAD >/dev/null; then
    echo "A release is made from a git checkout: its source is the last commit." >&2
    exit 1
fi
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "The working tree has changes that are not committed; a release is made of the last" \
        "commit alone. Commit or stash them first. Nothing was made." >&2
    git -C "$root" status --short --untracked-files=no >&2
    exit 1
fi
install_missing cmake make git python3 g++-mingw-w64-x86-64 patch nsis \
    dpkg-dev mmdebstrap sbuild uidmap debian-archive-keyring
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

debian="$root/build-release"
windows="$root/build-release-windows"
dist="$root/dist"

rm -rf "$debian" "$windows/packages" "$dist"
bash "$root/scripts/deb.sh" source "$debian/source"
dsc=$(echo "$debian"/source/*.dsc)
bash "$root/scripts/deb.sh" build "$dsc" "$debian/amd64"
bash "$root/scripts/deb.sh" build --host arm64 "$dsc" "$debian/arm64"
echo "Building for Windows ..."
# From the source package too, unpacked as sbuild unpacks it.
quietly "dpkg-source could not unpack $dsc." dpkg-source -x "$dsc" "$debian/unpacked"
build_windows --source "$debian/unpacked" "$windows"
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
cp "$windows/packages/sineplot-$version-win64.exe" "$debian"/source/sineplot_* \
    "$debian"/*/*.deb "$dist/"

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

(cd "$dist" && sha256sum -- * >SHA256SUMS)
echo "The release of sineplot $version, in $dist:"
(cd "$dist" && for file in *; do printf '%10s  %s\n' "$(stat -c %s "$file")" "$file"; done)
