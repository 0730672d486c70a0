#!/usr/bin/env bash
# The whole test suite. Installs the Debian packages below that are missing
# (with apt-get, and nothing else on the machine: what is foreign goes into
# the build trees), builds build/ (the program and its tests),
# build-sanitize/ and build-arm64/, and runs with ctest all of build/ (which
# also builds and tests the Windows program under Wine, the Debian package in
# throwaway roots, and the release twice), then the end-to-end tests of the
# sanitizer build, and those of the arm64 build under qemu. The tests start
# their own X servers and desktops.
#
# The run is strict (SINEPLOT_STRICT=1): a test that would be skipped, for a
# missing tool or a refused namespace, fails instead. SINEPLOT_SKIP_LABELS,
# a ctest label pattern, leaves those tests out of build/ (scripts/test-in.sh
# leaves out the package and the release, which the Debian 12 run makes and
# tests on every release).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

TEST_PACKAGES=(
    python3-pytest libx11-6 libxfixes3 locales valgrind appstream  # the end-to-end tests
    openbox wmctrl weston xwayland mutter gnome-shell kwin-wayland kwin-x11  # the desktops
    dbus-daemon libglib2.0-bin
    dpkg-dev lintian desktop-file-utils man-db  # the Debian package, built and tested rootless:
    mmdebstrap sbuild autopkgtest uidmap iproute2 distro-info debian-archive-keyring
    g++-mingw-w64-x86-64 patch nsis icoutils x11-utils git  # Windows, the release
    reprotest disorderfs faketime locales-all debhelper libx11-dev  # the release, varied
)
install_missing "${BUILD_PACKAGES[@]}" "${HEADLESS_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
# Wine runs the Windows program, where this release's archive has it.
install_available wine wine64
build_program
build_program "$root/build-sanitize" -DSINEPLOT_SANITIZE=ON
# On an arm64 machine the build above is the arm64 one.
arm64=$([ "$(dpkg --print-architecture)" = arm64 ] || echo yes)
if [ -n "$arm64" ]; then
    install_arm64
    build_arm64
fi

echo "Running the tests, each named as it ends. The soak runs a minute of frames, then 50 short"
echo "runs; the Windows test builds the Allegro library for Windows first; the package and"
echo "release tests make their Debian roots once per checkout; the release is made twice, then"
echo "its package is tested in testbeds of Debian 12, 13 and testing, one stage at a time."
export SINEPLOT_STRICT=1
skip=()
[ -z "${SINEPLOT_SKIP_LABELS:-}" ] || skip=(--label-exclude "$SINEPLOT_SKIP_LABELS")
status=0
ctest --test-dir "$build" --output-on-failure "${skip[@]}" || status=1
echo "With AddressSanitizer and UndefinedBehaviorSanitizer:"
ctest --test-dir "$root/build-sanitize" --output-on-failure || status=1
if [ -n "$arm64" ]; then
    echo "The arm64 build under qemu:"
    ctest --test-dir "$root/build-arm64" --output-on-failure || status=1
else
    echo "The arm64 tests are skipped: this machine is arm64, and they ran above."
fi
exit $status
