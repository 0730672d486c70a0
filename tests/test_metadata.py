"""What tells the systems around the program about it, as cmake --install
lays it out, or as the package installed it: the AppStream metadata that
software centres list it by, and one version throughout, the project's,
which debian/changelog's latest entry gives as well."""
import gzip
import os
import re
import shutil
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest

# What the validator reports that only a public home for the project can
# settle: the component id's domain is the project's sineplot.example, a
# name reserved for examples that no registry knows; and AppStream 1.0
# (Debian 13) asks for a homepage, and for the developer's id, a domain too.
AWAITING_A_HOME = {"cid-maybe-not-rdns", "url-homepage-missing", "developer-info-missing"}


@pytest.fixture(scope="module")
def installed(build, tmp_path_factory):
    """A root holding the installed files alone: the package's, copied from
    where dpkg put them, or those cmake --install lays out."""
    root = tmp_path_factory.mktemp("installed")
    if not build.package:
        subprocess.run(["cmake", "--install", build.tree, "--prefix", root / "usr"],
                       capture_output=True, check=True)
        return root
    listed = subprocess.run(["dpkg-query", "-L", build.package], capture_output=True, text=True,
                            check=True).stdout.splitlines()
    for path in filter(os.path.isfile, listed):
        os.makedirs(root / os.path.dirname(path[1:]), exist_ok=True)
        shutil.copy(path, root / path[1:])
    return root


def test_appstream(installed):
    """appstreamcli validates the metadata together with the desktop entry
    it launches, as installed, and finds nothing else to say, pedantic
    hints included; desktop-file-validate finds nothing to say of the
    entry."""
    done = subprocess.run(["appstreamcli", "validate-tree", "--no-net", "--pedantic", installed],
                          capture_output=True, text=True)
    assert re.search(r"^\S+\.metainfo\.xml$", done.stdout, re.M), done.stdout + done.stderr
    tags = re.findall(r"^\s*[EWIP]: \S+ (\S+)", done.stdout, re.M)
    assert set(tags) <= AWAITING_A_HOME, done.stdout
    entry = subprocess.run(["desktop-file-validate",
                            installed / "usr/share/applications/sineplot.desktop"],
                           capture_output=True, text=True)
    assert entry.returncode == 0 and not entry.stdout, entry.stdout


def test_one_version(build, installed):
    """The man page, the metadata's latest release and debian/changelog's
    latest entry (before its Debian revision) give the same version."""
    page, = (installed / "usr/share/man/man1").glob("sineplot.1*")  # compressed by a package
    with (gzip.open if page.suffix == ".gz" else open)(page, "rt") as f:
        man = re.match(r'\.TH \S+ \S+ "[^"]*" "sineplot (\S+)"', f.read()).group(1)
    metainfo, = (installed / "usr/share/metainfo").iterdir()
    release = ElementTree.parse(metainfo).find("releases/release").get("version")
    debian = subprocess.run(["dpkg-parsechangelog", "-l",
                             os.path.join(build.root, "debian", "changelog"), "-S", "Version"],
                            capture_output=True, text=True, check=True).stdout.strip()
    upstream = re.sub(r"^\d+:|-[^-]*$", "", debian)
    assert {man, release, upstream} == {man}, \
        "man page %s, metainfo %s, debian/changelog %s" % (man, release, debian)
