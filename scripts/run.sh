#!/usr/bin/env bash
# Builds and runs sineplot, first installing the tools that are missing (with
# apt-get; elsewhere it names them). With no display it runs it in a virtual
# X server instead, saves a screenshot of the window, and ends it with Escape.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ -n "${DISPLAY:-}" ]; then
    install_tools "${BUILD_TOOLS[@]}"
    build_program
    exec "$build/sineplot"
fi

install_tools "${BUILD_TOOLS[@]}" "${HEADLESS_TOOLS[@]}"
build_program

exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
xvfb=$!
read -r number <&3
export DISPLAY=":$number"
trap 'kill "$xvfb" 2>/dev/null' EXIT

"$build/sineplot" &
program=$!
window=""
for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name '^sineplot$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$window" ]; then
    wait "$program" && status=0 || status=$?
    echo "No window appeared (sineplot ended with status $status)." >&2
    exit 1
fi

sleep 0.5  # let it copy a few frames to the window
screenshot="$build/screenshot.png"
xwd -silent -id "$window" | convert xwd:- "$screenshot"

# Without a window manager the keyboard goes to the window under the pointer.
# Escape stays down until the program has seen it and ended.
xdotool mousemove --window "$window" 320 300 keydown Escape
for _ in $(seq 100); do
    kill -0 "$program" 2>/dev/null || break
    sleep 0.1
done
xdotool keyup Escape
kill -0 "$program" 2>/dev/null && kill "$program"
wait "$program" && status=0 || status=$?
echo "sineplot ran in a virtual display and ended on Escape with status $status."
echo "Screenshot: $screenshot"
exit "$status"
