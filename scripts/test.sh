#!/usr/bin/env bash
# Installs what is missing, builds (for Linux, for Linux with sanitizers, and
# for Windows), and runs the whole test suite with ctest: once against the
# normal build, which also runs the Windows build under Wine, and the
# end-to-end tests once more against the sanitizer build. The tests start
# their own virtual X servers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_missing "${BUILD_PACKAGES[@]}" "${HEADLESS_PACKAGES[@]}" python3-pytest libx11-6 libxfixes3 \
    valgrind dpkg-dev file lintian desktop-file-utils man-db \
    g++-mingw-w64-x86-64 patch wine wine64
build_program
build_program "$root/build-sanitize" -DSINEPLOT_SANITIZE=ON
build_windows

status=0
ctest --test-dir "$build" --output-on-failure || status=1
echo "With AddressSanitizer and UndefinedBehaviorSanitizer:"
ctest --test-dir "$root/build-sanitize" --output-on-failure || status=1
exit $status
