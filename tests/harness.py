#!/usr/bin/env python3
"""End-to-end tests of sineplot: the real program in a real X server (Xvfb),
driven with real key presses and mouse events (xdotool, through XTest) and
captured from its window (xwd). Library failures that a real server does not
produce are injected by the preloaded probe library.

Usage: harness.py --program P --probe SO --glyphs G --golden PNG CASE
       harness.py ... --write-golden   (captures the frame into --golden)
"""
import argparse
import ctypes
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

WIDTH, HEIGHT = 640, 400
BLACK, RED, CURVE, WHITE = (0, 0, 0), (250, 0, 0), (120, 120, 90), (255, 255, 255)

# Height labels over the first period: column -> (row, text). Every later
# label repeats the one 180 columns before it, except that only column 0
# shows negative zero.
FIRST_PERIOD = {
    0: (180, "y:-0.00"), 20: (237, "y:-0.64"), 40: (268, "y:-0.98"),
    60: (257, "y:-0.87"), 80: (210, "y:-0.34"), 100: (150, "y:0.34"),
    120: (103, "y:0.87"), 140: (92, "y:0.98"), 160: (123, "y:0.64"),
}
# Points that the arithmetic is easy to get wrong on: column -> row.
KNOWN_POINTS = {15: 225, 195: 224, 45: 270, 225: 270, 405: 270, 585: 270,
                135: 90, 315: 90, 495: 90, 105: 136, 285: 136}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def labels():
    """column -> (row, text) for all 32 labels."""
    table = {}
    for x in range(0, WIDTH, 20):
        if x % 180 == 0:
            table[x] = (180, "y:-0.00" if x == 0 else "y:0.00")
        else:
            table[x] = FIRST_PERIOD[x % 180]
    return table


# ---------------------------------------------------------------- images

class Image:
    def __init__(self, width, height, data):
        self.width, self.height, self.data = width, height, data

    def __getitem__(self, xy):
        i = 3 * (xy[1] * self.width + xy[0])
        return tuple(self.data[i:i + 3])

    def __eq__(self, other):
        return (self.width, self.height, self.data) == (other.width, other.height, other.data)

    def colours(self):
        return {self[x, y] for y in range(self.height) for x in range(self.width)}


def read_ppm(raw):
    # Binary PPM as ImageMagick writes it: P6, width, height, 255, pixels,
    # with comment lines (the window's name) among the header fields.
    fields, pos = [], 0
    while len(fields) < 4:
        while raw[pos:pos + 1].isspace():
            pos += 1
        if raw[pos:pos + 1] == b"#":
            pos = raw.index(b"\n", pos)
            continue
        end = pos
        while not raw[end:end + 1].isspace():
            end += 1
        fields.append(raw[pos:end])
        pos = end
    check(fields[0] == b"P6" and fields[3] == b"255", "unexpected image format")
    width, height = int(fields[1]), int(fields[2])
    return Image(width, height, raw[pos + 1:pos + 1 + 3 * width * height])


def load_png(path):
    return read_ppm(subprocess.run(["convert", path, "ppm:-"], check=True,
                                   capture_output=True).stdout)


def save_png(image, path):
    header = b"P6\n%d %d\n255\n" % (image.width, image.height)
    subprocess.run(["convert", "ppm:-", path], input=header + image.data, check=True)


# ---------------------------------------------------------------- frame checks

def glyph_cells(glyphs, texts):
    """text -> set of (dx, dy) that the library's font sets for it."""
    out = subprocess.run([glyphs] + texts, check=True, capture_output=True,
                         text=True).stdout.split("\n")
    cells = {}
    for i, text in enumerate(texts):
        rows = out[8 * i:8 * i + 8]
        check(all(len(r) == 8 * len(text) for r in rows), "font is not 8 x 8")
        cells[text] = {(dx, dy) for dy, r in enumerate(rows) for dx, c in enumerate(r) if c == "#"}
    return cells


