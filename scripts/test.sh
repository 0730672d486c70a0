#!/usr/bin/env bash
# Installs what is missing, builds (for Linux, for Linux with sanitizers, and
# for Windows), and runs the whole test suite with ctest: once against the
# normal build, which also runs the Windows build under Wine, a window
# manager and Wayland, and builds the release twice; and the end-to-end tests
# once more against the sanitizer build. The tests start their own virtual X
# servers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_missing "${BUILD_PACKAGES[@]}" "${HEADLESS_PACKAGES[@]}" python3-pytest libx11-6 libxfixes3 locales \
    valgrind dpkg-dev file lintian desktop-file-utils man-db \
    openbox wmctrl weston xwayland \
    g++-mingw-w64-x86-64 patch wine wine64 nsis icoutils x11-utils git
build_program
build_program "$root/build-sanitize" -DSINEPLOT_SANITIZE=ON
build_windows

echo "Running the tests: about 6 minutes. The soak runs a minute of frames, then 50 short runs;"
echo "the release test builds the whole release twice (a minute or more); all quietly."
status=0
ctest --test-dir "$build" --output-on-failure || status=1
echo "With AddressSanitizer and UndefinedBehaviorSanitizer:"
ctest --test-dir "$root/build-sanitize" --output-on-failure || status=1
exit $status
