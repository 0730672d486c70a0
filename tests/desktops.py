"""The desktops of Debian that the tests run the program under, each
started in a folder of the test's own and ended with close(): openbox on an
Xvfb; in Wayland sessions through Xwayland, headless weston, mutter and
gnome-shell, and kwin; and mutter and kwin as the window managers of an
Xvfb. Each start function, (workdir, unshare, xserver, build) -> Desktop,
skips the test where its desktop is not installed."""
import glob
import os
import re
import shlex
import shutil
import signal
import subprocess
import time

import pytest

from xsession import XDisplay, not_applicable


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


def private_home(folder, inside=None):
    """HOME and the XDG folders, in folder, which the desktop sees as inside;
    the runtime folder, the user's alone, is made."""
    os.makedirs(os.path.join(folder, "runtime"), mode=0o700)
    inside = inside or str(folder)
    return {"HOME": inside + "/home", "XDG_CONFIG_HOME": inside + "/config",
            "XDG_CACHE_HOME": inside + "/cache", "XDG_DATA_HOME": inside + "/data",
            "XDG_RUNTIME_DIR": inside + "/runtime"}


# A private session bus. The services it starts on demand get the display
# from its environment (kwin's kglobalaccel, for one, aborts without it).
SESSION_BUS = """
dbus-daemon --session --fork --address=unix:path=$XDG_RUNTIME_DIR/bus
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
"""


