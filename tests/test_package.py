"""The Debian package: computed dependencies; lintian and the desktop and
man page checkers clean; installed, /usr/bin/sineplot draws the golden frame
and ends on Escape; removed, the machine's package list is as it was. A
package for another architecture is not installed: its unpacked program runs
under the emulator instead."""
import os
import subprocess

import pytest

from xsession import load_png


def installed():
    return subprocess.run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev} ${Package} ${Version}\n"],
                          capture_output=True, text=True, check=True).stdout


def test_package(build, xserver, start, tmp_path):
    install = not build.emulator
    if install and os.geteuid() != 0:
        pytest.skip("installing a package needs root")
    before = installed()
    if install and " sineplot " in before:
        pytest.skip("sineplot is installed already; this test will not touch it")

    subprocess.run(["cpack", "-G", "DEB", "--config", build.cpack_config, "-B", tmp_path],
                   capture_output=True, check=True)
    debs = [f for f in os.listdir(tmp_path) if f.endswith(".deb")]
    assert len(debs) == 1 and debs[0].startswith("sineplot_"), debs
    deb = str(tmp_path / debs[0])
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                             text=True, check=True).stdout
    assert "liballegro4.4" in depends and "libc6" in depends, depends
    lintian = subprocess.run(["lintian", "--fail-on", "error,warning,info", "--info", deb],
                             capture_output=True, text=True,
                             env=dict(os.environ, TMPDIR=str(tmp_path)))
    tags = [line for line in lintian.stdout.splitlines() if not line.startswith("N:")]
    assert lintian.returncode == 0 and not tags, lintian.stdout

    tree = str(tmp_path / "tree")
    subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
    validate = subprocess.run(["desktop-file-validate",
                               tree + "/usr/share/applications/sineplot.desktop"],
                              capture_output=True, text=True)
    assert validate.returncode == 0 and not validate.stdout, validate.stdout
    man = subprocess.run(["man", "--warnings", "-l", tree + "/usr/share/man/man1/sineplot.1.gz"],
                         capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
    assert man.returncode == 0 and not man.stderr and "Escape" in man.stdout, man.stderr

    if not install:
        run = start(xserver(24), program=tree + "/usr/bin/sineplot")
        assert run.frame() == load_png(build.golden), "the packaged program's frame differs"
        assert run.press_escape() == 0
        return
    apt = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        subprocess.run(["apt-get", "install", "-y", "-qq", deb], env=apt, check=True,
                       capture_output=True)
        run = start(xserver(24), program="/usr/bin/sineplot")
        assert run.frame() == load_png(build.golden), "the installed program's frame differs"
        assert run.press_escape() == 0
    finally:
        subprocess.run(["apt-get", "purge", "-y", "-qq", "sineplot"], env=apt, capture_output=True)
    assert installed() == before, "the package list differs after removal"
