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

# The Windows build compiles Allegro from Debian's source package of it, which
# apt-get source fetches only where source entries are configured: add them,
# copied from the binary ones, when there are none.
enable_source_packages() {
    if grep -rqsE '^(deb-src |Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    echo "Adding source package entries to apt's sources (sineplot-sources.*) ..."
    # One-line entries in sources.list, deb822 ones in debian.sources or
    # ubuntu.sources: only a file that gets entries is written.
    local one_line='' deb822='' file
    if [ -e /etc/apt/sources.list ]; then
        one_line=$(sed -n 's/^deb /deb-src /p' /etc/apt/sources.list)
    fi
    for file in /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list.d/ubuntu.sources; do
        [ -e "$file" ] || continue
        deb822+=$(sed 's/^Types:.*/Types: deb-src/' "$file")$'\n\n'
    done
    if [ -n "$one_line" ]; then
        printf '%s\n' "$one_line" | as_root tee /etc/apt/sources.list.d/sineplot-sources.list >/dev/null
    fi
    if [ -n "$deb822" ]; then
        printf '%s' "$deb822" | as_root tee /etc/apt/sources.list.d/sineplot-sources.sources >/dev/null
    fi
    as_root apt-get update -qq >/dev/null ||
        echo "apt-get update reported errors; the Windows build may not find Allegro's source." >&2
}

# build_windows [DIR [CMAKE OPTION...]]: the static Windows executable,
# DIR/sineplot.exe (build-windows/ by default), configured by the windows
# preset. A new build tree reuses Allegro's source from build-windows/.
build_windows() {
    local dir=${1:-$root/build-windows} tarball=allegro-download/allegro4.4_4.4.3.1.orig.tar.gz
    shift || true
    if [ ! -e "$dir/$tarball" ] && [ -e "$root/build-windows/$tarball" ]; then
        mkdir -p "$dir/allegro-download" && cp "$root/build-windows/$tarball" "$dir/$tarball"
    fi
    [ -e "$dir/$tarball" ] || enable_source_packages
    [ -e "$dir/allegro-prefix/lib/liballeg.a" ] ||
        echo "Building the Allegro library for Windows (once per build tree, about a minute) ..."
    (cd "$root" &&
        quietly "The Windows build failed." cmake --preset windows -B "$dir" "$@" &&
        quietly "The Windows build failed." cmake --build "$dir" --parallel)
}

# The arm64 build: the cross compiler, the arm64 libraries installed beside
# the machine's own (for which dpkg gets the arm64 architecture), and qemu,
# which runs the program in the tests. Allegro's arm64 development files are
# unpacked into the build tree by cmake/cross-allegro.cmake instead, as the
# machine's own liballegro4-dev and the arm64 one cannot be installed together.
# qemu-user, without its recommended qemu-user-binfmt, registers no binfmt
# handler (qemu-user-static, since Debian 13, brings that one in).
ARM64_PACKAGES=(g++-aarch64-linux-gnu libx11-dev:arm64 qemu-user)

# install_arm64: adds the arm64 architecture to dpkg where it is missing and
# installs ARM64_PACKAGES and the arm64 Allegro runtime, under the name that
# the machine's liballegro4-dev depends on (liballegro4.4, and
# liballegro4.4t64 since Debian 13).
install_arm64() {
    local runtime
    runtime=$(dpkg-query -W -f='${Depends}' liballegro4-dev | grep -o 'liballegro4\.4[a-z0-9]*' | head -n 1)
    if [ "$(dpkg --print-architecture)" != arm64 ] &&
        ! dpkg --print-foreign-architectures | grep -qx arm64; then
        echo "Adding the arm64 architecture to dpkg (dpkg --add-architecture arm64) ..."
        as_root dpkg --add-architecture arm64
    fi
    install_missing "${ARM64_PACKAGES[@]}" "${runtime:-liballegro4.4}:arm64"
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

# debian_sources SUITE: the archive this machine's apt gets its own release
# from, for SUITE: "URI SUITE COMPONENT..." for each of apt's entries for this
# release and for its -updates and -security, with SUITE in its place.
# Prints nothing where apt's sources name no archive for this release.
debian_sources() {
    local suite=$1 release
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$release" ] || return 0
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' \
        2>/dev/null | sort -u |
        awk -v host="$release" -v suite="$suite" '
            $2 == host { s = suite }
            index($2, host "-") == 1 { s = suite substr($2, length(host) + 1) }
            s != "" { key = $1 " " s; c[key] = c[key] (c[key] ? " " : "") $3; s = "" }
            END { for (k in c) print k, c[k] }' | sort
}

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
