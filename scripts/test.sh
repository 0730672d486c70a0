#!/usr/bin/env bash
# Installs what is missing, builds (for Linux, for Linux with sanitizers, for
# Linux on arm64, and for Windows), and runs the whole test suite with ctest:
# once against the normal build, which also runs the Windows build under Wine,
# a window manager and Wayland, and builds the release twice; and the
# end-to-end tests once more against the sanitizer build and against the arm64
# build under qemu. The tests start their own virtual X servers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_missing "${BUILD_PACKAGES[@]}" "${HEADLESS_PACKAGES[@]}" python3-pytest libx11-6 libxfixes3 locales \
    valgrind dpkg-dev lintian desktop-file-utils man-db mmdebstrap autopkgtest \
    openbox wmctrl weston xwayland \
    g++-mingw-w64-x86-64 patch wine wine64 nsis icoutils x11-utils git
build_program
build_program "$root/build-sanitize" -DSINEPLOT_SANITIZE=ON
build_windows
# On an arm64 machine the build above is the arm64 one.
arm64=$([ "$(dpkg --print-architecture)" = arm64 ] || echo yes)
if [ -n "$arm64" ]; then
    install_arm64
    build_arm64
fi

echo "Running the tests: about 9 minutes. The soak runs a minute of frames, then 50 short runs;"
echo "the release test builds the whole release three times, the last from the source tarball"
echo "(a few minutes); all quietly."
status=0
ctest --test-dir "$build" --output-on-failure || status=1
echo "With AddressSanitizer and UndefinedBehaviorSanitizer:"
ctest --test-dir "$root/build-sanitize" --output-on-failure || status=1
if [ -n "$arm64" ]; then
    echo "The arm64 build under qemu:"
    ctest --test-dir "$root/build-arm64" --output-on-failure || status=1
else
    echo "The arm64 tests are skipped: this machine is arm64, and they ran above."
fi
exit $status
