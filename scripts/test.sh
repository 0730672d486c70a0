#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with ctest:
# once against the normal build, and the end-to-end tests once more against a
# build with AddressSanitizer and UndefinedBehaviorSanitizer. The tests start
# their own virtual X servers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_missing "${BUILD_PACKAGES[@]}" "${HEADLESS_PACKAGES[@]}" python3 libx11-6 libxfixes3 \
    valgrind dpkg-dev file lintian desktop-file-utils man-db
build_program
build_program "$root/build-sanitize" -DSINEPLOT_SANITIZE=ON

status=0
ctest --test-dir "$build" --output-on-failure || status=1
echo "With AddressSanitizer and UndefinedBehaviorSanitizer:"
ctest --test-dir "$root/build-sanitize" --output-on-failure || status=1
exit $status
