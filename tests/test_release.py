"""The release: scripts/release.sh, run in two copies of this checkout at
different paths and times, writes the same files byte for byte; SHA256SUMS
checks out, the zip's members are sorted and dated at the last commit, and
lintian finds nothing to say about the Debian packages of either
architecture. The source tarball holds exactly the tracked files, with the
commit's time and root as owner; unpacked where there is no git, it builds,
draws the frame, and makes the same packages with scripts/release.sh."""
import contextlib
import glob
import os
import re
import shutil
import subprocess
import tarfile
import time
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARBALL = "allegro-download/allegro4.4_4.4.3.1.orig.tar.gz"


def files(checkout, *options):
    listed = subprocess.run(["git", "-C", checkout, "ls-files", "-z", *options],
                            capture_output=True, check=True).stdout
    return {name for name in listed.decode().split("\0") if name}


def copy_checkout(target):
    """A clone of this checkout with its working tree (changed, new and
    removed files, not ignored ones) laid over it, and Allegro's source and
    the Debian roots where they are at hand."""
    subprocess.run(["git", "clone", "-q", "--no-hardlinks", ROOT, target], check=True)
    for name in files(ROOT, "-co", "--exclude-standard") | files(target):
        source, copy = os.path.join(ROOT, name), os.path.join(target, name)
        if os.path.lexists(source):
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copy2(source, copy, follow_symlinks=False)
        elif os.path.lexists(copy):
            os.remove(copy)
    copy_cached(target)


def copy_cached(target):
    """Allegro's source and the Debian roots that this checkout has made
    (build-roots/), which a release would otherwise fetch or make again."""
    for tree in ("build-windows", "build/windows"):
        tarball = os.path.join(ROOT, tree, TARBALL)
        if os.path.exists(tarball):
            os.makedirs(os.path.dirname(os.path.join(target, "build-release-windows", TARBALL)))
            shutil.copy(tarball, os.path.join(target, "build-release-windows", TARBALL))
            break
    share_roots(ROOT, target)


def share_roots(source, target):
    """The root tarballs in source's build-roots/ that target's lacks or has
    made otherwise (their .key files differ), linked where they can be: a
    release replaces a tarball rather than write into it."""
    def key(path):
        with contextlib.suppress(OSError), open(path + ".key") as f:
            return f.read()
    os.makedirs(os.path.join(target, "build-roots"), exist_ok=True)
    for tarball in glob.glob(os.path.join(source, "build-roots", "*.tar")):
        mine = os.path.join(target, "build-roots", os.path.basename(tarball))
        if key(tarball) is None or key(tarball) == key(mine):
            continue
        for path, copy in ((tarball, mine), (tarball + ".key", mine + ".key")):
            try:
                os.link(path, copy + ".part")
            except OSError:
                shutil.copy(path, copy + ".part")
            os.replace(copy + ".part", copy)


