#!/usr/bin/env python3
"""Frame-rate benchmark of sineplot in a 24-bit Xvfb.

Runs the real binary and the floor program (clear and copy only) for the
same number of seconds each, counts frames by the copies to the screen (the
preloaded probe counts calls to blit), and prints frames per second, CPU time
per frame and peak resident memory for both, and for the arm64 build under
qemu where build-arm64/ and qemu-aarch64(-static) are there; then where a
frame's cost goes (callgrind) and how many heap allocations a frame makes
(memcheck's heap summary of a run of many frames, less that of a run of none).

Where an IPC namespace can be made (root), it also runs the program in one
of its own, where the X server cannot attach its shared memory and frames
go as plain images, as in a container. With --baseline, another build of
the program runs in the same X server, turn about with this one, and the
ratio of their frame rates is printed.

Usage: bench/bench.py [SECONDS] [--baseline PROGRAM] [--build DIR]
       (after a build into build/, or DIR; default 10 s)
"""
import argparse
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from types import SimpleNamespace

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def tests_module(name):
    """A module of tests/ that the benchmark shares with the end-to-end
    tests, loaded from its file, without writing its bytecode there."""
    path = os.path.join(ROOT, "tests", name + ".py")
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.dont_write_bytecode = True
    spec.loader.exec_module(module)
    return module


# The tests' X server and runs of the program (the only module shared).
xsession = tests_module("xsession")

ARM64 = os.path.join(ROOT, "build-arm64")


def build_of(directory, emulator=()):
    return SimpleNamespace(program=os.path.join(directory, "sineplot"), emulator=list(emulator),
                           probe=os.path.join(directory, "tests", "libsineplot_probe.so"))


def arm64_build(qemu):
    """build-arm64/ under qemu, with its sysroot as the root of the
    libraries that the program loads."""
    with open(os.path.join(ARM64, "CMakeCache.txt")) as f:
        sysroot = next(line.split("=", 1)[1].strip() for line in f
                       if line.startswith("SINEPLOT_SYSROOT:"))
    return build_of(ARM64, [qemu, "-L", sysroot])


def timed_run(runs, display, program, seconds, wrapper=(), probe_env=None, build=None):
    """Runs program (of build, by default the one measured) for `seconds`
    of frames, then holds Escape until it ends; returns the frames copied,
    the wall time, the CPU time and the peak resident memory."""
    run = runs.start(display, probe_env, wrapper, program, build)
    run.find_window(timeout=120)
    run.reach_frame_loop(timeout=120)
    start = time.time()
    time.sleep(seconds)
    with open("/proc/%d/status" % run.process.pid) as f:
        peak = int(next(line for line in f if line.startswith("VmHWM:")).split()[1])
    status = run.press_escape(timeout=120)
    assert status == 0, "%s ended with status %d" % (program, status)
    wall = time.time() - start
    usage = run.usage
    frames = int(run.calls()[-1].split()[-1])
    return SimpleNamespace(frames=frames, wall=wall, cpu=usage.ru_utime + usage.ru_stime,
                           rss=peak, dir=run.dir)


class Runs:
    """The benchmark's X server and runs, all ended by close()."""

    def __init__(self, directory):
        self.build = build_of(directory)
        self.floor = os.path.join(directory, "bench", "sineplot_floor")
        self.workdir = tempfile.mkdtemp(prefix="sineplot-bench-")
        self.display = xsession.XServer(24, self.workdir)
        self.runs = []

    def start(self, display, probe_env=None, wrapper=(), program=None, build=None):
        self.runs.append(xsession.Run(build or self.build, display, self.workdir, probe_env,
                                      wrapper, program))
        return self.runs[-1]

    def close(self):
        for run in self.runs:
            run.close()
        self.display.close()


# The library calls a frame makes, as callgrind names the code they run:
# (what it is, function name prefix, object file).
FRAME_CALLS = [
    ("labels: textprintf", "textprintf", "liballeg"),
    ("clear: clear_bitmap", "clear_bitmap", "liballeg"),
    ("copy: blit", "blit", "liballeg"),
    ("samples: sin", "__sin", "libm"),
    ("points: putpixel", "_linear_putpixel", "liballeg"),
    ("colours: makecol", "makecol", "liballeg"),
    ("axis: fastline", "_linear_hline", "liballeg"),
]


def attribution(runs, display):
    """Inclusive instruction counts of the calls a frame makes, as shares
    of the frame loop (main less init), and the functions where the
    instructions themselves are spent, under callgrind."""
    out = os.path.join(tempfile.mkdtemp(dir=runs.workdir), "callgrind.out")
    timed_run(runs, display, runs.build.program, 3,
              ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out])

    def costs(*options):
        report = subprocess.run(["callgrind_annotate", "--threshold=100"] + list(options) + [out],
                                capture_output=True, text=True, check=True).stdout
        rows = []
        for line in report.splitlines():
            m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+[^:]*:(.*) \[(.*)\]$", line)
            if m:
                rows.append((int(m.group(1).replace(",", "")), m.group(2),
                             os.path.basename(m.group(3))))
        return rows

    inclusive = costs("--inclusive=yes")

    def cost(prefix, obj):
        return max([c for c, name, o in inclusive if name.startswith(prefix) and obj in o] or [0])

    loop = cost("main", "sineplot") - cost("init()", "sineplot")
    calls = [(what, cost(prefix, obj) / loop) for what, prefix, obj in FRAME_CALLS]
    exclusive = costs()
    total = sum(c for c, _, _ in exclusive)
    hottest = [(c / total, name, obj) for c, name, obj in exclusive[:8]]
    return calls, hottest


