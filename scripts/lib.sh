# The shell code that the scripts share (sourced, not run): installing the
# tools or Debian packages that are missing, building the program's trees,
# and running Debian's rootless tools (mmdebstrap, sbuild, autopkgtest)
# where they can map the user ids they need. Quiet when all is well but for
# an install's progress; on a failure it shows what went wrong.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

# as_root COMMAND...: runs it directly as root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "Installing packages takes root, and there is no sudo here: run this as root." >&2
        return 1
    fi
}

# quietly MESSAGE COMMAND...: runs it with its output kept aside; shows that
# output and MESSAGE only when it fails.
quietly() {
    local message=$1 log
    shift
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "$message" >&2
        return 1
    fi
    rm -f "$log"
}

# install_packages PACKAGE...: installs these Debian packages with apt-get,
# after updating its package lists. apt says what it installs (with what
# they depend on) and how much, then shows its progress, as a bar on a
# terminal and as plain lines otherwise, and its errors.
install_packages() {
    local fancy=()
    [ -t 1 ] && fancy=(-o Dpkg::Progress-Fancy=1)
    echo "Installing with apt-get: $*, and what they depend on (apt-get counts them below)."
    quietly "apt-get could not update its package lists (its messages are above)." \
        as_root apt-get -o DPkg::Lock::Timeout=900 update -qq || return 1
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "${fancy[@]}" \
        install -y --no-install-recommends "$@" ||
        { echo "apt-get could not install $* (its messages are above)." >&2; return 1; }
}

# not_installed PACKAGE...: prints, one a line, those of these Debian
# packages that dpkg does not have installed.
not_installed() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            echo "$package"
    done
}

# install_missing PACKAGE...: installs those of these Debian packages that
# dpkg does not have installed.
install_missing() {
    local missing
    mapfile -t missing < <(not_installed "$@")
    [ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"
}

# install_available PACKAGE...: install_missing for those of the packages
# that apt can install from this release's archive (Debian testing, at
# times, has no Wine); it names the others.
install_available() {
    local missing available=() package
    mapfile -t missing < <(not_installed "$@")
    [ ${#missing[@]} -gt 0 ] || return 0
    quietly "apt-get could not update its package lists (its messages are above)." \
        as_root apt-get -o DPkg::Lock::Timeout=900 update -qq || return 1
    for package in "${missing[@]}"; do
        if apt-get install --simulate --no-install-recommends "$package" >/dev/null 2>&1; then
            available+=("$package")
        else
            echo "Not in this release's archive, so left out: $package."
        fi
    done
    [ ${#available[@]} -eq 0 ] || install_packages "${available[@]}"
}

# has_tool TOOL: true where this system has TOOL: for allegro, pkg-config's
# module of that name; for c++ and cc, a C++ or C compiler (c++ or g++, cc
# or gcc, as CMake looks for them); for pillow, the Python imaging library
# in the system's Python (/usr/bin/python3, whatever python3 stands first on
# the PATH); otherwise the command.
has_tool() {
    case $1 in
        allegro) command -v pkg-config >/dev/null && pkg-config --exists allegro ;;
        pillow) /usr/bin/python3 -c "import PIL.Image" 2>/dev/null ;;
        c++) command -v c++ >/dev/null || command -v g++ >/dev/null ;;
        cc) command -v cc >/dev/null || command -v gcc >/dev/null ;;
        *) command -v "$1" >/dev/null ;;
    esac
}

