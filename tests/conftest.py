"""Fixtures of the end-to-end tests. The build's paths come from the
environment that ctest sets (SINEPLOT_PROGRAM and the like), and default to
the usual build trees beside the sources, so that a module also runs alone:
python3 -m pytest tests/test_frame.py. Against an installed package (as its
autopkgtest runs them), SINEPLOT_PROGRAM is /usr/bin/sineplot and
SINEPLOT_INSTALLED names the package, whose files the metadata tests read.

With SINEPLOT_STRICT=1 (scripts/test.sh, the autopkgtest) a test that would
be skipped fails instead, saying what was missing, unless it is one of those
in NOT_APPLICABLE."""
import os
import re
import shutil
import subprocess
import types

import pytest

from xsession import NOT_APPLICABLE, Run, XServer, default_signals, load_png

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STRICT = os.environ.get("SINEPLOT_STRICT") == "1"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # A strict run fails what would be skipped, but for the listed cases.
    report = (yield).get_result()
    if STRICT and report.skipped and not hasattr(report, "wasxfail"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        reason = reason.removeprefix("Skipped: ")
        if not any(reason.startswith(key) for key in NOT_APPLICABLE):
            report.outcome = "failed"
            report.longrepr = "SINEPLOT_STRICT=1, and this would be skipped: " + reason


def pytest_configure(config):
    # Whatever signals the runner was started with ignored or blocked.
    default_signals()


def pytest_addoption(parser):
    parser.addoption("--write-golden", action="store_true",
                     help="capture the frame into tests/golden/frame.png instead of comparing")


@pytest.fixture(scope="session")
def build():
    def path(variable, default):
        return os.path.abspath(os.environ.get(variable) or os.path.join(ROOT, default))
    # A build for another architecture runs its programs under the emulator
    # that CMake names (CMAKE_CROSSCOMPILING_EMULATOR, as qemu-aarch64 -L
    # SYSROOT), a command and its arguments separated by semicolons.
    emulator = [arg for arg in os.environ.get("SINEPLOT_EMULATOR", "").split(";") if arg]
    if emulator and not shutil.which(emulator[0]):
        pytest.skip(emulator[0] + " is not installed, so this build cannot run here")
    windows_exe = path("SINEPLOT_WINDOWS_EXE", "build/windows/sineplot.exe")
    return types.SimpleNamespace(
        root=ROOT,
        tree=path("SINEPLOT_BUILD_TREE", "build"),
        emulator=emulator,
        program=path("SINEPLOT_PROGRAM", "build/sineplot"),
        probe=path("SINEPLOT_PROBE", "build/tests/libsineplot_probe.so"),
        glyphs=path("SINEPLOT_GLYPHS", "build/tests/label_glyphs"),
        golden=os.path.join(ROOT, "tests/golden/frame.png"),
        windows_exe=windows_exe,
        # Built with AddressSanitizer, which reports a fault itself.
        sanitized=os.environ.get("SINEPLOT_SANITIZED") == "1",
        # The Debian package whose installed files are tested, if any.
        package=os.environ.get("SINEPLOT_INSTALLED"),
        desktop_entry="/usr/share/applications/sineplot.desktop" if os.environ.get(
            "SINEPLOT_INSTALLED") else os.path.join(ROOT, "packaging", "sineplot.desktop"),
        # The test's copy of it, built beside it, whose memory lies above 4 GiB.
        windows_highmem_exe=os.path.join(os.path.dirname(windows_exe), "sineplot-highmem.exe"))


@pytest.fixture(scope="session")
def golden(build):
    return load_png(build.golden)


@pytest.fixture
def xserver(tmp_path):
    """xserver(depth=24): a fresh Xvfb, stopped at the end of the test."""
    servers = []

    def start(depth=24):
        servers.append(XServer(depth, tmp_path))
        return servers[-1]
    yield start
    for server in servers:
        server.close()


@pytest.fixture
def start(build, tmp_path):
    """start(display, probe_env=None, wrapper=(), program=None): a run of the
    program, killed at the end of the test if it is still going."""
    runs = []

    def launch(display, probe_env=None, wrapper=(), program=None):
        runs.append(Run(build, display, tmp_path, probe_env, wrapper, program))
        return runs[-1]
    yield launch
    for run in runs:
        run.close()


@pytest.fixture
def unshare():
    """unshare(*options): the command that runs a program in the namespaces
    these unshare options make, inside a user namespace of its own (as its
    root, the same user outside) where they cannot be made without, as when
    not root; or the test skipped where even that is refused (a container,
    a kernel that allows no user namespaces). In a chroot, such as an
    autopkgtest testbed, / is no mount point, so unshare cannot make the new
    mount namespace's mounts private: there it keeps them as they are, where
    none of them is shared with another namespace."""
    with open("/proc/self/mountinfo") as f:
        mounts = [line.split(" - ")[0].split() for line in f]
    chroot = "/" not in [fields[4] for fields in mounts]
    private = not any(field.startswith("shared:") for fields in mounts for field in fields[6:])
    propagation = ["--propagation", "unchanged"] if chroot and private else []

    def command(*options):
        failures = []
        for user in [], ["--user", "--map-root-user"]:
            tried = subprocess.run(["unshare", *user, *propagation, *options, "true"],
                                   capture_output=True, text=True)
            if not tried.returncode:
                return ["unshare", *user, *propagation, *options]
            failures.append(" ".join(["unshare", *user, *options]) + ": " + tried.stderr.strip())
        pytest.skip("namespaces cannot be made here: " + "; ".join(failures))
    return command


# What lintian may say of the Debian packages: Debian 13's lintian passes on
# what appstreamcli reports of the AppStream metadata, which asks there for a
# home page that the project has not got yet (test_metadata.py accepts that
# and nothing else from appstreamcli). Debian 12's lintian has no such tag,
# so the package cannot carry an override for it.
LINTIAN_AWAITING_A_HOME = {"appstream-metadata-validation-failed"}


@pytest.fixture
def lintian(tmp_path):
    """lintian(PATH): what lintian says, pedantic tags included, of PATH (a
    .deb, or a .changes file and all it lists): its output, and the tags in
    it other than those awaiting the project's public home."""
    def run(path):
        done = subprocess.run(["lintian", "--pedantic", "--info", "--fail-on", "none", path],
                              capture_output=True, text=True,
                              env=dict(os.environ, TMPDIR=str(tmp_path)))
        assert done.returncode == 0, done.stdout + done.stderr
        tags = re.findall(r"^[A-Z]: \S+(?: source)?: (\S+)", done.stdout, re.M)
        return done.stdout, [tag for tag in tags if tag not in LINTIAN_AWAITING_A_HOME]
    return run


def pytest_sessionfinish(session):
    # ctest shows a module whose every test was skipped as skipped, by this status.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter and session.testscollected and session.exitstatus == 0:
        stats = reporter.stats
        if stats.get("skipped") and not stats.get("passed"):
            session.exitstatus = 77
