"""The program on the desktops of Debian: under openbox; in Wayland sessions
through Xwayland (headless weston, mutter and gnome-shell, and kwin); and
under mutter and kwin as the window managers of an Xvfb. The desktop gives
the window focus and sends it its requests; the picture must survive them
exactly, and Escape must still end the run with 0."""
import subprocess

import pytest

from desktops import (gnome_shell, kwin_wayland, kwin_x11, mutter_wayland, mutter_x11, need,
                      openbox, shows, until, weston)


@pytest.fixture(params=[openbox, weston, mutter_wayland, mutter_x11, gnome_shell, kwin_wayland,
                        kwin_x11], ids=lambda start: start.__name__.replace("_", "-"))
def desktop(request, tmp_path, unshare, xserver, build):
    need("wmctrl", "xwd", "xprop")
    session = request.param(tmp_path, unshare, xserver, build)
    yield session
    session.close()


def test_desktop(desktop, start, golden):
    run = start(desktop, wrapper=desktop.command())
    # By its class: mutter (from version 48) draws a window's frame in a
    # window of its own, which bears the window's title too.
    run.find_window(timeout=20, by=("--classname", "^sineplot$"))
    # The first capture can come before the first frame, or before the
    # window can be read (xwd: BadMatch).
    until(lambda: shows(run, golden), "the window does not show the exact frame")
    if desktop.focus:  # which the window manager may give after the first frame, and
        # a loaded machine's only seconds later
        desktop.wait_for(lambda: desktop.xdotool("getwindowfocus", check=False) == [run.window],
                         "no focus on the new window")

    if desktop.closes:
        # The close button is left to the library, which ignores it.
        close = run.taken("close button")
        subprocess.run(desktop.command("wmctrl", "-i", "-c", run.window), env=desktop.env(),
                       check=True)
        run.settle(close)
        assert run.capture() == golden, "the picture changed after the close request"

    # Only openbox takes the picture of a covered or minimised window away:
    # the others composite, keeping every window's picture whole.
    desktop.check(run, golden)
    if desktop.focus:
        # The keyboard goes to the focused window, wherever the pointer is.
        assert desktop.xdotool("getwindowfocus", check=False) == [run.window], \
            "no focus at the end"
        assert run.hold_escape() == 0
    else:
        assert run.hold_escape("--window", run.window) == 0
