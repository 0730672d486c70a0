"""The Debian packages, built as the release builds them (scripts/deb.sh:
dpkg-buildpackage in a throwaway root), with the source package: lintian has
nothing to say about any of it, even pedantically; the desktop entry is
valid; and the package's autopkgtest (debian/tests) passes in a throwaway
testbed, where the installed /usr/bin/sineplot draws the golden frame and
ends on Escape. This machine's dpkg never sees the package."""
import glob
import os
import subprocess

import pytest


def installed():
    return subprocess.run(["dpkg-query", "-W", "sineplot*"], capture_output=True, text=True).stdout


def test_package(build, lintian, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("making and entering the roots needs root")

    def run(*command):
        done = subprocess.run(["bash", os.path.join(build.root, "scripts/deb.sh"),
                               *map(str, command)], capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    before = installed()
    run("build", "--source", tmp_path / "packages")
    changes, = glob.glob(str(tmp_path / "packages" / "*.changes"))
    debs = {os.path.basename(f).split("_")[0]: f for f in glob.glob(str(tmp_path / "packages/*.deb"))}
    assert sorted(debs) == ["sineplot", "sineplot-dbgsym"], debs

    # The source package, the packages and the .buildinfo and .changes files.
    said, tags = lintian(changes)
    assert not tags, said

    tree = tmp_path / "tree"
    subprocess.run(["dpkg-deb", "-x", debs["sineplot"], tree], check=True)
    validate = subprocess.run(["desktop-file-validate",
                               tree / "usr/share/applications/sineplot.desktop"],
                              capture_output=True, text=True)
    assert validate.returncode == 0 and not validate.stdout, validate.stdout

    results = tmp_path / "autopkgtest"
    run("autopkgtest", changes, "--output-dir", results)
    with open(results / "summary") as f:
        assert f.read().split() == ["frame", "PASS"]
    assert installed() == before, "the package went into this machine's dpkg"
