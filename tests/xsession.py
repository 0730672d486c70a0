"""What the end-to-end tests drive sineplot with: a virtual X server (Xvfb),
a run of the real program with the probe preloaded and the library's
message window replaced by a recorder, captures of its window (xwd), and
key and pointer input through XTest (xdotool); the pictures are read and
written with Pillow. Run alone, it is what scripts/run.sh shows the program
with where there is no display:

    /usr/bin/python3 tests/xsession.py PROGRAM SCREENSHOT

runs PROGRAM (without the probe) in an Xvfb of its own, saves its first
frame to SCREENSHOT (PNG), and ends it with Escape, with its exit status.
The benchmark (bench/bench.py) uses its XServer and Run too, loading this
file by its path."""
import contextlib
import ctypes
import mmap
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import types

from PIL import Image as Pillow

WIDTH, HEIGHT = 640, 400


# ---------------------------------------------------------------- skips

# The skips that a strict run lets stand, each a case that cannot apply
# where it runs: the reason it is skipped with begins with its key.
NOT_APPLICABLE = {
    "wrote the golden frame": "--write-golden makes the golden frame, so there is nothing to "
                              "compare it with",
    "no Wine in this Debian release": "the release's archive has no Wine to run the Windows "
                                      "program with (Debian testing, at times)",
    "mutter has no X11 mode": "from GNOME 49 mutter may be built without X11 sessions, as "
                              "Debian testing's is: there is no X11 window manager to test",
}


def not_applicable(key, detail=""):
    """Skips the test as a case that cannot apply here, which even a strict
    run accepts; key is one of NOT_APPLICABLE's."""
    import pytest  # here alone, so that the module also runs without pytest
    assert key in NOT_APPLICABLE, key
    pytest.skip(key + (": " + detail if detail else ""))


# ---------------------------------------------------------------- images

class Image:
    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def __getitem__(self, xy):
        i = 3 * (xy[1] * self.width + xy[0])
        return tuple(self.data[i:i + 3])

    def __eq__(self, other):
        return (self.width, self.height, self.data) == (other.width, other.height, other.data)

    def __repr__(self):
        return "<%dx%d image>" % (self.width, self.height)

    def colours(self):
        return {self[x, y] for y in range(self.height) for x in range(self.width)}


# How a window's pixels lie in an XWD dump: (bits per pixel, byte order,
# red, green and blue masks) -> Pillow's raw mode for them. These are the
# TrueColor layouts of 15, 16 and 24-bit X servers as the X server gives
# them (24 bits in 32-bit pixels), and the packed 24-bit pixels that xwd
# composes itself where windows of other visuals or colour maps overlap the
# window (a window manager's, briefly); any other fails the capture.
XWD_LAYOUTS = {
    (32, 0, 0xFF0000, 0xFF00, 0xFF): "BGRX",
    (32, 1, 0xFF0000, 0xFF00, 0xFF): "XRGB",
    (24, 0, 0xFF0000, 0xFF00, 0xFF): "BGR",
    (24, 1, 0xFF0000, 0xFF00, 0xFF): "RGB",
    (16, 0, 0xF800, 0x7E0, 0x1F): "BGR;16",
    (16, 0, 0x7C00, 0x3E0, 0x1F): "BGR;15",
}


def read_xwd(data):
    """The image of an XWD dump of a window (xwd's output): a header of 25
    big-endian 32-bit fields, the window's name, the colour map, then the
    pixels, row by row."""
    assert len(data) >= 100, "xwd wrote no whole header"
    fields = struct.unpack_from(">25I", data)
    header_size, version, format_, _, width, height = fields[:6]
    layout = (fields[11], fields[7], *fields[14:17])
    assert version == 7 and format_ == 2, "not an XWD dump of a window's pixels"
    assert layout in XWD_LAYOUTS, "a window of an unknown pixel layout: %r" % (layout,)
    pixels = header_size + 12 * fields[19]  # past the colour map's entries
    assert len(data) >= pixels + fields[12] * height, "xwd wrote only part of the pixels"
    image = Pillow.frombytes("RGB", (width, height), data[pixels:], "raw", XWD_LAYOUTS[layout],
                             fields[12])
    return Image(width, height, image.tobytes())


def load_png(path):
    with Pillow.open(path) as image:
        return Image(image.width, image.height, image.convert("RGB").tobytes())


def save_png(image, path):
    Pillow.frombytes("RGB", (image.width, image.height), image.data).save(path, "PNG")