def release(checkout):
    environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    done = subprocess.run(["bash", "scripts/release.sh"], cwd=checkout, env=environment,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return os.path.join(checkout, "dist")


def test_release_is_reproducible(lintian, tmp_path):
    if subprocess.run(["git", "-C", ROOT, "rev-parse"], capture_output=True).returncode:
        pytest.skip("not a git checkout")
    if os.geteuid() != 0 and not (shutil.which("makensis") and shutil.which("x86_64-w64-mingw32-g++")):
        pytest.skip("nsis and g++-mingw-w64-x86-64 are needed, or root to install them")
    version = re.search(r"project\(sineplot VERSION (\S+)",
                        open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
    with open(os.path.join(ROOT, "debian/changelog")) as f:
        debian_version = re.match(r"sineplot \((\S+)\)", f.readline()).group(1)
    zip_name, source_name = f"sineplot-{version}-win64.zip", f"sineplot-{version}.tar.gz"
    debs = [f"{name}_{debian_version}_{arch}.deb" for name in ("sineplot", "sineplot-dbgsym")
            for arch in ("amd64", "arm64")]
    packages = [f"sineplot-{version}-win64.exe", zip_name] + debs
    names = sorted(["SHA256SUMS", source_name] + packages)
    first, second = str(tmp_path / "first"), str(tmp_path / "other" / "place" / "sineplot")
    try:
        copy_checkout(first)
        one = release(first)
        share_roots(first, ROOT)  # the roots the first release made, for the others
        copy_checkout(second)
        two = release(second)

        assert sorted(os.listdir(one)) == names and sorted(os.listdir(two)) == names
        differ = [n for n in names if subprocess.run(
            ["cmp", os.path.join(one, n), os.path.join(two, n)], capture_output=True).returncode]
        assert not differ, f"these differ between the two runs: {differ}"
        check = subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=one,
                               capture_output=True, text=True)
        assert check.returncode == 0, check.stdout + check.stderr

        stamp = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                               capture_output=True, check=True).stdout
        commit = time.gmtime(int(stamp))[:6]
        commit = commit[:5] + (commit[5] // 2 * 2,)  # a zip keeps even seconds
        with zipfile.ZipFile(os.path.join(one, zip_name)) as archive:
            members = archive.infolist()
        assert [m.filename for m in members] == sorted(m.filename for m in members)
        assert {m.date_time for m in members} == {commit}

        # Each architecture's packages, with their .buildinfo and .changes.
        uploads = glob.glob(os.path.join(first, "build-release", "*", "*.changes"))
        assert len(uploads) == 2, uploads
        for changes in uploads:
            said, tags = lintian(changes)
            assert not tags, said

        # The source tarball: the tracked files, no more, with no name or
        # time in the gzip header.
        source = os.path.join(one, source_name)
        with open(source, "rb") as f:
            header = f.read(10)
        assert header[3] & 0x08 == 0 and header[4:8] == bytes(4), "gzip header has a name or time"
        prefix = f"sineplot-{version}/"
        with tarfile.open(source) as archive:
            members = archive.getmembers()
            archive.extractall(tmp_path / "source")
        assert {m.name[len(prefix):] for m in members if not m.isdir()} == files(first)
        assert {(m.mtime, m.uid, m.gid) for m in members} == {(int(stamp), 0, 0)}

        # Unpacked where there is no git: the packages again, byte for byte,
        # and a plain build that draws the frame.
        unpacked = str(tmp_path / "source" / prefix)
        copy_cached(unpacked)
        three = release(unpacked)
        assert sorted(os.listdir(three)) == sorted(["SHA256SUMS"] + packages)
        differ = [n for n in packages if subprocess.run(
            ["cmp", os.path.join(one, n), os.path.join(three, n)], capture_output=True).returncode]
        assert not differ, f"these differ when made from the source tarball: {differ}"
        for command in (["cmake", "-S", ".", "-B", "build"], ["cmake", "--build", "build"],
                        ["ctest", "--test-dir", "build", "-R", "^frame$", "--output-on-failure"]):
            done = subprocess.run(command, cwd=unpacked, capture_output=True, text=True)
            assert done.returncode == 0, done.stdout + done.stderr
        assert re.search(r"frame \.+ +Passed", done.stdout), done.stdout
    finally:
        shutil.rmtree(tmp_path, ignore_errors=True)


# reprotest builds each artifact twice, the second time with the build's
# surroundings varied, and compares the two byte for byte
# (scripts/reprotest.sh): the Debian packages, by dpkg-buildpackage from the
# source package, and sineplot.exe, by the windows preset. Varied: the
# environment, the build path, the kernel (setarch: its version), ASLR, the
# number of CPUs (taskset: one, then all), the time (faketime), the file
# order (disorderfs), the host and domain names (unshare --uts), HOME, the
# locale, PATH, the time zone and the umask. Not varied: the user and group,
# which reprotest switches with "sudo -h localhost", and Debian 12's sudo
# (1.9.13) allows -h only with -l; and, where they cannot be had, the file
# order, which needs /dev/fuse open to the user (root, or as Debian's udev
# leaves it), and the host and domain names, which need a user namespace.
@pytest.mark.parametrize("artifact", ["deb", "windows"])
def test_reprotest(artifact, tmp_path):
    if subprocess.run(["git", "-C", ROOT, "rev-parse"], capture_output=True).returncode:
        pytest.skip("not a git checkout")
    tools = ["reprotest", "disorderfs", "faketime",
             {"deb": "dh", "windows": "x86_64-w64-mingw32-g++"}[artifact]]
    if os.geteuid() != 0 and not all(shutil.which(tool) for tool in tools):
        pytest.skip(f"{', '.join(tools)} are needed, or root to install them")
    done = subprocess.run(["bash", "scripts/reprotest.sh", artifact], cwd=ROOT, capture_output=True,
                          text=True, env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert done.returncode == 0, done.stdout + done.stderr
