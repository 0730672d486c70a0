"""Start-up failures, each injected by the probe or made real, end with one
clear message and status -1; a display lost mid-run ends the run with 1."""
import os

import pytest

from xsession import left_behind, shared_memory


def test_mode_refused(xserver, start):
    """The library's error text, verbatim and alone, then status -1, with
    nothing drawn or installed after it."""
    refusal = "Unable to find a mode: 640x400 at 100% of nothing %s"
    run = start(xserver(24), {"PROBE_REFUSE_MODE": refusal})
    assert run.wait(10) == 255
    assert run.shown_messages() == [refusal + "\n"]
    assert run.output() == ("", "")
    calls = run.calls()
    assert calls[-2].startswith("set_gfx_mode windowed 640 400 0 0")
    assert calls[-1] == "frames cleared 0 copied 0", "calls after the refusal"


def test_no_display(start):
    run = start(None)
    assert run.wait(10) == 255
    assert run.output()[0] == "Cannot start the graphics library: no usable display was found.\n"
    assert run.calls()[-1] == "frames cleared 0 copied 0"


@pytest.mark.parametrize("probe_env, words, last_call", [
    ({"PROBE_NO_BITMAP": "1"}, "drawing buffer", "create_bitmap 640 400"),
    ({"PROBE_NO_KEYBOARD": "1"}, "keyboard", "install_keyboard")], ids=["bitmap", "keyboard"])
def test_failure_is_reported(xserver, start, probe_env, words, last_call):
    run = start(xserver(24), probe_env)
    assert run.wait(10) == 255
    messages = run.shown_messages()
    assert len(messages) == 1 and words in messages[0]
    assert run.calls()[-2:] == [last_call, "frames cleared 0 copied 0"]


def test_lost_display(xserver, start):
    """The X server goes away mid-run: the program ends by itself with
    status 1, without a crash, leaving no shared memory. Which thread
    notices first varies, so this is tried several times."""
    for attempt in range(10):
        display = xserver(24)
        run = start(display)
        run.frame()
        memory = shared_memory(run.process.pid)
        display.server.kill()
        display.server.wait()
        assert run.wait(10) == 1, "attempt %d" % attempt
        assert not left_behind(memory), "attempt %d" % attempt
        assert not [f for f in os.listdir(run.dir) if f.startswith("core")], "a core file was left"
        assert run.output()[1] == "sineplot: the connection to the X display was lost.\n", \
            "attempt %d" % attempt
