# Sourced by run.sh and test.sh: installs the Debian packages that are
# missing (only those), then configures and builds.
# Quiet when all is well; on a failure it shows what went wrong.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing ${missing[*]} ..."
    local log
    log=$(mktemp)
    if ! { "${sudo[@]}" apt-get update -qq &&
           "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
               apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "Could not install ${missing[*]}." >&2
        return 1
    fi
    rm -f "$log"
}

# build_program [DIR [CMAKE OPTION...]]: configures and builds into DIR
# (build/ by default).
build_program() {
    local dir=${1:-$build} log
    shift || true
    log=$(mktemp)
    if ! { cmake -S "$root" -B "$dir" "$@" && cmake --build "$dir" --parallel; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "The build failed." >&2
        return 1
    fi
    rm -f "$log"
}

BUILD_PACKAGES=(cmake g++ make pkg-config liballegro4-dev)
# To run without a display: a virtual X server, a key press, a screenshot.
HEADLESS_PACKAGES=(xvfb xdotool x11-apps imagemagick)
