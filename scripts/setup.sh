# Sourced by run.sh and test.sh: installs the Debian packages that are
# missing (only those), then configures and builds.
# Quiet when all is well; on a failure it shows what went wrong.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

# as_root COMMAND...: runs it directly as root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
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

install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing ${missing[*]} ..."
    quietly "Could not install ${missing[*]}." as_root apt-get -o DPkg::Lock::Timeout=900 update -qq &&
        quietly "Could not install ${missing[*]}." as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
}

# build_program [DIR [CMAKE OPTION...]]: configures and builds into DIR
# (build/ by default).
build_program() {
    local dir=${1:-$build}
    shift || true
    quietly "The build failed." cmake -S "$root" -B "$dir" "$@" &&
        quietly "The build failed." cmake --build "$dir" --parallel
}

# build_windows [DIR [CMAKE OPTION...]]: the static Windows executable,
# DIR/sineplot.exe (build-windows/ by default), configured by the windows
# preset. A new build tree reuses Allegro's source from build-windows/ or
# build/windows/ (the tree that the tests build).
build_windows() {
    local dir=${1:-$root/build-windows} tarball=allegro-download/allegro4.4_4.4.3.1.orig.tar.gz
    shift || true
    local other
    for other in "$root/build-windows" "$root/build/windows"; do
        if [ ! -e "$dir/$tarball" ] && [ -e "$other/$tarball" ]; then
            mkdir -p "$dir/allegro-download" && cp "$other/$tarball" "$dir/$tarball"
        fi
    done
    [ -e "$dir/allegro-prefix/lib/liballeg.a" ] ||
        echo "Building the Allegro library for Windows (once per build tree, about a minute) ..."
    (cd "$root" &&
        quietly "The Windows build failed." cmake --preset windows -B "$dir" "$@" &&
        quietly "The Windows build failed." cmake --build "$dir" --parallel)
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
        quietly "The arm64 build failed." cmake --build "$dir" --parallel)
}

BUILD_PACKAGES=(cmake g++ make pkg-config liballegro4-dev)
# To run without a display: a virtual X server, a key press, a screenshot.
HEADLESS_PACKAGES=(xvfb xdotool x11-apps imagemagick)

# mounted_under PATH: true while anything is mounted at or below PATH.
mounted_under() {
    awk -v p="$1" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo
}

# with_root [--offline] SYSTEM COMMAND...: runs COMMAND (of this machine) in
# new mount, PID and IPC namespaces (and with --offline, a network namespace
# with no network), in which the root SYSTEM has what a running system
# needs: itself as a mount point, /proc, /sys, /dev, and empty /dev/shm, /tmp
# and /run. Its mounts and processes end with it, however it ends. Root only.
with_root() {
    local network=()
    if [ "$1" = --offline ]; then
        network=(--net)
        shift
    fi
    unshare --mount --propagation private --pid --fork --kill-child --ipc "${network[@]}" \
        bash -euc '
            system=$1
            shift
            mount --bind "$system" "$system"   # "/" a mount point, as unshare --mount needs
            mount -t proc proc "$system/proc"
            mount -t sysfs sysfs "$system/sys"
            mount --rbind /dev "$system/dev"
            mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$system/dev/shm"
            mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$system/tmp"
            mount -t tmpfs -o mode=0755,nosuid,nodev tmpfs "$system/run"
            mkdir -p "$system/run/lock"
            # This shell stays the namespace'"'"'s first process, which reaps
            # what COMMAND leaves orphaned; all of it ends with it.
            "$@" &
            wait $!
        ' with_root "$@"
}

# in_root [--offline] SYSTEM COMMAND...: runs COMMAND in the root SYSTEM, in
# the namespaces of with_root, as root, with a clean environment.
in_root() {
    local options=()
    if [ "$1" = --offline ]; then
        options=(--offline)
        shift
    fi
    local system=$1
    shift
    with_root "${options[@]}" "$system" chroot "$system" /usr/bin/env -i HOME=/root \
        LANG=C.UTF-8 TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
