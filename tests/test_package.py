"""The Debian packages of the current sources, made as the release makes
them (scripts/deb.sh): the source package, and the binary packages that
sbuild builds from it; lintian has nothing to say about any of it, even
pedantically; and the package's autopkgtest, the suite's own modules run
against the installed program, passes in a testbed of this machine's
release. Debian's tools run in unshare mode, without root; this machine's
dpkg never sees the package."""
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

    release = subprocess.run(["sh", "-c", ". /etc/os-release && echo $VERSION_CODENAME"],
                             capture_output=True, text=True, check=True).stdout.strip()
    results = tmp_path / "autopkgtest"
    deb("autopkgtest", release, changes, dsc, "--output-dir", results)
    with open(results / "summary") as f:
        assert [line.split()[:2] for line in f] == [["program", "PASS"], ["desktops", "PASS"]]
    assert installed() == before, "the package went into this machine's dpkg"
