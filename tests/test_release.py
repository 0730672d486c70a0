"""The release: scripts/release.sh refuses a working tree with changes that
are not committed; run in two clones at different paths and times, it writes
the same files byte for byte; SHA256SUMS covers and checks them all; the
upstream tarball is exactly what git archive gives of the commit, and
unpacked it builds a program that draws the frame; the zip's members are
sorted and dated at the commit; lintian has nothing to say of the source
package or the Debian packages of either architecture; and the amd64
package installs, and its autopkgtest passes, on every Debian release it is
for."""
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
# The Debian releases that the package is for: Debian 12, 13 and testing.
RELEASES = ["bookworm", "trixie", "forky"]


def git(checkout, *args):
    return subprocess.run(["git", "-C", checkout, *args], capture_output=True,
                          check=True).stdout


def tracked(checkout):
    return {name for name in git(checkout, "ls-files", "-z").decode().split("\0") if name}


def clone(source, target):
    """A clone of source, with Allegro's source and the Debian roots that
    this checkout has at hand, which a release would otherwise fetch or make
    again."""
    subprocess.run(["git", "clone", "-q", "--no-hardlinks", source, target], check=True)
    for tree in ("build-windows", "build/windows"):
        if os.path.exists(os.path.join(ROOT, tree, TARBALL)):
            os.makedirs(os.path.dirname(os.path.join(target, "build-release-windows", TARBALL)))
            shutil.copy(os.path.join(ROOT, tree, TARBALL),
                        os.path.join(target, "build-release-windows", TARBALL))
            break
    share_roots(ROOT, target)


def share_roots(source, target):
    """The root tarballs of source's build/roots/, linked into target's,
    where target has none made as they were: a release replaces a tarball
    rather than write into it."""
    os.makedirs(os.path.join(target, "build", "roots"), exist_ok=True)
    for key in glob.glob(os.path.join(source, "build", "roots", "*.tar.key")):
        mine = os.path.join(target, "build", "roots", os.path.basename(key))
        if os.path.exists(mine) and open(mine).read() == open(key).read():
            continue
        for path, copy in ((key[:-4], mine[:-4]), (key, mine)):
            try:
                os.link(path, copy + ".part")
            except OSError:
                shutil.copy(path, copy + ".part")
            os.replace(copy + ".part", copy)


def release(checkout):
    environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    return subprocess.run(["bash", "scripts/release.sh"], cwd=checkout, env=environment,
                          capture_output=True, text=True)


# The release is tested in stages, each a ctest test of its own
# (tests/CMakeLists.txt): the first release, the second, their comparison,
# and the first one's package on each Debian release. A release stage keeps
# its checkout in the build tree, where a later stage, run alone, finds it.
def place(build, stage):
    """Where the release stage ("first" or "second") keeps its checkout:
    two different paths."""
    return os.path.join(build.tree, "release-test",
                        *{"first": ["first"], "second": ["other", "place", "sineplot"]}[stage])


@pytest.fixture
def made(build):
    """made(STAGE): the checkout of that release stage, with the dist/ of
    its release; the test failed, naming the stage to run first, where it
    has made none."""
    def checkout(stage):
        path = place(build, stage)
        # release.sh writes SHA256SUMS last, into a dist/ it removes first.
        if not os.path.exists(os.path.join(path, "dist", "SHA256SUMS")):
            pytest.fail(f"no release in {path}: run the release-{stage} stage first "
                        f"(ctest --test-dir {build.tree} -R '^release-{stage}$')", pytrace=False)
        return path
    return checkout


def test_first_release(build):
    """A release of this checkout's tracked files as they are now, committed
    in the clone if they differ from the last commit. What the stages made
    before goes first: the second release is a clone of this one."""
    first = place(build, "first")
    shutil.rmtree(os.path.join(build.tree, "release-test"), ignore_errors=True)
    clone(ROOT, first)
    changed = git(ROOT, "diff", "HEAD", "--binary")
    if changed:
        subprocess.run(["git", "-C", first, "apply", "--binary", "--index"], input=changed,
                       check=True)
        subprocess.run(["git", "-C", first, "-c", "user.name=test", "-c", "user.email=test@test",
                        "commit", "-qm", "The working tree's changes"], check=True)
    done = release(first)
    # The roots it made, for the second and later runs, even if it failed.
    share_roots(first, ROOT)
    assert done.returncode == 0, done.stdout + done.stderr


def test_second_release(build, made):
    """A release of the first one's commit, cloned to another path."""
    second = place(build, "second")
    shutil.rmtree(second, ignore_errors=True)
    clone(made("first"), second)
    done = release(second)
    assert done.returncode == 0, done.stdout + done.stderr


