#!/usr/bin/env python3
"""Frame-rate benchmark of sineplot in a 24-bit Xvfb.

Runs the real binary and the floor program (clear and copy only) for the
same number of seconds each, counts frames by the copies to the screen (the
preloaded probe counts calls to blit), and prints frames per second, CPU time
per frame and peak resident memory for both, and for the arm64 build under
qemu where build-arm64/ and qemu-aarch64(-static) are there; then where a
frame's cost goes (callgrind's calls from the program's own code, each with
its inclusive cost, checked to add up) and how many heap allocations a
frame makes (memcheck's count of a run of many frames, less that of a run
of none). Both profiles are read from their files, in the Callgrind format.

Where an IPC namespace can be made (root), it also runs the program in one
of its own, where the X server cannot attach its shared memory and frames
go as plain images, as in a container. With --baseline, another build of
the program runs in the same X server, turn about with this one, and the
ratio of their frame rates is printed.

Usage: bench/bench.py [SECONDS] [--baseline PROGRAM] [--build DIR]
       (after a build into build/, or DIR; default 10 s)
"""
import argparse
import collections
import os
import re
import shutil
import subprocess
import tempfile
import time
from types import ModuleType, SimpleNamespace

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def tests_module(name):
    """A module of tests/ that the benchmark shares with the end-to-end
    tests, loaded from its file, without writing its bytecode there."""
    path = os.path.join(ROOT, "tests", name + ".py")
    module = ModuleType(name)
    module.__file__ = path
    with open(path) as f:
        exec(compile(f.read(), path, "exec"), module.__dict__)
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
        shutil.rmtree(self.workdir, ignore_errors=True)


def read_profile(path):
    """A profile in the Callgrind format, as callgrind and memcheck's
    --xtree-memory write it (the file format that Valgrind's manual
    documents): the totals of its events, by name, and, in the first
    event, each function's own cost and each call's count and inclusive cost,
    functions being (object, name)."""
    names = {}

    def name(space, value):
        # "(id) name" defines a short id for a name, "(id)" refers to it.
        m = re.match(r"\((\d+)\)(?: (.*))?$", value)
        if not m:
            return value
        if m.group(2) is not None:
            names[space, m.group(1)] = m.group(2)
        return names[space, m.group(1)]

    positions, events, totals = 1, [], None
    own, calls = collections.Counter(), {}
    ob = function = cob = cfn = call_count = None
    spaces = dict(ob="ob", cob="ob", fn="fn", cfn="fn",
                  fl="fl", fi="fl", fe="fl", cfi="fl", cfl="fl")
    with open(path) as f:
        for line in f:
            line = line.strip()
            key, _, value = line.partition("=")
            if not line or line.startswith("#"):
                continue
            elif line.startswith("positions:"):
                positions = len(line.split()) - 1
            elif line.startswith("events:"):
                events = line.split()[1:]
            elif line.startswith("totals:"):
                totals = [int(n) for n in line.split()[1:]]
            elif key in spaces:
                value = name(spaces[key], value)
                if key == "ob":
                    ob = value
                elif key == "fn":
                    function = (ob, value)
                elif key == "cob":
                    cob = value
                elif key == "cfn":
                    cfn = value
            elif key == "calls":
                call_count = int(value.split()[0])
            elif key in ("jump", "jcnd"):
                continue
            elif line[0] in "0123456789+-*":
                numbers = line.split()[positions:]
                cost = int(numbers[0]) if numbers else 0
                if call_count is None:
                    own[function] += cost
                else:
                    # The line after calls= gives the call's inclusive cost;
                    # cob= is given for that call alone, where it is not
                    # the caller's object.
                    call = calls.setdefault((function, (cob or ob, cfn)), [0, 0])
                    call[0] += call_count
                    call[1] += cost
                    cob = call_count = None
    if totals is None:
        totals = [sum(own.values())]
    return SimpleNamespace(totals=dict(zip(events, totals + [0] * len(events))),
                           own=own, calls=calls)


# The calls that a frame makes from the program's own code, main.cpp's frame
# loop and draw_frame() and the platform's stop_signal(), to the library and
# libm: (what it is, the name of the function called, as the object called
# into names it). putpixel() and fastline() are inline functions of the
# library's headers that call through the buffer's table of drawing
# functions, so the names are those of a 32-bit buffer's.
FRAME_CALLS = [
    ("labels: textprintf", r"textprintf"),
    ("clear: clear_bitmap", r"clear_bitmap"),
    ("copy: blit", r"blit"),
    ("samples: sin", r"(__)?sin(_\w+)?"),
    ("points: putpixel", r"_linear_putpixel32"),
    ("colours: makecol", r"makecol"),
    ("axis: fastline", r"_fast_line"),
    ("stop check: stop_signal", r"sigaction"),
]