def allocations_per_frame(runs, display):
    def heap_allocs(run_dir):
        with open(os.path.join(run_dir, "stderr")) as f:
            m = re.search(r"total heap usage: ([\d,]+) allocs", f.read())
        return int(m.group(1).replace(",", ""))

    memcheck = ["valgrind", "--tool=memcheck"]
    many = timed_run(runs, display, runs.build.program, 3, memcheck)
    none = runs.start(display, {"PROBE_ESCAPE_DOWN": "1"}, memcheck)
    assert none.wait(120) == 0, "a run of no frames under memcheck failed"
    return (heap_allocs(many.dir) - heap_allocs(none.dir)) / many.frames, many.frames


def main():
    arguments = argparse.ArgumentParser(description="Frame-rate benchmark of sineplot.")
    arguments.add_argument("seconds", nargs="?", type=float, default=10)
    arguments.add_argument("--baseline", help="another build of sineplot to compare with")
    arguments.add_argument("--build", default=os.path.join(ROOT, "build"),
                           help="the build tree to measure (default: build/)")
    options = arguments.parse_args()
    seconds = options.seconds
    runs = Runs(os.path.abspath(options.build))
    program = runs.build.program
    try:
        display = runs.display
        results = {name: timed_run(runs, display, path, seconds)
                   for name, path in (("sineplot", program),
                                      ("floor: clear and copy", runs.floor))}
        if subprocess.run(["unshare", "--ipc", "true"], capture_output=True).returncode == 0:
            results["sineplot, plain images (own IPC namespace)"] = timed_run(
                runs, display, program, seconds, ["unshare", "--ipc"])
        if options.baseline:
            # Turn about, so that a change in the machine's load falls on both.
            pairs = [(timed_run(runs, display, options.baseline, seconds / 2),
                      timed_run(runs, display, program, seconds / 2)) for _ in range(2)]
            baseline, this = ([pair[i] for pair in pairs] for i in (0, 1))
            results["baseline: " + options.baseline] = SimpleNamespace(
                frames=sum(r.frames for r in baseline), wall=sum(r.wall for r in baseline),
                cpu=sum(r.cpu for r in baseline), rss=max(r.rss for r in baseline))
            ratio = (sum(r.frames for r in this) / sum(r.wall for r in this)) / \
                (sum(r.frames for r in baseline) / sum(r.wall for r in baseline))
        qemu = shutil.which("qemu-aarch64-static") or shutil.which("qemu-aarch64")
        if qemu and os.path.exists(build_of(ARM64).program):
            arm64 = arm64_build(qemu)
            results["sineplot, arm64 under qemu"] = timed_run(runs, display, arm64.program,
                                                              seconds, build=arm64)
        print("%d s of frames each, 640 x 400 at 32 bits per pixel in Xvfb\n" % seconds)
        print("| program | frames/s | CPU µs/frame | peak RSS (KiB) |")
        print("|---|---:|---:|---:|")
        for name, r in results.items():
            print("| %s | %.0f | %.1f | %d |" % (name, r.frames / r.wall, 1e6 * r.cpu / r.frames,
                                                r.rss))
        full, floor = results["sineplot"], results["floor: clear and copy"]
        share = 1 - (floor.cpu / floor.frames) / (full.cpu / full.frames)
        print("\nDrawing (axis, curve, labels) takes %.0f%% of a frame's CPU time; "
              "clearing and copying the rest." % (100 * share))
        if options.baseline:
            print("This build's frame rate over the baseline's, turn about in one X server: %.3f"
                  % ratio)

        calls, hottest = attribution(runs, display)
        print("\nWhere a frame's instructions go (callgrind, inclusive, share of the frame loop):\n")
        print("| call | share |")
        print("|---|---:|")
        for what, share in calls:
            print("| %s | %.1f%% |" % (what, 100 * share))
        print("\nThe functions that spend them (exclusive, share of the whole run):\n")
        print("| function | in | share |")
        print("|---|---|---:|")
        for share, name, obj in hottest:
            print("| %s | %s | %.1f%% |" % (name, obj, 100 * share))

        per_frame, frames = allocations_per_frame(runs, display)
        print("\nHeap allocations per frame (memcheck, %d frames less a run of none): %.1f"
              % (frames, per_frame))
    finally:
        runs.close()


if __name__ == "__main__":
    main()
