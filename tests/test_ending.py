"""Ending the program from outside. Ctrl+C, kill, a hangup and the library's
Ctrl+Alt+End close the window properly and end the run by that same signal;
Ctrl+\\ ends it at once, and so does a fault's signal, or, in the sanitizer
build, the sanitizer's report of the fault with its stack. Never by abort(),
never hanging, whenever the signal comes. A window destroyed by another
program ends the run with status 1 and one line saying so."""
import collections
import concurrent.futures
import os
import random
import re
import signal
import time

from xsession import left_behind, shared_memory


def in_frame_loop(run, delay=0):
    """The run, delay seconds after its frame loop began (as the probe saw):
    a moment drawn at random, which no event marks."""
    run.reach_frame_loop()
    time.sleep(delay)
    return run


# The faults that AddressSanitizer reports itself, by default: its report
# names each so, with the stack, and the run ends with status 1.
SANITIZER_REPORTS = {signal.SIGSEGV: "SEGV", signal.SIGBUS: "BUS", signal.SIGFPE: "FPE"}


def test_signals_end_the_run_by_that_signal(build, xserver, start):
    """100 each of SIGINT and SIGTERM at random moments of the frame loop
    (where the library's own handler aborted one run in ten or so), a few
    SIGHUP, SIGQUIT and SIGKILL, and a few of each signal a fault raises
    (which the library's handler reported, often turned into SIGABRT, and
    kept from a sanitizer): each run ends by its signal, silently, or with
    the sanitizer's report where it reports that fault, and none leaves the
    shared memory its frames are copied through. Core dumps are off for
    these runs."""
    reported = SANITIZER_REPORTS if build.sanitized else {}

    def as_it_should(number, status, text):
        if number in reported:
            return status == 1 and re.search(
                r"ERROR: AddressSanitizer: %s .*\n +#0 " % reported[number], text, re.S)
        return status == -number and text == ""

    display = xserver(24)
    rng = random.Random(int(os.environ.get("ENDING_SEED", "1")))
    plan = [(number, rng.uniform(0, 0.2)) for number in
            [signal.SIGINT] * 100 + [signal.SIGTERM] * 100
            + [signal.SIGHUP, signal.SIGQUIT, signal.SIGKILL] * 5
            + [signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL, signal.SIGABRT] * 6]

    def end(job):
        run = in_frame_loop(start(display, wrapper=("prlimit", "--core=0")), job[1])
        memory = shared_memory(run.process.pid)
        run.process.send_signal(job[0])
        try:
            return job[0], run.wait(10), run.output()[1], memory
        except AssertionError:
            return job[0], "hung", "", memory
    with concurrent.futures.ThreadPoolExecutor(4) as pool:  # a few runs at once
        endings = list(pool.map(end, plan))

    left = left_behind(set().union(*[memory for _, _, _, memory in endings]))
    wrong = [(signal.Signals(n).name, status, text) for n, status, text, _ in endings
             if not as_it_should(n, status, text)]
    counts = collections.Counter((signal.Signals(n).name, status) for n, status, _, _ in endings)
    assert not wrong, "(signal, status) -> runs: %s; the first that ended otherwise: %s" % (
        dict(counts), wrong[0])
    kept = collections.Counter(signal.Signals(n).name for n, _, _, memory in endings
                               if left & memory)
    assert not kept, "runs that left their shared memory behind: %s" % dict(kept)


def test_ignored_signal_stays_ignored(xserver, start):
    """Started with SIGINT ignored, as a background job of a script is, a
    Ctrl+C leaves the run going."""
    run = start(xserver(24), wrapper=("sh", "-c", 'trap "" INT; exec "$0"'))
    in_frame_loop(run)
    run.process.send_signal(signal.SIGINT)
    run.settle(run.signal_taken(signal.SIGINT))
    run.find_window()
    assert run.press_escape() == 0


def test_emergency_stop_keys(xserver, start):
    """Ctrl+Alt+End, the library's emergency stop, ends the run by SIGTERM."""
    display = xserver(24)
    rng = random.Random(2)
    for attempt in range(5):
        run = in_frame_loop(start(display), rng.uniform(0, 0.2))
        run.find_window()
        run.pointer_over()  # without a window manager, the keyboard follows the pointer
        display.xdotool("keydown", "ctrl+alt+End")
        try:
            assert (run.wait(10), run.output()[1]) == (-signal.SIGTERM, ""), attempt
        finally:
            display.xdotool("keyup", "ctrl+alt+End")


def test_window_destroyed(xserver, start):
    """Another program destroys the window: status 1 and one line naming the
    X error, with no abort and no core file, and no shared memory left.
    Which thread notices first varies, so this is done 10 times."""
    display = xserver(24)
    rng = random.Random(3)
    for attempt in range(10):
        run = in_frame_loop(start(display), rng.uniform(0, 0.2))
        memory = shared_memory(run.process.pid)
        display.xdotool("windowclose", run.find_window())
        assert run.wait(10) == 1, attempt
        assert not left_behind(memory), attempt
        assert re.fullmatch(r"sineplot: the X server reported an error: Bad\w+ \(.+\)\.\n",
                            run.output()[1]), (attempt, run.output())
        assert not [f for f in os.listdir(run.dir) if f.startswith("core")], "a core file was left"