def frame_costs(profile, program, frames):
    """Where the frame loop's instructions go: the inclusive cost of the
    calls that the program's code (the functions of the program's object
    reached from main without leaving it, whatever the compiler inlined
    into what) makes into other objects, by caller, not by function name
    alone. Calls made fewer times than there are frames start and end the
    program; the loop is the rest, with the program's own instructions.
    Returns [(what, calls per frame, instructions)] and the loop's
    instructions."""
    assert frames >= 100, "%d frames are too few to tell the loop's calls from the rest" % frames
    own, calls = profile.own, profile.calls
    program = os.path.realpath(program)
    main = (program, "main")
    assert main in own, "callgrind found no function main in %s" % program
    code, reached = set(), [main]
    while reached:
        function = reached.pop()
        if function not in code:
            code.add(function)
            reached += [callee for caller, callee in calls
                        if caller == function and callee[0] == program]
    out = [(callee, count, cost) for (caller, callee), (count, cost) in calls.items()
           if caller in code and callee[0] != program]
    own_code = sum(own[function] for function in code)

    # What callgrind gives as the cost of the call into main is all of it.
    into_main = sum(cost for (_, callee), (_, cost) in calls.items() if callee == main)
    accounted = own_code + sum(cost for _, _, cost in out)
    assert abs(accounted - into_main) <= 0.001 * into_main, \
        "the program's code and its calls come to %d instructions, main to %d" % (
            accounted, into_main)

    loop_calls = [(callee, count, cost) for callee, count, cost in out if count >= frames]
    loop = own_code + sum(cost for _, _, cost in loop_calls)
    rows = []
    for what, pattern in FRAME_CALLS:
        matched = [(callee, count, cost) for callee, count, cost in loop_calls
                   if re.fullmatch(pattern, re.sub(r"(@.*|'\d+)$", "", callee[1]))]
        count = sum(c for _, c, _ in matched)
        cost = sum(c for _, _, c in matched)
        assert cost > 0 and count % frames == 0, \
            "%s: %d calls in %d frames costing %d instructions" % (what, count, frames, cost)
        for callee, _, _ in matched:
            # Each call's cost is what the function called spends, and no
            # more: its own cost and its calls' come to those of the calls
            # into it (which a tail call or a double count would upset).
            spent = own[callee] + sum(c for (caller, _), (_, c) in calls.items()
                                      if caller == callee)
            into = sum(c for (_, called), (_, c) in calls.items() if called == callee)
            assert abs(spent - into) <= 0.01 * into, \
                "%s: %s spends %d instructions, its callers give %d" % (
                    what, callee[1], spent, into)
        rows.append((what, count // frames, cost))
        loop_calls = [call for call in loop_calls if call not in matched]
    assert not loop_calls, "calls of the frame loop not in the table: %s" % ", ".join(
        "%s (%d)" % (callee[1], count) for callee, count, _ in loop_calls)
    rows.append(("the program's own instructions", 0, own_code))
    return rows, loop


def attribution(runs, display):
    """The frame loop's instructions by the calls a frame makes, and the
    functions where the run's instructions themselves are spent, under
    callgrind."""
    out = os.path.join(tempfile.mkdtemp(dir=runs.workdir), "callgrind.out")
    run = timed_run(runs, display, runs.build.program, 3,
                    ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out])
    profile = read_profile(out)
    calls, loop = frame_costs(profile, runs.build.program, run.frames)
    total = profile.totals["Ir"]
    hottest = sorted(profile.own.items(), key=lambda item: -item[1])[:8]
    return ([(what, per_frame, cost / loop, cost / total) for what, per_frame, cost in calls],
            loop, total, run.frames,
            [(cost / total, name, os.path.basename(obj)) for (obj, name), cost in hottest])


def allocations_per_frame(runs, display):
    """Heap allocations per frame: memcheck's count of a run of many frames
    less that of a run of none (from its --xtree-memory profile)."""
    def memcheck(directory):
        return ["valgrind", "--tool=memcheck", "--xtree-memory=full",
                "--xtree-memory-file=" + os.path.join(directory, "heap.kcg")]

    def heap_allocs(directory):
        return read_profile(os.path.join(directory, "heap.kcg")).totals["totBk"]

    many_dir, none_dir = (tempfile.mkdtemp(dir=runs.workdir) for _ in range(2))
    many = timed_run(runs, display, runs.build.program, 3, memcheck(many_dir))
    none = runs.start(display, {"PROBE_ESCAPE_DOWN": "1"}, memcheck(none_dir))
    assert none.wait(120) == 0, "a run of no frames under memcheck failed"
    return (heap_allocs(many_dir) - heap_allocs(none_dir)) / many.frames, many.frames


def main():
    arguments = argparse.ArgumentParser(description="Frame-rate benchmark of sineplot.")
    arguments.add_argument("seconds", nargs="?", type=float, default=10)
    arguments.add_argument("--baseline", help="another build of sineplot to compare with")
    arguments.add_argument("--build", default=os.path.join(ROOT, "build"),
                           help="the build tree to measure (default: build/)")
    options = arguments.parse_args()
    xsession.default_signals()
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

        calls, loop, total, frames, hottest = attribution(runs, display)
        print("\nWhere the frame loop's instructions go (callgrind: %d frames of %.0f"
              " instructions; the loop is %.1f%% of the run):\nthe calls a frame makes,"
              " inclusive, and the program's own code\n" % (frames, loop / frames,
                                                            100 * loop / total))
        print("| call | per frame | share of the loop | of the run |")
        print("|---|---:|---:|---:|")
        for what, per_frame, share, of_run in calls:
            print("| %s | %s | %.1f%% | %.1f%% |" % (what, per_frame or "", 100 * share,
                                                     100 * of_run))
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