# ---------------------------------------------------------------- signals

def default_signals():
    """Gives this process, and so every process it starts (X servers,
    desktops, the program), each signal's default action with none blocked,
    whatever it was started with: a script's background job has SIGINT and
    SIGQUIT ignored, and a supervisor may block signals, which would keep
    the program from ending and an X server from stopping. SIGPIPE and
    SIGXFSZ stay as Python sets them (ignored here, the default in what it
    starts); Ctrl+C raises KeyboardInterrupt, as Python's default."""
    signal.pthread_sigmask(signal.SIG_SETMASK, ())
    for number in signal.valid_signals() - {signal.SIGPIPE, signal.SIGXFSZ}:
        if signal.getsignal(number) == signal.SIG_IGN:
            signal.signal(number, signal.SIG_DFL)
    if signal.getsignal(signal.SIGINT) == signal.SIG_DFL:
        signal.signal(signal.SIGINT, signal.default_int_handler)


# ---------------------------------------------------------------- X server

class XDisplay:
    """An X display that clients reach with the environment env() gives and
    through command(), which runs a client (the same command, here)."""

    name = None

    def env(self):
        return dict(os.environ, DISPLAY=self.name)

    def command(self, *args):
        return list(args)

    def xdotool(self, *args, check=True):
        """xdotool's output, split into words. A command that fails fails the
        test, naming it; only a search may find nothing, which xdotool
        reports with status 1 and no message, or with BadWindow where a
        window went as it looked at it (as a window manager's do while it
        starts): then it has found nothing yet."""
        args = [str(a) for a in args]
        done = subprocess.run(self.command("xdotool", *args), env=self.env(),
                              capture_output=True, text=True)
        nothing_found = args[0] == "search" and done.returncode == 1 and (
            not done.stderr or "BadWindow" in done.stderr)
        if check and done.returncode and not nothing_found:
            raise AssertionError("xdotool %s failed with status %d: %s"
                                 % (" ".join(args), done.returncode, done.stderr.strip()))
        return done.stdout.split()


class XServer(XDisplay):
    """An Xvfb of the given depth on the first free display number."""

    def __init__(self, depth, workdir):
        self.log = open(os.path.join(workdir, "xvfb-%d.log" % depth), "a")
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x%d" % depth,
             "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=self.log, stderr=self.log)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        assert number, "Xvfb did not start (depth %d)" % depth
        self.name = ":" + number

    def close(self):
        if self.server.poll() is None:
            self.server.terminate()
            self.server.wait()
        self.log.close()


class XFixesCursorImage(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short),
                ("width", ctypes.c_ushort), ("height", ctypes.c_ushort),
                ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                ("cursor_serial", ctypes.c_ulong),
                ("pixels", ctypes.POINTER(ctypes.c_ulong))]


class XWMHints(ctypes.Structure):
    _fields_ = [("flags", ctypes.c_long), ("input", ctypes.c_int),
                ("initial_state", ctypes.c_int), ("icon_pixmap", ctypes.c_ulong),
                ("icon_window", ctypes.c_ulong), ("icon_x", ctypes.c_int), ("icon_y", ctypes.c_int),
                ("icon_mask", ctypes.c_ulong), ("window_group", ctypes.c_ulong)]