def test_dirty_tree_is_refused(tmp_path):
    checkout = str(tmp_path / "checkout")
    subprocess.run(["git", "clone", "-q", ROOT, checkout], check=True)
    with open(os.path.join(checkout, "main.cpp"), "a") as f:
        f.write("// not committed\n")
    done = release(checkout)
    assert done.returncode != 0 and done.stderr, done.stdout
    assert not os.path.exists(os.path.join(checkout, "dist"))
    assert not os.path.exists(os.path.join(checkout, "build-release"))


def test_release_is_reproducible(made, lintian, tmp_path):
    first = made("first")
    one, two = os.path.join(first, "dist"), os.path.join(made("second"), "dist")
    version = re.search(r"project\(sineplot VERSION (\S+)",
                        open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
    with open(os.path.join(ROOT, "debian/changelog")) as f:
        debian_version = re.match(r"sineplot \((\S+)\)", f.readline()).group(1)
    zip_name, orig = f"sineplot-{version}-win64.zip", f"sineplot_{version}.orig.tar.gz"
    names = sorted(["SHA256SUMS", f"sineplot-{version}-win64.exe", zip_name, orig,
                    f"sineplot_{debian_version}.dsc", f"sineplot_{debian_version}.debian.tar.xz"]
                   + [f"{name}_{debian_version}_{arch}.deb"
                      for name in ("sineplot", "sineplot-dbgsym") for arch in ("amd64", "arm64")])
    assert sorted(os.listdir(one)) == names and sorted(os.listdir(two)) == names
    differ = [n for n in names if subprocess.run(
        ["cmp", os.path.join(one, n), os.path.join(two, n)], capture_output=True).returncode]
    assert not differ, f"these differ between the two runs: {differ}"
    with open(os.path.join(one, "SHA256SUMS")) as f:
        assert sorted(line.split()[1] for line in f) == [n for n in names if n != "SHA256SUMS"]
    check = subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=one,
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr

    # The upstream tarball is git archive's, byte for byte: the tracked
    # files, all with the commit's time and root as owner.
    archive = subprocess.run(
        f"git -c tar.umask=022 archive --format=tar --prefix=sineplot-{version}/ HEAD | gzip -9n",
        shell=True, cwd=first, capture_output=True, check=True).stdout
    with open(os.path.join(one, orig), "rb") as f:
        assert f.read() == archive, "the upstream tarball is not git archive's"
    stamp = int(git(first, "log", "-1", "--format=%ct"))
    with tarfile.open(os.path.join(one, orig)) as archive:
        members = archive.getmembers()
        archive.extractall(tmp_path / "source")
    prefix = f"sineplot-{version}/"
    assert {m.name[len(prefix):] for m in members if not m.isdir()} == tracked(first)
    assert {(m.mtime, m.uid, m.gid) for m in members} == {(stamp, 0, 0)}

    commit = time.gmtime(stamp)[:6]
    commit = commit[:5] + (commit[5] // 2 * 2,)  # a zip keeps even seconds
    with zipfile.ZipFile(os.path.join(one, zip_name)) as archive:
        members = archive.infolist()
    assert [m.filename for m in members] == sorted(m.filename for m in members)
    assert {m.date_time for m in members} == {commit}

    # The source package, and each architecture's packages with their
    # .buildinfo and .changes.
    for path in [os.path.join(one, f"sineplot_{debian_version}.dsc")] + \
            glob.glob(os.path.join(first, "build-release", "*", "*.changes")):
        said, tags = lintian(path)
        assert not tags, said

    # Unpacked where there is no git, the upstream tarball builds a program
    # that draws the frame.
    unpacked = str(tmp_path / "source" / prefix)
    for command in (["cmake", "-S", ".", "-B", "build"], ["cmake", "--build", "build"],
                    ["ctest", "--test-dir", "build", "-R", "^frame$", "--output-on-failure"]):
        done = subprocess.run(command, cwd=unpacked, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("suite", RELEASES)
def test_autopkgtest(made, suite, tmp_path):
    """The first release's amd64 package, built on this machine, installed
    in a testbed of each Debian release, where its autopkgtest (the suite's
    own modules, strictly) passes."""
    one = os.path.join(made("first"), "dist")
    debs = glob.glob(os.path.join(one, "sineplot_*_amd64.deb"))
    dsc, = glob.glob(os.path.join(one, "*.dsc"))
    done = subprocess.run(["bash", os.path.join(ROOT, "scripts/deb.sh"), "autopkgtest", suite,
                           *debs, dsc, "--output-dir", tmp_path / "results"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-20000:] + done.stderr[-20000:]
    with open(tmp_path / "results" / "summary") as f:
        assert [line.split()[:2] for line in f] == [["program", "PASS"], ["desktops", "PASS"]]


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