def check_frame(image, glyphs):
    """Checks a 24-bit frame against what the plot must show."""
    check((image.width, image.height) == (WIDTH, HEIGHT),
          "window is %dx%d, not 640x400" % (image.width, image.height))
    colours = image.colours()
    check(colours == {BLACK, RED, CURVE, WHITE}, "unexpected colours %s" % sorted(colours))

    table = labels()
    fonts = glyph_cells(glyphs, sorted({t for _, t in table.values()}))
    in_label = set()
    for x, (row, text) in table.items():
        for dy in range(8):
            for dx in range(8 * len(text)):
                px, py = x + dx, row + dy
                if px >= WIDTH:
                    continue
                in_label.add((px, py))
                got = image[px, py]
                if got == CURVE and dx > 0:
                    continue  # a later column's point drawn over the label
                want = WHITE if (dx, dy) in fonts[text] else BLACK
                check(got == want, "label %r at column %d: pixel (%d,%d) is %s, not %s"
                      % (text, x, px, py, got, want))

    for x in range(WIDTH):
        rows = [y for y in range(HEIGHT) if image[x, y] == CURVE]
        if x % 20 == 0:
            check(not rows, "column %d: its point should lie under its label" % x)
            continue
        check(len(rows) == 1, "column %d has %d curve points" % (x, len(rows)))
        check(90 <= rows[0] <= 270, "column %d: point at row %d" % (x, rows[0]))
        if x in KNOWN_POINTS:
            check(rows[0] == KNOWN_POINTS[x], "column %d: point at row %d, not %d"
                  % (x, rows[0], KNOWN_POINTS[x]))
        axis = image[x, 180]
        if (x, 180) not in in_label:
            want = CURVE if rows[0] == 180 else RED
            check(axis == want, "axis at column %d is %s" % (x, axis))
    for x in range(WIDTH):
        if (x, 180) in in_label:
            check(image[x, 180] != RED, "axis shows through the label at column %d" % x)

    for y in list(range(0, 90)) + list(range(276, HEIGHT)):
        for x in range(WIDTH):
            check(image[x, y] == BLACK, "pixel (%d,%d) drawn outside rows 90-275" % (x, y))


def same_picture(image, golden):
    """True when image shows golden's picture in another colour depth: the
    same pixels carry the same element, whatever its exact colour value."""
    if (image.width, image.height) != (golden.width, golden.height):
        return False
    mapping = {}
    for i in range(0, len(golden.data), 3):
        g, c = golden.data[i:i + 3], image.data[i:i + 3]
        if mapping.setdefault(g, c) != c:
            return False
    return len(set(mapping.values())) == len(mapping)


# ---------------------------------------------------------------- X server

class Display:
    def __init__(self, depth, workdir):
        self.log = open(os.path.join(workdir, "xvfb-%d.log" % depth), "w")
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x%d" % depth,
             "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=self.log, stderr=self.log)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        check(number, "Xvfb did not start (depth %d)" % depth)
        self.name = ":" + number

    def env(self):
        return dict(os.environ, DISPLAY=self.name)

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(),
                              capture_output=True, text=True).stdout.split()

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


def cursor_pixels(display):
    """The ARGB pixels of the pointer image the X server shows now."""
    xlib = ctypes.CDLL("libX11.so.6")
    xfixes = ctypes.CDLL("libXfixes.so.3")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(XFixesCursorImage)
    xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
    dpy = xlib.XOpenDisplay(display.name.encode())
    check(dpy, "cannot open " + display.name)
    try:
        image = xfixes.XFixesGetCursorImage(dpy).contents
        return [image.pixels[i] for i in range(image.width * image.height)]
    finally:
        xlib.XCloseDisplay(dpy)


# ---------------------------------------------------------------- the program

