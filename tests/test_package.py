"""The Debian packages of the current sources, made as the release makes
them (scripts/deb.sh): the source package, and the binary packages that
sbuild builds from it, in unshare mode, without root; lintian has nothing to
say about any of it, even pedantically. This machine's dpkg never sees the
package. (The release test runs the package's autopkgtest on every Debian
release it is for.)"""
import glob
import os
import subprocess


def installed():
    return subprocess.run(["dpkg-query", "-W", "sineplot*"], capture_output=True, text=True).stdout


def test_package(build, lintian, tmp_path):
    def deb(*command):
        done = subprocess.run(["bash", os.path.join(build.root, "scripts/deb.sh"),
                               *map(str, command)], capture_output=True, text=True)
        assert done.returncode == 0, done.stdout[-20000:] + done.stderr[-20000:]
    before = installed()
    deb("source", "--worktree", tmp_path / "source")
    dsc, = glob.glob(str(tmp_path / "source" / "*.dsc"))
    deb("build", dsc, tmp_path / "packages")
    changes, = glob.glob(str(tmp_path / "packages" / "*.changes"))
    debs = {os.path.basename(f).split("_")[0]: f for f in glob.glob(str(tmp_path / "packages/*.deb"))}
    assert sorted(debs) == ["sineplot", "sineplot-dbgsym"], debs

    # The source package, the packages and the .buildinfo and .changes files.
    for path in dsc, changes:
        said, tags = lintian(path)
        assert not tags, said

    assert installed() == before, "the package went into this machine's dpkg"