class Desktop(XDisplay):
    """A desktop started by a shell script, in the namespaces that the
    command unshare makes (none if it is empty), its output in desktop.log.
    The shell stays the namespace's first process: that one is sent only
    the signals it handles (Xwayland tells weston that it is ready with
    SIGUSR1, which weston reads from a signalfd, leaving it unhandled); and
    killing it kills every process in the namespace. focus: whether the
    keys sent with XTest go to the focused window; closes: whether its
    window manager passes on close requests (wmctrl -c)."""

    focus = True
    closes = True

    def __init__(self, workdir, unshare, env, script, *args):
        self.unshare = unshare
        self.log = os.path.join(workdir, "desktop.log")
        # Its last command is the desktop; with no namespace, the shell gives way to it.
        script = script + " &\nwait $!" if unshare else "exec " + script
        with open(self.log, "w") as log:
            self.process = subprocess.Popen(
                unshare + ["--kill-child"] * bool(unshare) + ["sh", "-ec", script, *args],
                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

    def wait_for(self, condition, message, timeout=60):
        """until(condition, ...), the desktop ended if it is not met."""
        try:
            return until(condition, lambda: message + ":\n" + self.text(), timeout)
        except AssertionError:
            self.close()
            raise

    def text(self):
        with open(self.log) as f:
            return f.read()

    def command(self, *args):
        """A client of the desktop's display joins its network namespace,
        where it has one, entering its user namespace first where it is in
        one (then as the same user)."""
        if "--net" not in self.unshare:
            return list(args)
        user = ["--user", "--preserve-credentials"] if "--user" in self.unshare else []
        return ["nsenter", "--target", str(self.process.pid), *user, "--net", "--", *args]

    def window_manager(self):
        """[the name of the display's window manager], once it has started:
        the window it names (_NET_SUPPORTING_WM_CHECK) bears its name."""
        def xprop(*args):
            return subprocess.run(self.command("xprop", "-notype", *args), env=self.env(),
                                  capture_output=True, text=True, check=True).stdout
        check = re.search(r"window id # (0x[0-9a-f]+)", xprop("-root", "_NET_SUPPORTING_WM_CHECK"))
        return check and re.findall(r'^_NET_WM_NAME = "(.*)"$',
                                    xprop("-id", check.group(1), "_NET_WM_NAME"), re.M)

    def check(self, run, golden):
        """The checks of this desktop alone."""

    def close(self):
        # unshare, waiting for the namespace's first process, ends once every
        # process in it has.
        first = []
        if self.unshare:
            try:
                with open("/proc/%d/task/%d/children" % ((self.process.pid,) * 2)) as f:
                    first = f.read().split()
            except FileNotFoundError:  # unshare has ended already
                pass
        for pid in first:
            os.kill(int(pid), signal.SIGKILL)
        if not first:
            self.process.kill()  # with --kill-child, its namespace goes too
        self.process.wait()


class Openbox(Desktop):
    """openbox on a 24-bit Xvfb. It is the one window manager here that
    does not composite, so the only one that takes a covered or minimised
    window's picture away, leaving the program to draw it again."""

    def __init__(self, workdir, xserver):
        need("openbox", "xclock")
        display = xserver(24)
        # Openbox runs the startup command once it handles new windows;
        # earlier, with the display taken over, it may lose a window's
        # request to be mapped.
        ready = os.path.join(workdir, "openbox-ready")
        super().__init__(workdir, [], dict(display.env(), **private_home(workdir / "session")),
                         'openbox --sm-disable --startup "touch $0"', ready)
        self.name = display.name
        self.wait_for(lambda: os.path.exists(ready), "openbox did not start")

    def check(self, run, golden):
        self.xdotool("windowminimize", run.window)
        until(lambda: not self.xdotool("search", "--onlyvisible", "--name", "^sineplot$"),
              "the window was not minimised")
        assert run.process.poll() is None, "the program ended when minimised"
        self.xdotool("windowactivate", run.window)
        until(lambda: shows(run, golden), "the picture is not exact after a restore")

        # Not xlogo, which Escape ends: handing the focus back as it goes,
        # it would let Escape reach the program however the focus came back.
        cover = subprocess.Popen(["xclock", "-geometry", "1024x768+0+0"], env=self.env(),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            until(lambda: not shows(run, golden), "the covering window did not appear")
        finally:
            cover.kill()
            cover.wait()
        until(lambda: shows(run, golden), "the picture is not exact once uncovered")


class WindowManager(Desktop):
    """A compositing window manager of a 24-bit Xvfb, in a process
    namespace of its own, with a private session bus."""

    def __init__(self, workdir, unshare, xserver, name, script):
        display = xserver(24)
        super().__init__(workdir, unshare("--pid", "--fork", "--mount-proc"),
                         dict(display.env(), **private_home(workdir / "session")),
                         SESSION_BUS + script)
        self.name = display.name
        self.wait_for(lambda: self.window_manager() == [name], name + " did not start")


class Wayland(Desktop):
    """A Wayland compositor with Xwayland, alone in new mount, network and
    process namespaces. Its /tmp there is the test's folder tmp: its X
    display, in that /tmp and in a network of its own, takes no display
    number of any other X server. X clients reach it by joining its network
    namespace (command()), with the X cookie, where it makes one. ready: a
    pattern of its log that names the X display once it is ready."""

    def __init__(self, workdir, unshare, ready, script, env=()):
        self.root = workdir / "tmp"
        os.makedirs(self.root / ".X11-unix")
        os.chmod(self.root / ".X11-unix", 0o1777)
        super().__init__(workdir, unshare("--mount", "--net", "--pid", "--fork", "--mount-proc"),
                         dict(os.environ, **private_home(self.root, "/tmp"), **dict(env)),
                         'mount --bind "$0" /tmp\n' + script, str(self.root))
        self.name = self.wait_for(lambda: re.search(ready, self.text(), re.M | re.S),
                                  "no X display is ready").group(1)
        # Mutter's Xwayland asks for the cookie it made; the others' ask for none.
        self.cookie = glob.glob(str(self.root / "runtime" / ".mutter-Xwaylandauth.*"))
        # Mutter 48 names the display before it manages windows there, and
        # would take in the program's window without focusing it.
        self.wait_for(self.window_manager, "no window manager on the X display")

    def env(self):
        env = super().env()
        if self.cookie:
            env["XAUTHORITY"] = self.cookie[0]
        return env


class Weston(Wayland):
    """weston's headless backend. No pointer moves: this Xwayland, with no
    seat, ends on XTest pointer motion, and its XTest keys go only to the
    window under the pointer. So Escape is sent to the window itself. Its
    window manager takes no close requests from other clients
    (_NET_CLOSE_WINDOW), and its close button cannot be clicked here."""

    focus = False
    closes = False

    def __init__(self, workdir, unshare):
        need("weston", "Xwayland")
        # Weston names its X display at once; Xwayland starts on the first client.
        super().__init__(workdir, unshare, r"xserver listening on display (:\d+)",
                         "weston --no-config --backend=headless-backend.so --use-pixman"
                         " --xwayland --width=1024 --height=768 --socket=sineplot --idle-time=0")


class GnomeShell(Wayland):
    """gnome-shell, headless, with sineplot's desktop entry under another
    file name (x-sineplot.desktop) in its data folder and a sineplot on its
    PATH, as the entry's Exec asks (GLib drops an entry whose program is not
    there). Its login-manager code needs a system bus: an empty bus of its
    own stands in. The start-up overview, which holds the focus, is hidden.
    --unsafe-mode lets the test ask which application each window belongs
    to."""

    def __init__(self, workdir, unshare, build):
        need("gnome-shell", "Xwayland", "dbus-daemon", "gdbus")
        self.package = build.package
        root = workdir / "tmp"
        os.makedirs(root / "data" / "applications")
        shutil.copy(build.desktop_entry,
                    root / "data" / "applications" / "x-sineplot.desktop")
        os.makedirs(root / "bin")
        with open(root / "bin" / "sineplot", "w") as f:
            f.write('#!/bin/sh\nexec %s "$@"\n' % shlex.join(build.emulator + [build.program]))
        os.chmod(root / "bin" / "sineplot", 0o755)
        super().__init__(workdir, unshare,
                         r"Using public X11 display (:\d+).*GNOME Shell started at",
                         SESSION_BUS + """
dbus-daemon --session --fork --address=unix:path=$XDG_RUNTIME_DIR/system-bus
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/system-bus
gnome-shell --wayland --headless --virtual-monitor 1024x768 --unsafe-mode""",
                         {"PATH": "/tmp/bin:" + os.environ["PATH"]})
        self.call("/org/gnome/Shell", "org.freedesktop.DBus.Properties.Set",
                  "org.gnome.Shell", "OverviewActive", "<false>")

    def call(self, path, method, *args):
        return subprocess.run(
            self.command("gdbus", "call", "--address", "unix:path=%s" % (self.root / "runtime/bus"),
                         "--dest", "org.gnome.Shell", "--object-path", path,
                         "--method", method, *args),
            env=self.env(), capture_output=True, text=True, check=True).stdout

    def check(self, run, golden):
        # Under its own file name, the entry would also match by the window's
        # instance name: under another, only its StartupWMClass can.
        # Where the package is installed, its own entry carries the same
        # class, and the shell may take that one (GNOME 48 does).
        entries = ["x-sineplot.desktop"] + ["sineplot.desktop"] * bool(self.package)
        windows = self.call("/org/gnome/Shell/Introspect", "org.gnome.Shell.Introspect.GetWindows")
        ids = re.findall(r"'app-id': <'([^']*)'>", windows)
        assert len(ids) == 1 and ids[0] in entries, \
            "the shell does not tie the window to its desktop entry: " + windows


# Each desktop, started for a test: (workdir, unshare, xserver, build) -> Desktop.

def openbox(workdir, unshare, xserver, build):
    return Openbox(workdir, xserver)


def weston(workdir, unshare, xserver, build):
    return Weston(workdir, unshare)


def mutter_wayland(workdir, unshare, xserver, build):
    need("mutter", "Xwayland", "dbus-daemon")
    # mutter runs the command once it is ready; its end would end mutter.
    return Wayland(workdir, unshare, r"^X display (:\d+)$", SESSION_BUS
                   + "mutter --wayland --headless --virtual-monitor 1024x768"
                   " -- sh -c 'echo X display $DISPLAY; exec sleep infinity'")


def mutter_x11(workdir, unshare, xserver, build):
    need("mutter", "dbus-daemon")
    # GNOME 49 dropped X11 sessions: mutter built without them (Debian
    # testing's) takes --x11 for an unknown option.
    if subprocess.run(["mutter", "--x11", "--version"], capture_output=True).returncode:
        not_applicable("mutter has no X11 mode")
    return WindowManager(workdir, unshare, xserver, "Mutter", "mutter --x11")


def gnome_shell(workdir, unshare, xserver, build):
    return GnomeShell(workdir, unshare, build)


def kwin_wayland(workdir, unshare, xserver, build):
    need("kwin_wayland", "Xwayland", "dbus-daemon")
    # The installed kwin_wayland carries file capabilities, which a
    # container's bounding set may lack (exec then fails); a copy has none.
    os.makedirs(workdir / "tmp")
    shutil.copy(shutil.which("kwin_wayland"), workdir / "tmp")
    # kwin runs the command once Xwayland is up, splitting it as a shell would.
    return Wayland(workdir, unshare, r"^X display (:\d+)$", SESSION_BUS
                   + "/tmp/kwin_wayland --virtual --xwayland --width 1024 --height 768"
                   " --no-lockscreen --no-global-shortcuts --socket sineplot"
                   " \"sh -c 'echo X display \\$DISPLAY; exec sleep infinity'\"")


def kwin_x11(workdir, unshare, xserver, build):
    need("kwin_x11", "dbus-daemon")
    return WindowManager(workdir, unshare, xserver, "KWin", "kwin_x11")