class Run:
    """One run of the program, with the probe preloaded (into Linux builds)
    and the message window replaced by a recorder."""

    def __init__(self, args, display, probe_env=None, with_display=True, wrapper=(),
                 program=None):
        self.args, self.display = args, display
        self.program = program or args.program
        self.dir = tempfile.mkdtemp(prefix="sineplot-", dir=args.workdir)
        self.log = os.path.join(self.dir, "probe.log")
        self.messages = os.path.join(self.dir, "messages")
        os.mkdir(self.messages)
        fake = os.path.join(self.dir, "xmessage")
        with open(fake, "w") as f:
            # The library shows its messages with xmessage and takes exit
            # status 101 as "OK pressed". Keep each message's text.
            f.write('#!/bin/sh\nfor last; do :; done\n'
                    'printf "%%s" "$last" > "$(mktemp -p %s)"\nexit 101\n' % self.messages)
        os.chmod(fake, 0o755)
        env = display.env() if with_display else dict(os.environ)
        if not with_display:
            env.pop("DISPLAY", None)
        env.update(PATH=self.dir + ":" + env["PATH"], PROBE_LOG=self.log)
        if not self.program.endswith(".exe"):  # the probe is for the Linux build
            env.update(LD_PRELOAD=args.probe)
        env.update(probe_env or {})
        self.stdout = open(os.path.join(self.dir, "stdout"), "w+")
        self.stderr = open(os.path.join(self.dir, "stderr"), "w+")
        self.process = subprocess.Popen(list(wrapper) + [self.program], env=env, cwd=self.dir,
                                        stdin=subprocess.DEVNULL,
                                        stdout=self.stdout, stderr=self.stderr)
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
                raise Failure("the program did not end within %d s" % timeout)
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

    def find_window(self, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            check(self.process.poll() is None,
                  "the program ended early with status %s" % self.process.returncode)
            found = self.display.xdotool("search", "--onlyvisible", "--name",
                                         "^%s$" % os.path.splitext(os.path.basename(self.program))[0])
            if found:
                self.window = found[0]
                return
            time.sleep(0.05)
        raise Failure("no window appeared")

    def capture(self):
        xwd = subprocess.run(["xwd", "-silent", "-id", self.window], env=self.display.env(),
                             capture_output=True, check=True).stdout
        return read_ppm(subprocess.run(["convert", "xwd:-", "ppm:-"], input=xwd,
                                       capture_output=True, check=True).stdout)

    def pointer_away(self):
        self.display.xdotool("mousemove", 1000, 750)

    def pointer_over(self, x=320, y=300):
        self.display.xdotool("mousemove", "--window", self.window, x, y)

    def frame(self, timeout=10):
        """The window's picture once a first frame has been copied to it."""
        self.find_window()
        self.pointer_away()
        deadline = time.time() + timeout
        while time.time() < deadline:
            image = self.capture()
            if len(image.colours()) > 1:
                return image
            time.sleep(0.05)
        raise Failure("no frame was drawn")

    def press_escape(self, timeout=5):
        self.pointer_over()  # without a window manager, the keyboard follows the pointer
        # Held down until the program ends, as a person would: it looks at
        # the key's state once per frame, and a press and release delivered
        # together (or while a slow run is busy) would leave nothing to see.
        self.display.xdotool("keydown", "Escape")
        try:
            return self.wait(timeout)
        finally:
            self.display.xdotool("keyup", "Escape")

    def resident_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


# ---------------------------------------------------------------- cases

def case_frame(args, runs):
    """The picture, pixel for pixel, at the usual 24-bit depth."""
    display = runs.display(24)
    run = runs.start(display)
    image = run.frame()
    check_frame(image, args.glyphs)
    golden = load_png(args.golden)
    check(image == golden, "the frame differs from the golden image")
    time.sleep(0.2)
    check(run.capture() == image, "two captures of the window differ")
    check(run.press_escape() == 0, "Escape did not end the run with status 0")
    calls = run.calls()
    check("set_color_depth 32" in calls, "24-bit desktop: depth asked was not 32: %s" % calls)
    check("set_gfx_mode windowed 640 400 0 0 -> 0" in calls, "mode call: %s" % calls)


def case_depth(args, runs):
    """The colour depth follows the desktop's, and 32 where it cannot tell."""
    golden = load_png(args.golden)
    for depth, probe_env, asked in ((16, {}, 16), (15, {}, 15), (24, {"PROBE_DEPTH_ZERO": "1"}, 32)):
        display = runs.display(depth)
        run = runs.start(display, probe_env)
        image = run.frame()
        check(same_picture(image, golden),
              "depth %d %s: the picture differs from the golden one" % (depth, probe_env))
        check(run.press_escape() == 0, "depth %d: Escape did not end the run with 0" % depth)
        calls = run.calls()
        check("set_color_depth %d" % asked in calls,
              "depth %d %s: expected set_color_depth %d in %s" % (depth, probe_env, asked, calls))


def case_input(args, runs):
    """Keys, pointer moves, clicks and the wheel change nothing; the pointer
    is visible over the window; Escape ends the run with 0 and no output."""
    display = runs.display(24)
    run = runs.start(display)
    before = run.frame()

    run.pointer_over(100, 100)
    pixels = cursor_pixels(display)
    check(any(p >> 24 for p in pixels), "the pointer over the window is invisible")

    for x, y in ((10, 10), (630, 390), (320, 180), (45, 270)):
        run.pointer_over(x, y)
        display.xdotool("click", "1")
        display.xdotool("click", "3")
        display.xdotool("click", "4")
        display.xdotool("click", "5")
    display.xdotool("key", "a", "space", "Return", "F1", "Up", "ctrl+c", "alt+F4",
                    "shift+Tab", "BackSpace", "q")
    display.xdotool("type", "hello")
    check(run.process.poll() is None, "the program ended on a key other than Escape")
    run.pointer_away()
    time.sleep(0.2)
    check(run.capture() == before, "input changed the picture")

    start = time.time()
    check(run.press_escape() == 0, "Escape did not end the run with status 0")
    check(time.time() - start < 2, "Escape took %.1f s to end the run" % (time.time() - start))
    check(run.output() == ("", ""), "the program printed %r" % (run.output(),))
    check(run.shown_messages() == [], "a message was shown: %s" % run.shown_messages())


def case_escape_at_start(args, runs):
    """Escape already down when the loop is reached: nothing drawn, status 0."""
    display = runs.display(24)
    run = runs.start(display, {"PROBE_ESCAPE_DOWN": "1"})
    check(run.wait(10) == 0, "status %s, not 0" % run.process.returncode)
    calls = run.calls()
    check("show_mouse screen" in calls, "the pointer was not shown: %s" % calls)
    check("frames cleared 0 copied 0" in calls, "a frame was drawn: %s" % calls)


def case_mode_refused(args, runs):
    """The library's error text, verbatim and alone, then status -1, with
    nothing drawn or installed after it."""
    refusal = "Unable to find a mode: 640x400 at 100% of nothing %s"
    display = runs.display(24)
    run = runs.start(display, {"PROBE_REFUSE_MODE": refusal})
    check(run.wait(10) == 255, "status %s, not 255" % run.process.returncode)
    check(run.shown_messages() == [refusal + "\n"],
          "messages shown: %r" % run.shown_messages())
    check(run.output() == ("", ""), "the program printed %r" % (run.output(),))
    calls = run.calls()
    check(calls[-2].startswith("set_gfx_mode windowed 640 400 0 0"), "calls: %s" % calls)
    check(calls[-1] == "frames cleared 0 copied 0", "calls after the refusal: %s" % calls)


def case_startup_failures(args, runs):
    """Failures that would otherwise crash or trap the user end with a clear
    message and status -1."""
    run = runs.start(None)  # no display at all
    check(run.wait(10) == 255, "no display: status %s, not 255" % run.process.returncode)
    out, err = run.output()
    check(out == "Cannot start the graphics library: no usable display was found.\n",
          "no display: printed %r" % out)
    check(run.calls()[-1] == "frames cleared 0 copied 0", "no display: %s" % run.calls())

    display = runs.display(24)
    for probe_env, words, last_call in (
            ({"PROBE_NO_BITMAP": "1"}, "drawing buffer", "create_bitmap 640 400"),
            ({"PROBE_NO_KEYBOARD": "1"}, "keyboard", "install_keyboard")):
        run = runs.start(display, probe_env)
        check(run.wait(10) == 255, "%s: status %s, not 255" % (probe_env, run.process.returncode))
        messages = run.shown_messages()
        check(len(messages) == 1 and words in messages[0], "%s: messages %r" % (probe_env, messages))
        calls = run.calls()
        check(calls[-2:] == [last_call, "frames cleared 0 copied 0"],
              "%s: calls %s" % (probe_env, calls))


def case_memcheck(args, runs):
    """A whole run under valgrind: no invalid access, no leak, status 0."""
    display = runs.display(24)
    run = runs.start(display, wrapper=[
        "valgrind", "--quiet", "--fair-sched=yes", "--error-exitcode=99", "--leak-check=full",
        "--show-leak-kinds=definite,indirect,possible",
        "--errors-for-leak-kinds=definite,indirect,possible"])
    run.frame(timeout=60)
    time.sleep(5)
    status = run.press_escape(timeout=60)
    out, err = run.output()
    check(status == 0, "status %d under valgrind:\n%s" % (status, err))
    check(err == "", "valgrind reported:\n" + err)
    copied = int(run.calls()[-1].split()[-1])
    check(copied >= 100, "only %d frames in the run" % copied)


def case_soak(args, runs):
    """A long run keeps its memory and its picture; then many short runs in a
    row each end cleanly on Escape."""
    seconds = int(os.environ.get("SOAK_SECONDS", "60"))
    golden = load_png(args.golden)
    display = runs.display(24)
    run = runs.start(display)
    run.frame()
    time.sleep(5)  # warm-up
    samples = [run.resident_kib()]
    deadline = time.time() + seconds
    while time.time() < deadline:
        time.sleep(1)
        samples.append(run.resident_kib())
    growth = max(samples) - samples[0]
    print("resident memory over %d s: %d KiB to %d KiB" % (seconds, samples[0], samples[-1]))
    check(growth <= 64, "resident memory grew by %d KiB: %s" % (growth, samples))
    run.pointer_away()
    check(run.capture() == golden, "after %d s the frame differs from the golden image" % seconds)
    check(run.press_escape() == 0, "the soaked run did not end with status 0")
    runs.runs.remove(run)

    for cycle in range(50):
        run = runs.start(display)
        run.frame()
        status = run.press_escape()
        check(status == 0, "cycle %d ended with status %d" % (cycle, status))
        runs.runs.remove(run)
        shutil.rmtree(run.dir)


def case_storm(args, runs):
    """Hundreds of random keys (all but Escape), pointer moves, clicks and
    wheel turns: the picture stays, and Escape still ends the run with 0."""
    seed = int(os.environ.get("STORM_SEED", "1"))  # the same storm every run unless asked
    print("STORM_SEED=%d" % seed)
    rng = random.Random(seed)
    keys = (list("abcdefghijklmnopqrstuvwxyz0123456789")
            + ["F%d" % n for n in range(1, 13)]
            + "Return Tab space BackSpace Delete Insert Home End Prior Next Up Down Left Right "
              "Print Pause Menu KP_Enter KP_Add KP_5 KP_End minus equal bracketleft slash "
              "Shift_L Control_R Alt_L Super_L Caps_Lock Num_Lock".split())
    golden = load_png(args.golden)
    display = runs.display(24)
    run = runs.start(display)
    run.frame()
    steps = []
    for _ in range(400):
        what = rng.random()
        if what < 0.6:
            # At most one of ctrl and alt: ctrl+alt+End is the library's
            # emergency stop, and the X server has ctrl+alt combinations too.
            mods = rng.choice([[], ["shift"], ["ctrl"], ["alt"], ["super"], ["shift", "ctrl"],
                               ["shift", "alt"]])
            steps += ["key", "+".join(mods + [rng.choice(keys)])]
        elif what < 0.8:
            steps += ["mousemove", rng.randrange(-50, 700), rng.randrange(-50, 450)]
        else:
            steps += ["click", rng.choice([1, 2, 3, 4, 5, 6, 7])]
    run.pointer_over()
    for i in range(0, len(steps), 60):
        display.xdotool(*steps[i:i + 60])
        check(run.process.poll() is None,
              "the program ended with status %s during the storm" % run.process.returncode)
    display.xdotool("keyup", "shift", "ctrl", "alt", "super")
    run.pointer_away()
    time.sleep(0.2)
    check(run.capture() == golden, "the storm changed the picture")
    check(run.press_escape() == 0, "after the storm Escape did not end the run with 0")


def case_lost_display(args, runs):
    """The X server goes away mid-run: the program ends by itself with
    status 1, without a crash. Which thread notices first varies, so this
    is tried several times."""
    for attempt in range(10):
        display = runs.display(24)
        run = runs.start(display)
        run.frame()
        display.server.kill()
        display.server.wait()
        status = run.wait(10)
        check(status == 1, "attempt %d: exit status %d after losing the display" % (attempt, status))
        check(not [f for f in os.listdir(run.dir) if f.startswith("core")], "a core file was left")
        check(run.output()[1] == "sineplot: the connection to the X display was lost.\n",
              "attempt %d: printed %r" % (attempt, run.output()))


class Skip(Exception):
    pass


def case_package(args, runs):
    """The Debian package: computed dependencies, lintian and the desktop
    and man page checkers clean; installed, /usr/bin/sineplot draws the
    golden frame and ends on Escape; removed, the machine's package list is
    as it was."""
    if os.geteuid() != 0:
        raise Skip("installing a package needs root")

    def installed():
        return subprocess.run(["dpkg-query", "-W", "-f", "${db:Status-Abbrev} ${Package} ${Version}\n"],
                              capture_output=True, text=True, check=True).stdout
    before = installed()
    if " sineplot " in before:
        raise Skip("sineplot is installed already; this test will not touch it")

    out = tempfile.mkdtemp(dir=args.workdir)
    subprocess.run(["cpack", "-G", "DEB", "--config", args.cpack_config, "-B", out],
                   capture_output=True, check=True)
    debs = [f for f in os.listdir(out) if f.endswith(".deb")]
    check(len(debs) == 1 and debs[0].startswith("sineplot_"), "packages made: %s" % debs)
    deb = os.path.join(out, debs[0])
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                             text=True, check=True).stdout
    check("liballegro4.4" in depends and "libc6" in depends, "Depends: %s" % depends)
    lintian = subprocess.run(["lintian", "--fail-on", "error,warning,info", "--info", deb],
                             capture_output=True, text=True)
    tags = [line for line in lintian.stdout.splitlines() if not line.startswith("N:")]
    check(lintian.returncode == 0 and not tags, "lintian: %s" % lintian.stdout)

    tree = os.path.join(out, "tree")
    subprocess.run(["dpkg-deb", "-x", deb, tree], check=True)
    validate = subprocess.run(["desktop-file-validate",
                               tree + "/usr/share/applications/sineplot.desktop"],
                              capture_output=True, text=True)
    check(validate.returncode == 0 and not validate.stdout, "desktop entry: " + validate.stdout)
    man = subprocess.run(["man", "--warnings", "-l", tree + "/usr/share/man/man1/sineplot.1.gz"],
                         capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
    check(man.returncode == 0 and not man.stderr and "Escape" in man.stdout,
          "man page: %s" % man.stderr)

    apt = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        subprocess.run(["apt-get", "install", "-y", "-qq", deb], env=apt, check=True,
                       capture_output=True)
        run = runs.start(runs.display(24), program="/usr/bin/sineplot")
        check(run.frame() == load_png(args.golden), "the installed program's frame differs")
        check(run.press_escape() == 0, "the installed program did not end with 0 on Escape")
    finally:
        subprocess.run(["apt-get", "purge", "-y", "-qq", "sineplot"], env=apt,
                       capture_output=True)
    check(installed() == before, "the package list differs after removal")


# What a Windows program may import and still run with nothing beside it.
WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "ole32.dll",
                       "ddraw.dll", "dsound.dll", "dinput.dll", "winmm.dll", "advapi32.dll",
                       "shell32.dll", "oleaut32.dll", "comdlg32.dll"}


