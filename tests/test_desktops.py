"""The program on real desktops: under the openbox window manager, and in a
Wayland session (headless weston) through Xwayland. The window manager
gives the window focus and sends it its requests; the picture must survive
them exactly, and Escape must still end the run with 0."""
import os
import re
import shlex
import shutil
import signal
import subprocess
import time

import pytest

from xsession import XDisplay


def need(*commands):
    missing = [c for c in commands if not shutil.which(c)]
    if missing:
        pytest.skip("not installed: " + " ".join(missing))


def until(condition, message, timeout=10):
    """condition()'s first true value, tried until timeout seconds pass."""
    deadline = time.time() + timeout
    while not (result := condition()):
        if time.time() > deadline:
            raise AssertionError(message() if callable(message) else message)
        time.sleep(0.05)
    return result


def shows(run, golden):
    """True once the window shows the golden picture (False while it cannot
    be captured, as when it is unmapped)."""
    try:
        return run.capture() == golden
    except subprocess.CalledProcessError:
        return False


@pytest.fixture
def openbox(xserver, tmp_path):
    """A 24-bit Xvfb run by openbox, with its settings and log in tmp_path."""
    need("openbox", "wmctrl", "xlogo")
    display = xserver(24)
    home = tmp_path / "home"
    env = dict(display.env(), HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"),
               XDG_CACHE_HOME=str(home / ".cache"), XDG_DATA_HOME=str(home / ".local/share"))
    # Openbox runs the startup command once it handles new windows; earlier,
    # with the display taken over, it may lose a window's request to be mapped.
    ready = tmp_path / "openbox-ready"
    with open(tmp_path / "openbox.log", "w") as log:
        wm = subprocess.Popen(["openbox", "--sm-disable", "--startup",
                               "touch " + shlex.quote(str(ready))],
                              env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    try:
        until(ready.exists, "openbox did not start")
        yield display
    finally:
        wm.kill()
        wm.wait()


def test_openbox(openbox, start, golden):
    display = openbox
    run = start(display)
    assert run.frame() == golden  # the pointer is now away from the window
    assert display.xdotool("getwindowfocus") == [run.window], "no focus when the window appeared"

    # The close button is left to the library, which ignores it.
    subprocess.run(["wmctrl", "-i", "-c", run.window], env=display.env(), check=True)
    time.sleep(0.5)
    assert run.process.poll() is None, "the close request ended the program"
    assert run.capture() == golden, "the picture changed after the close request"

    display.xdotool("windowminimize", run.window)
    until(lambda: not display.xdotool("search", "--onlyvisible", "--name", "^sineplot$"),
          "the window was not minimised")
    assert run.process.poll() is None, "the program ended when minimised"
    display.xdotool("windowactivate", run.window)
    until(lambda: shows(run, golden), "the picture is not exact after a restore")

    cover = subprocess.Popen(["xlogo", "-geometry", "1024x768+0+0"], env=display.env(),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        until(lambda: not shows(run, golden), "the covering window did not appear")
    finally:
        cover.kill()
        cover.wait()
    until(lambda: shows(run, golden), "the picture is not exact once uncovered")

    # The keyboard goes to the focused window, wherever the pointer is.
    assert display.xdotool("getwindowfocus") == [run.window], "no focus back after the cover"
    assert run.hold_escape() == 0


class Weston(XDisplay):
    """A headless weston with Xwayland, alone in new mount, network and
    process namespaces (in a user namespace where not root): its X display, in a private /tmp and network, takes
    no display number of any other X server. X clients reach it by joining
    its network namespace (command()). The shell stays the namespace's first
    process: that one is sent only the signals it handles, and Xwayland
    tells weston that it is ready with SIGUSR1, which weston reads from a
    signalfd, leaving it unhandled."""

    SCRIPT = """
mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -m 1777 /tmp/.X11-unix
mkdir -m 0700 /tmp/runtime
export XDG_RUNTIME_DIR=/tmp/runtime HOME=/tmp XDG_CONFIG_HOME=/tmp/config XDG_CACHE_HOME=/tmp/cache
weston --no-config --backend=headless-backend.so --use-pixman --xwayland \
    --width=1024 --height=768 --socket=sineplot --idle-time=0 &
wait $!
"""

    def __init__(self, workdir, unshare):
        self.unshare = unshare
        self.log = os.path.join(workdir, "weston.log")
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                unshare + ["--kill-child", "sh", "-ec", self.SCRIPT],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        # Weston names its X display at once; Xwayland starts on the first client.
        try:
            self.name = until(
                lambda: re.findall(r"xserver listening on display (:\d+)", self.text()),
                lambda: "weston offered no X display:\n" + self.text())[0]
        except AssertionError:
            self.close()
            raise

    def text(self):
        with open(self.log) as f:
            return f.read()

    def command(self, *args):
        # Where the namespaces are in a user namespace, that one first, as the same user.
        user = ["--user", "--preserve-credentials"] if "--user" in self.unshare else []
        return ["nsenter", "--target", str(self.process.pid), *user, "--net", "--", *args]

    def close(self):
        # Killing the namespace's first process kills every process in it,
        # and unshare, waiting for it, ends once they all have.
        try:
            with open("/proc/%d/task/%d/children" % ((self.process.pid,) * 2)) as f:
                first = f.read().split()
        except FileNotFoundError:  # unshare has ended already
            first = []
        for pid in first:
            os.kill(int(pid), signal.SIGKILL)
        if not first:
            self.process.kill()  # with --kill-child, its namespace goes too
        self.process.wait()


@pytest.fixture
def weston(tmp_path, unshare):
    need("weston", "Xwayland")
    session = Weston(tmp_path, unshare("--mount", "--net", "--pid", "--fork"))
    yield session
    session.close()


def test_weston_xwayland(weston, start, golden):
    # No pointer moves: this Xwayland, with no seat, ends on XTest pointer
    # motion, and its XTest keys go only to the window under the pointer. So
    # Escape is sent to the window itself.
    run = start(weston, wrapper=weston.command())
    run.find_window(timeout=20)
    # The first capture can come before the first frame, or before the
    # window can be read (xwd: BadMatch).
    until(lambda: shows(run, golden), "the window does not show the exact frame")
    assert run.hold_escape("--window", run.window) == 0