@contextlib.contextmanager
def xlib_connection(display):
    """(libX11, an open Display*) for ctypes calls, closed afterwards."""
    xlib = ctypes.CDLL("libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = xlib.XOpenDisplay(display.name.encode())
    assert dpy, "cannot open " + display.name
    try:
        yield xlib, dpy
    finally:
        xlib.XCloseDisplay(dpy)


@contextlib.contextmanager
def colormap_window(display):
    """A small window with a colour map of its own, mapped at the top left
    of the screen while the block runs: xwd, which reads each colour map's
    windows apart, then composes its dump itself (as it does while a window
    manager shows such a window)."""
    with xlib_connection(display) as (xlib, dpy):
        dpy = ctypes.c_void_p(dpy)
        xlib.XDefaultRootWindow.restype = ctypes.c_ulong
        xlib.XDefaultVisual.restype = ctypes.c_void_p
        xlib.XCreateColormap.restype = ctypes.c_ulong
        xlib.XCreateSimpleWindow.restype = ctypes.c_ulong
        root = ctypes.c_ulong(xlib.XDefaultRootWindow(dpy))
        visual = ctypes.c_void_p(xlib.XDefaultVisual(dpy, 0))
        colormap = ctypes.c_ulong(xlib.XCreateColormap(dpy, root, visual, 0))  # AllocNone
        window = ctypes.c_ulong(xlib.XCreateSimpleWindow(dpy, root, 0, 0, 50, 50, 0, 0, 0))
        xlib.XSetWindowColormap(dpy, window, colormap)
        xlib.XMapWindow(dpy, window)
        xlib.XSync(dpy, 0)
        yield


def cursor_pixels(display):
    """The ARGB pixels of the pointer image the X server shows now."""
    xfixes = ctypes.CDLL("libXfixes.so.3")
    xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(XFixesCursorImage)
    xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
    with xlib_connection(display) as (_, dpy):
        image = xfixes.XFixesGetCursorImage(dpy).contents
        return [image.pixels[i] for i in range(image.width * image.height)]


def window_icon(display, window):
    """The icon a window offers window managers (its WM_HINTS icon pixmap and
    mask): rows of 0xRRGGBB values, None where the mask leaves a pixel out;
    None if it has no icon."""
    with xlib_connection(display) as (xlib, dpy):
        xlib.XGetWMHints.restype = ctypes.POINTER(XWMHints)
        xlib.XGetWMHints.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        xlib.XGetImage.restype = ctypes.c_void_p
        xlib.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                   ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        xlib.XGetPixel.restype = ctypes.c_ulong
        xlib.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        xlib.XDestroyImage.argtypes = [ctypes.c_void_p]
        hints = xlib.XGetWMHints(dpy, int(window))
        if not hints or not hints.contents.icon_pixmap:
            return None
        pixmap, mask = hints.contents.icon_pixmap, hints.contents.icon_mask
        size = [ctypes.c_uint() for _ in range(4)]
        xlib.XGetGeometry(ctypes.c_void_p(dpy), ctypes.c_ulong(pixmap),
                          ctypes.byref(ctypes.c_ulong()), ctypes.byref(ctypes.c_int()),
                          ctypes.byref(ctypes.c_int()), *map(ctypes.byref, size))
        width, height = size[0].value, size[1].value
        images = [xlib.XGetImage(dpy, p, 0, 0, width, height, 0xFFFFFFFF, 2)  # ZPixmap
                  for p in (pixmap, mask)]
        try:
            return [[xlib.XGetPixel(images[0], x, y) & 0xFFFFFF
                     if xlib.XGetPixel(images[1], x, y) else None for x in range(width)]
                    for y in range(height)]
        finally:
            for image in images:
                xlib.XDestroyImage(image)


# ---------------------------------------------------------------- shared memory

def shared_memory(pid):
    """The ids of the SysV shared memory segments a process has attached."""
    with open("/proc/%d/maps" % pid) as f:
        return {line.split()[4] for line in f if "/SYSV" in line}


def segments():
    """id -> mode of every SysV shared memory segment; the mode has 0o1000
    set once the segment is marked for removal."""
    with open("/proc/sysvipc/shm") as f:
        return {row[1]: int(row[2], 8) for row in map(str.split, list(f)[1:])}


def left_behind(memory, timeout=5):
    """Those of these segments that are still there after a few seconds: the
    X server lets go of a program's segment once it sees it gone."""
    deadline = time.time() + timeout
    while (left := memory & segments().keys()) and time.time() < deadline:
        time.sleep(0.05)
    return left


# ---------------------------------------------------------------- the program

class Run:
    """One run of the program on a display (None: with no display at all),
    with the probe preloaded into Linux builds (where build.probe names
    one), under the build's emulator where it is for another architecture,
    and the library's message window replaced by a recorder, on an
    XDisplay."""

    def __init__(self, build, display, workdir, probe_env=None, wrapper=(), program=None):
        self.display = display
        self.program = program or build.program
        self.dir = tempfile.mkdtemp(prefix="run-", dir=workdir)
        self.log = os.path.join(self.dir, "probe.log")
        # The probe keeps the count of frames copied here as it goes, and
        # the test reads it through a map of its own.
        self.frames = os.path.join(self.dir, "frames")
        with open(self.frames, "w+b") as f:
            f.write(bytes(ctypes.sizeof(ctypes.c_uint64)))
            f.flush()
            self.frame_map = mmap.mmap(f.fileno(), 0)
        self.messages = os.path.join(self.dir, "messages")
        os.mkdir(self.messages)
        fake = os.path.join(self.dir, "xmessage")
        with open(fake, "w") as f:
            # The library shows its messages with xmessage and takes exit
            # status 101 as "OK pressed". Keep each message's text.
            f.write('#!/bin/sh\nfor last; do :; done\n'
                    'printf "%%s" "$last" > "$(mktemp -p %s)"\nexit 101\n' % self.messages)
        os.chmod(fake, 0o755)
        env = display.env() if display else dict(os.environ)
        if not display:
            env.pop("DISPLAY", None)
        env.update(PATH=self.dir + ":" + env["PATH"], PROBE_LOG=self.log, PROBE_FRAMES=self.frames)
        emulator = []
        if build.emulator and not self.program.endswith(".exe"):
            # qemu sets it for the emulated program alone, not for a wrapper
            # of the machine's own architecture, which could not load it.
            emulator = build.emulator + (["-E", "LD_PRELOAD=" + build.probe] if build.probe else [])
        elif build.probe and not self.program.endswith(".exe"):  # the probe is for the Linux build
            env.update(LD_PRELOAD=build.probe)
        env.update(probe_env or {})
        self.stdout = open(os.path.join(self.dir, "stdout"), "w+")
        self.stderr = open(os.path.join(self.dir, "stderr"), "w+")
        # With the signals of this process (default_signals), or those a
        # wrapper sets.
        self.process = subprocess.Popen(
            [*wrapper, *emulator, self.program], env=env, cwd=self.dir,
            stdin=subprocess.DEVNULL, stdout=self.stdout, stderr=self.stderr)
        self.window = None
        self.usage = None

    def wait(self, timeout=10):
        """The exit status; the resources the run used are kept in usage."""
        deadline = time.time() + timeout
        while self.process.returncode is None:
            pid, status, self.usage = os.wait4(self.process.pid, os.WNOHANG)
            if pid:
                self.process.returncode = os.waitstatus_to_exitcode(status)
            elif time.time() > deadline:
                self.kill()
                raise AssertionError("the program did not end within %d s" % timeout)
            else:
                time.sleep(0.02)
        return self.process.returncode

    def output(self):
        self.stdout.seek(0)
        self.stderr.seek(0)
        return self.stdout.read(), self.stderr.read()

    def calls(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def shown_messages(self):
        texts = []
        for name in sorted(os.listdir(self.messages)):
            with open(os.path.join(self.messages, name)) as f:
                texts.append(f.read())
        return texts

    def reach_frame_loop(self, timeout=20):
        """Returns once the probe has seen the pointer shown: the frame loop
        comes next."""
        deadline = time.time() + timeout
        while not (os.path.exists(self.log) and "show_mouse screen" in self.calls()):
            assert self.process.poll() is None, \
                "the program ended early with status %s" % self.process.returncode
            assert time.time() < deadline, "the frame loop did not start"
            time.sleep(0.01)

    def copied(self):
        """The frames the program has copied to its window so far, as the
        probe counts them while it runs (read in one load, as it stores it)."""
        with memoryview(self.frame_map) as view, view.cast("Q") as count:
            return count[0]

    def taken(self, line):
        """A test that holds once the probe has recorded line once more than
        now, as it does when the library hands the program a key ("key
        released o") or a close request ("close button")."""
        before = self.calls().count(line)
        return lambda: self.calls().count(line) > before

    def signal_taken(self, number):
        """A test that holds once the signal sent to the process is no longer
        pending: delivered to a thread, or discarded as ignored."""
        def taken():
            with open("/proc/%d/status" % self.process.pid) as f:
                pending = next(int(line.split()[1], 16) for line in f
                               if line.startswith("ShdPnd:"))
            return not pending >> (number - 1) & 1
        return taken

    def settle(self, taken, frames=20, timeout=10):
        """Returns once taken() holds, as it does when an event has reached
        the program, and the program has since copied frames more frames,
        in any of which the frame loop would have acted on it. Fails if the
        program ends first. Each wait has timeout seconds."""
        deadline = time.time() + timeout
        while not taken():
            assert self.process.poll() is None, \
                "the program ended with status %s" % self.process.returncode
            assert time.time() < deadline, "the event did not reach the program"
            time.sleep(0.01)
        self.wait_frames(frames, timeout)

    def wait_frames(self, frames, timeout=10):
        """Returns once the program has copied frames more frames than now."""
        deadline = time.time() + timeout
        target = self.copied() + frames
        while self.copied() < target:
            assert self.process.poll() is None, \
                "the program ended with status %s" % self.process.returncode
            assert time.time() < deadline, "the program did not copy %d more frames" % frames
            time.sleep(0.01)

    def find_window(self, timeout=10, by=None):
        """The program's shown window, found by its name, or by xdotool's
        search options by (as ("--classname", "^sineplot$"))."""
        name = os.path.splitext(os.path.basename(self.program))[0]
        by = by or ("--name", "^%s$" % name)
        deadline = time.time() + timeout
        while time.time() < deadline:
            assert self.process.poll() is None, \
                "the program ended early with status %s" % self.process.returncode
            found = self.display.xdotool("search", "--onlyvisible", *by)
            if found:
                self.window = found[0]
                return self.window
            time.sleep(0.05)
        raise AssertionError("no window appeared")

    def capture(self):
        xwd = subprocess.run(self.display.command("xwd", "-silent", "-id", self.window),
                             env=self.display.env(), capture_output=True, check=True).stdout
        return read_xwd(xwd)

    def pointer_away(self):
        self.display.xdotool("mousemove", 1000, 750)

    def pointer_over(self, x=320, y=300):
        self.display.xdotool("mousemove", "--window", self.window, x, y)

    def frame(self, timeout=10, by=None):
        """The window's picture once a first frame has been copied to it; the
        window found as find_window finds it."""
        self.find_window(timeout, by)
        self.pointer_away()
        deadline = time.time() + timeout
        while time.time() < deadline:
            image = self.capture()
            if len(image.colours()) > 1:
                return image
            time.sleep(0.05)
        raise AssertionError("no frame was drawn")

    def press_escape(self, timeout=5):
        self.pointer_over()  # without a window manager, the keyboard follows the pointer
        return self.hold_escape(timeout=timeout)

    def hold_escape(self, *target, timeout=5):
        """Escape held down until the program ends, as a person would: it
        looks at the key's state once per frame, and a press and release
        delivered together (or while a slow run is busy) would leave nothing
        to see. target: xdotool's "--window", W to send it to that window
        alone; otherwise it goes where the X server sends keys. The exit
        status."""
        self.display.xdotool("keydown", *target, "Escape")
        try:
            return self.wait(timeout)
        finally:
            # A key sent to a window that has gone with the program cannot
            # be released there, and stays down nowhere else.
            self.display.xdotool("keyup", *target, "Escape", check=not target)

    def resident_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def close(self):
        self.kill()
        self.stdout.close()
        self.stderr.close()
        self.frame_map.close()


# ---------------------------------------------------------------- a screenshot

def failure(error):
    """What went wrong, in one line: a tool that failed (with what it said),
    a tool missing or a file not written, or a failed check."""
    if isinstance(error, subprocess.CalledProcessError):
        return "%s failed with status %d: %s" % (
            error.cmd[0], error.returncode, (error.stderr or b"").decode(errors="replace").strip())
    if isinstance(error, OSError):
        return "%s: %s" % (error.strerror, error.filename)
    return str(error)


def screenshot(program, path):
    """Runs program in an Xvfb of its own, finds its window by class as the
    desktop tests do, saves its first frame to path and ends it with Escape:
    its exit status, as the shell gives it. Where that fails, it ends with
    what the program said and one line saying what went wrong."""
    program, path, name = os.path.abspath(program), os.path.abspath(path), os.path.basename(program)
    with tempfile.TemporaryDirectory() as workdir, contextlib.ExitStack() as cleanup:
        run = None
        try:
            server = XServer(24, workdir)
            cleanup.callback(server.close)
            run = Run(types.SimpleNamespace(program=program, probe=None, emulator=[]), server,
                      workdir)
            cleanup.callback(run.close)
            save_png(run.frame(by=("--classname", "^sineplot$")), path)
            status = run.press_escape()
        except (AssertionError, OSError, subprocess.CalledProcessError) as error:
            said = [text.strip() for text in run.shown_messages() + list(run.output())] if run else []
            sys.exit("\n".join([text for text in said if text]
                               + ["%s, run in a virtual X server, gave no screenshot: %s"
                                  % (name, failure(error))]))
    print("%s ran in a virtual X server and ended on Escape with status %d.\nScreenshot: %s"
          % (name, status, path))
    return status if status >= 0 else 128 - status  # ended by a signal: 128 + its number


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: /usr/bin/python3 tests/xsession.py PROGRAM SCREENSHOT")
    default_signals()
    sys.exit(screenshot(*sys.argv[1:]))