def case_windows(args, runs):
    """The Windows build under Wine: a GUI-subsystem executable importing
    only system DLLs, whose window shows the golden frame and which ends
    with status 0 on Escape."""
    wine = shutil.which("wine")
    if not wine:
        raise Skip("Wine is not installed")
    exe = args.windows_exe
    check(os.path.exists(exe), "%s is missing: build it with cmake --preset windows" % exe)
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True,
                             text=True, check=True).stdout
    check("(Windows GUI)" in headers, "not a GUI-subsystem executable")
    imports = {line.split()[-1].lower() for line in headers.splitlines() if "DLL Name:" in line}
    check(imports and imports <= WINDOWS_SYSTEM_DLLS,
          "imports beyond the system's DLLs: %s" % sorted(imports - WINDOWS_SYSTEM_DLLS))

    display = runs.display(24)
    os.environ.update(WINEPREFIX=os.path.join(args.workdir, "wine"), WINEDEBUG="-all",
                      WINEDLLOVERRIDES="mscoree=;mshtml=")  # no Mono or Gecko prompts
    try:
        subprocess.run(["wineboot", "--init"], env=display.env(), check=True, timeout=300,
                       capture_output=True)
        run = runs.start(display, wrapper=[wine], program=exe)
        image = run.frame(timeout=60)
        check((image.width, image.height) == (WIDTH, HEIGHT),
              "the window is %dx%d" % (image.width, image.height))
        check(image == load_png(args.golden), "the frame differs from the golden image")
        check(run.press_escape(timeout=30) == 0,
              "Escape ended the run with status %s" % run.process.returncode)
    finally:
        subprocess.run(["wineserver", "-k"], env=display.env(), capture_output=True)