# install_tools TOOL=PACKAGE...: makes sure that this system has each TOOL
# (has_tool), whatever installed it. Those it lacks it installs from their
# Debian PACKAGEs where apt-get is there; elsewhere it names them and fails.
install_tools() {
    local tools=() packages=() pair
    for pair in "$@"; do
        if ! has_tool "${pair%%=*}"; then
            tools+=("${pair%%=*}")
            packages+=("${pair#*=}")
        fi
    done
    [ ${#tools[@]} -eq 0 ] && return 0
    if command -v apt-get >/dev/null; then
        install_packages "${packages[@]}"
    else
        echo "Missing here, and with no apt-get this script cannot install them: ${tools[*]}" \
             "(Debian's packages: ${packages[*]}). Install them and run it again." >&2
        return 1
    fi
}

# build_program [DIR [CMAKE OPTION...]]: configures and builds into DIR
# (build/ by default).
build_program() {
    local dir=${1:-$build}
    shift || true
    quietly "The build failed (its messages are above)." cmake -S "$root" -B "$dir" "$@" &&
        quietly "The build failed (its messages are above)." cmake --build "$dir" --parallel "$(nproc)"
}

# Allegro's source tarball, as a Windows build tree keeps it.
ALLEGRO_TARBALL=allegro-download/allegro4.4_4.4.3.1.orig.tar.gz

# cached_allegro: prints the path of Allegro's source tarball where one of
# this checkout's Windows trees (build-windows/, or build/windows/, which
# the tests build) has fetched it; fails where none has.
cached_allegro() {
    local dir
    for dir in "$root/build-windows" "$root/build/windows"; do
        if [ -e "$dir/$ALLEGRO_TARBALL" ]; then
            echo "$dir/$ALLEGRO_TARBALL"
            return 0
        fi
    done
    return 1
}

# build_windows [--source TREE] [DIR [CMAKE OPTION...]]: the static Windows
# executable, DIR/sineplot.exe (build-windows/ by default), of the sources in
# TREE (this checkout by default), configured by the windows preset. A new
# build tree reuses Allegro's source where this checkout has it
# (cached_allegro).
build_windows() {
    local source=$root
    if [ "${1:-}" = --source ]; then
        source=$2
        shift 2
    fi
    local dir=${1:-$root/build-windows} cached
    shift || true
    if [ ! -e "$dir/$ALLEGRO_TARBALL" ] && cached=$(cached_allegro); then
        mkdir -p "$dir/allegro-download" && cp "$cached" "$dir/$ALLEGRO_TARBALL"
    fi
    [ -e "$dir/allegro-prefix/lib/liballeg.a" ] ||
        echo "Building the Allegro library for Windows (once per build tree, about a minute) ..."
    (cd "$source" &&
        quietly "The Windows build failed." cmake --preset windows -B "$dir" "$@" &&
        quietly "The Windows build failed." cmake --build "$dir" --parallel "$(nproc)")
}

# The arm64 build: the cross compiler, mmdebstrap, which makes the sysroot
# of Debian's arm64 libraries in the build tree that it builds against
# (cmake/debian-sysroot.cmake), and qemu, which runs the program there in the
# tests. All three are the machine's own (amd64) packages: dpkg gets no other
# architecture. qemu-user, without its recommended qemu-user-binfmt,
# registers no binfmt handler (qemu-user-static, since Debian 13, brings that
# one in).
ARM64_PACKAGES=(g++-aarch64-linux-gnu qemu-user mmdebstrap)

# install_arm64: installs what of ARM64_PACKAGES is missing.
install_arm64() {
    install_missing "${ARM64_PACKAGES[@]}"
}

# build_arm64 [DIR [CMAKE OPTION...]]: the arm64 program, DIR/sineplot
# (build-arm64/ by default), configured by the linux-arm64 preset.
build_arm64() {
    local dir=${1:-$root/build-arm64}
    shift || true
    (cd "$root" &&
        quietly "The arm64 build failed." cmake --preset linux-arm64 -B "$dir" "$@" &&
        quietly "The arm64 build failed." cmake --build "$dir" --parallel "$(nproc)")
}

# What the build needs, each tool with the Debian package that brings it.
BUILD_TOOLS=(cmake=cmake c++=g++ cc=gcc make=make pkg-config=pkg-config allegro=liballegro4-dev)
# To run without a display: a virtual X server, key presses, window captures,
# and the system's Python with its imaging library for the tests' helper
# that drives them and reads and writes the pictures (tests/xsession.py).
HEADLESS_TOOLS=(Xvfb=xvfb xdotool=xdotool xwd=x11-apps pillow=python3-pil)
# The same, as the Debian packages that the test suite installs.
BUILD_PACKAGES=("${BUILD_TOOLS[@]#*=}")
HEADLESS_PACKAGES=("${HEADLESS_TOOLS[@]#*=}")

# Where the Debian roots go: tarballs made by mmdebstrap that sbuild builds
# the packages in and autopkgtest tests them in, kept for the next run.
roots="$root/build/roots"

# with_subids COMMAND...: runs COMMAND where Debian's tools can make their
# user namespaces (mmdebstrap, sbuild and autopkgtest in unshare mode need a
# range of subordinate user and group ids). An ordinary user has one in
# /etc/subuid and /etc/subgid, where adduser puts it; root has none, so as
# root COMMAND runs in a private mount namespace in which those two files
# carry a range for root as well, past every range they give. The machine's
# own files are only read.
with_subids() {
    if [ "$(id -u)" -ne 0 ]; then
        "$@"
        return
    fi
    local file
    for file in /etc/subuid /etc/subgid; do
        [ -f "$file" ] || { echo "$file is missing (package uidmap, passwd)." >&2; return 1; }
    done
    unshare --mount --propagation private bash -euc '
        for file in /etc/subuid /etc/subgid; do
            copy=$(mktemp)
            awk -F: '"'"'{ print } $3 + $2 > end { end = $3 + $2 }
                 END { printf "root:%d:65536\n", (end > 100000 ? end : 100000) }'"'"' "$file" >"$copy"
            chmod 644 "$copy"
            mount --bind "$copy" "$file"
            rm "$copy"
        done
        exec "$@"' with_subids "$@"
}

# make_root TARBALL KEY MMDEBSTRAP OPTION... -- SUITE: the root that mmdebstrap
# makes of SUITE, from the archive of scripts/debian-sources, with these
# options, into TARBALL; unless it is there already, made from the same KEY
# (what goes into it: its architectures and packages) and the same archive.
make_root() {
    local tarball=$1 key=$2 sources suite
    shift 2
    suite=${!#}
    sources=$(mktemp --suffix=.sources)
    "$root/scripts/debian-sources" "$suite" >"$sources" || { rm -f "$sources"; return 1; }
    key=$(printf '%s\n' "$key"; cat "$sources")
    if [ -e "$tarball" ] && [ "$(cat "$tarball.key" 2>/dev/null)" = "$key" ]; then
        rm -f "$sources"
        return 0
    fi
    echo "Making the Debian $suite root $(basename "$tarball") with mmdebstrap (once; a few minutes) ..."
    mkdir -p "$(dirname "$tarball")"
    rm -f "$tarball" "$tarball.key"
    local start=$SECONDS
    # As root, mmdebstrap's root mode; otherwise its unshare mode.
    if ! quietly "mmdebstrap could not make $tarball." with_subids \
        mmdebstrap --format=tar --skip=output/dev "${@:1:$#-2}" "$suite" "$tarball.part" "$sources"; then
        rm -f "$sources" "$tarball.part"
        return 1
    fi
    rm -f "$sources"
    mv "$tarball.part" "$tarball"
    printf '%s\n' "$key" >"$tarball.key"
    echo "Made in $((SECONDS - start)) s ($(du -m "$tarball" | cut -f1) MB)."
}
