#!/usr/bin/env bash
# Builds and runs sineplot, first installing the tools that are missing (with
# apt-get; elsewhere it names them). With no display it runs it in a virtual
# X server instead, saves a screenshot of its first frame, and ends it with
# Escape, as the tests do, with their helper (tests/xsession.py).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ -n "${DISPLAY:-}" ]; then
    install_tools "${BUILD_TOOLS[@]}"
    build_program
    exec "$build/sineplot"
fi

install_tools "${BUILD_TOOLS[@]}" "${HEADLESS_TOOLS[@]}"
build_program
exec /usr/bin/python3 "$root/tests/xsession.py" "$build/sineplot" "$build/screenshot.png"