CASES = {name[5:]: f for name, f in globals().items() if name.startswith("case_")}


class Runs:
    """Displays and runs of one case, all torn down at its end."""

    def __init__(self, args):
        self.args, self.displays, self.runs = args, [], []

    def display(self, depth):
        self.displays.append(Display(depth, self.args.workdir))
        return self.displays[-1]

    def start(self, display, probe_env=None, wrapper=(), program=None):
        run = Run(self.args, display, probe_env, display is not None, wrapper, program)
        self.runs.append(run)
        return run

    def close(self):
        for run in self.runs:
            run.kill()
        for display in self.displays:
            display.close()


def main():
    parser = argparse.ArgumentParser()
    for option in ("--program", "--probe", "--glyphs", "--golden"):
        parser.add_argument(option, required=True)
    parser.add_argument("--cpack-config", help="the build's CPackConfig.cmake, for the package case")
    parser.add_argument("--windows-exe", help="the Windows build, for the windows case")
    parser.add_argument("--write-golden", action="store_true")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    args = parser.parse_args()
    for name in ("program", "probe", "glyphs", "golden"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    args.workdir = tempfile.mkdtemp(prefix="sineplot-test-")
    runs = Runs(args)
    try:
        if args.write_golden:
            image = runs.start(runs.display(24)).frame()
            check_frame(image, args.glyphs)
            save_png(image, args.golden)
            print("wrote", args.golden)
        else:
            CASES[args.case](args, runs)
            print("ok:", args.case)
    except Failure as failure:
        print("FAILED:", failure)
        print("logs and output kept in", args.workdir)
        return 1
    except Skip as reason:
        print("skipped:", reason)
        shutil.rmtree(args.workdir)
        return 77
    finally:
        runs.close()
    shutil.rmtree(args.workdir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
