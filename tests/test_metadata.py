"""What tells the systems around the program about it, as cmake --install
lays it out: one version throughout, the project's, which
debian/changelog's latest entry gives as well."""
import os
import re
import subprocess

import pytest


@pytest.fixture(scope="module")
def installed(build, tmp_path_factory):
    root = tmp_path_factory.mktemp("installed")
    subprocess.run(["cmake", "--install", build.tree, "--prefix", root / "usr"],
                   capture_output=True, check=True)
    return root


def test_one_version(build, installed):
    """The man page and debian/changelog's latest entry (before its Debian
    revision) give the same version."""
    with open(installed / "usr/share/man/man1/sineplot.1") as f:
        man = re.match(r'\.TH \S+ \S+ "[^"]*" "sineplot (\S+)"', f.read()).group(1)
    debian = subprocess.run(["dpkg-parsechangelog", "-l",
                             os.path.join(build.root, "debian", "changelog"), "-S", "Version"],
                            capture_output=True, text=True, check=True).stdout.strip()
    upstream = re.sub(r"^\d+:|-[^-]*$", "", debian)
    assert upstream == man, "man page %s, debian/changelog %s" % (man, debian)
