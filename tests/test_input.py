"""Input: keys, pointer moves, clicks and the wheel change nothing, the
pointer is visible over the window, and Escape ends the run with 0."""
from xsession import cursor_pixels


def test_input_changes_nothing_but_escape_ends(xserver, start):
    display = xserver(24)
    run = start(display)
    before = run.frame()

    run.pointer_over(100, 100)
    assert any(p >> 24 for p in cursor_pixels(display)), "the pointer over the window is invisible"

    for x, y in ((10, 10), (630, 390), (320, 180), (45, 270)):
        run.pointer_over(x, y)
        for button in (1, 3, 4, 5):
            display.xdotool("click", button)
    display.xdotool("key", "a", "space", "Return", "F1", "Up", "ctrl+c", "alt+F4",
                    "shift+Tab", "BackSpace", "q")
    # The X server hands a window's events over in order: once the last
    # key has reached the program, all of the input above has.
    last_key = run.taken("key released o")
    display.xdotool("type", "hello")
    run.settle(last_key)
    run.pointer_away()
    assert run.capture() == before, "input changed the picture"

    assert run.press_escape() == 0
    assert run.output() == ("", "")
    assert run.shown_messages() == []


def test_escape_already_down(xserver, start):
    """Escape down when the loop is reached: nothing drawn, status 0."""
    run = start(xserver(24), {"PROBE_ESCAPE_DOWN": "1"})
    assert run.wait(10) == 0
    calls = run.calls()
    assert "show_mouse screen" in calls, "the pointer was not shown"
    assert "frames cleared 0 copied 0" in calls, "a frame was drawn"
