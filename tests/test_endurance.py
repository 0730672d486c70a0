"""Endurance: a whole run under valgrind, a long soak followed by many short
runs, and a storm of random input."""
import os
import random
import time

VALGRIND = ["valgrind", "--quiet", "--fair-sched=yes", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite,indirect,possible",
            "--errors-for-leak-kinds=definite,indirect,possible"]


def test_memcheck(xserver, start):
    """No invalid access, no leak, status 0."""
    run = start(xserver(24), wrapper=VALGRIND)
    run.frame(timeout=60)
    run.wait_frames(100, timeout=60)
    status = run.press_escape(timeout=60)
    err = run.output()[1]
    assert status == 0 and err == "", "valgrind reported:\n" + err
    copied = int(run.calls()[-1].split()[-1])
    assert copied >= 100, "only %d frames in the run" % copied


def test_soak(xserver, start, golden):
    """A long run keeps its memory and its picture; then many short runs in
    a row each end cleanly on Escape."""
    seconds = int(os.environ.get("SOAK_SECONDS", "60"))
    display = xserver(24)
    run = start(display)
    run.frame()
    # Memory is measured over time, so these are times, not events: a
    # warm-up, then a sample a second.
    time.sleep(5)
    samples = [run.resident_kib()]
    deadline = time.time() + seconds
    while time.time() < deadline:
        time.sleep(1)
        samples.append(run.resident_kib())
    print("resident memory over %d s: %d KiB to %d KiB" % (seconds, samples[0], samples[-1]))
    assert max(samples) - samples[0] <= 64, "resident memory grew: %s" % samples
    run.pointer_away()
    assert run.capture() == golden, "after %d s the frame differs from the golden image" % seconds
    assert run.press_escape() == 0

    for cycle in range(50):
        run = start(display)
        run.frame()
        assert run.press_escape() == 0, "cycle %d" % cycle
        run.close()


def test_storm(xserver, start, golden):
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
    display = xserver(24)
    run = start(display)
    run.frame()
    steps = []
    for _ in range(400):
        what = rng.random()
        if what < 0.6:
            # At most one of ctrl and alt: ctrl+alt+End is the library's
            # emergency stop, and the X server has ctrl+alt combinations too.
            mods = rng.choice([[], ["shift"], ["ctrl"], ["alt"], ["super"], ["shift", "ctrl"],
                               ["shift", "alt"]])
            steps.append(["key", "+".join(mods + [rng.choice(keys)])])
        elif what < 0.8:
            steps.append(["mousemove", "--", rng.randrange(-50, 700), rng.randrange(-50, 450)])
        else:
            steps.append(["click", rng.choice([1, 2, 3, 4, 5, 6, 7])])
    run.pointer_over()
    for i in range(0, len(steps), 30):  # 30 whole steps to one xdotool
        display.xdotool(*[word for step in steps[i:i + 30] for word in step])
        assert run.process.poll() is None, "the program ended during the storm"
    display.xdotool("keyup", "shift", "ctrl", "alt", "super")
    # A last key, which the X server hands over after all of the storm.
    last_key = run.taken("key released Shift_L")
    display.xdotool("key", "shift")
    run.settle(last_key)
    run.pointer_away()
    assert run.capture() == golden, "the storm changed the picture"
    assert run.press_escape() == 0, "after the storm Escape did not end the run with 0"
