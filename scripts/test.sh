#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite with ctest.
# The tests start their own virtual X servers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

install_missing "${BUILD_PACKAGES[@]}" "${HEADLESS_PACKAGES[@]}" python3 libx11-6 libxfixes3
build_program
ctest --test-dir "$build" --output-on-failure
