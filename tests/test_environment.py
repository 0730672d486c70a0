"""The program where its users run it: under a locale that writes numbers
with a decimal comma, in a container's IPC namespace of its own, beside
other users of the machine, and among other programs on a desktop; and the
README's command that builds and shows it, on a machine as its user has it."""
import os
import re
import shutil
import socket
import subprocess

import pytest

from xsession import load_png, segments, shared_memory, window_icon


@pytest.fixture(scope="session")
def comma_locale(tmp_path_factory):
    """A folder for LOCPATH holding de_DE.UTF-8, compiled here."""
    folder = tmp_path_factory.mktemp("locales")
    done = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", folder / "de_DE.UTF-8"],
                          capture_output=True, text=True)
    if not (folder / "de_DE.UTF-8").is_dir():
        pytest.skip("localedef cannot make de_DE.UTF-8 (the locales package has its "
                    "sources): " + done.stderr.strip())
    return str(folder)


def xpm_pixels(path):
    """An XPM file's pixels as rows of 0xRRGGBB, None where transparent."""
    with open(path) as f:
        lines = re.findall(r'"(.*)"', f.read())
    width, height, count, chars = map(int, lines[0].split())
    colours = {}
    for line in lines[1:1 + count]:
        value = line[chars:].split()[-1]
        colours[line[:chars]] = None if value == "None" else int(value[1:], 16)
    return [[colours[row[i:i + chars]] for i in range(0, width * chars, chars)]
            for row in lines[1 + count:1 + count + height]]


# Segments that the program is told are not its own (by the probe, when it
# asks), and what the probe is to say of them.
NOT_ITS_OWN = {"segment of another process": "creator", "segment of another size": "size"}


@pytest.mark.parametrize("setting", ["LANG", "LC_NUMERIC", "IPC namespace", *NOT_ITS_OWN])
def test_same_frame(request, xserver, start, golden, unshare, setting):
    """The exact frame, Escape ending it with 0, and not a word said: with
    de_DE.UTF-8, whose numbers have a decimal comma, as the whole locale or
    for numbers alone; in an IPC namespace of its own, where the X server
    cannot attach the program's shared memory; and where the segment the
    library names is not the program's own (made by another process, or not
    of its frames' size), which the program then leaves as it is."""
    env, wrapper = {}, ()
    if setting == "IPC namespace":
        wrapper = unshare("--ipc")
    elif setting in NOT_ITS_OWN:
        env = {"PROBE_FOREIGN_SEGMENT": NOT_ITS_OWN[setting]}
    else:
        env = {"LC_ALL": "", "LC_NUMERIC": "", setting: "de_DE.UTF-8",
               "LOCPATH": request.getfixturevalue("comma_locale")}
    run = start(xserver(24), env, wrapper)
    assert run.frame() == golden
    assert run.press_escape() == 0
    assert (run.output(), run.shown_messages()) == (("", ""), [])
    changes = [call for call in run.calls() if call.startswith("shmctl")]
    assert changes == ([] if setting in NOT_ITS_OWN else ["shmctl IPC_SET", "shmctl IPC_RMID"])


def test_what_others_see(build, xserver, start):
    """Docks tie the window to the desktop entry by its class and show its
    icon, window managers can end it by its process id on its host, and no
    other user can reach the memory its frames go through, which the kernel
    frees however the run ends: the program sees to that as soon as the
    window has opened, before it installs anything else."""
    display = xserver(24)
    run = start(display)
    run.frame()
    shown = subprocess.run(["xprop", "-notype", "-id", run.window, "WM_CLASS", "_NET_WM_PID",
                            "WM_CLIENT_MACHINE"], env=display.env(), capture_output=True,
                           text=True, check=True).stdout
    properties = dict(re.findall(r"^(\w+) = (.*)$", shown, re.M))
    with open(build.desktop_entry) as f:
        wm_class = re.search(r"^StartupWMClass=(.*)$", f.read(), re.M).group(1)
    assert properties == {"WM_CLASS": '"sineplot", "%s"' % wm_class,
                          "_NET_WM_PID": str(run.process.pid),
                          "WM_CLIENT_MACHINE": '"%s"' % socket.gethostname()}
    assert window_icon(display, run.window) == \
        xpm_pixels(os.path.join(build.root, "packaging", "sineplot.xpm")), "not sineplot's icon"

    memory = shared_memory(run.process.pid)
    modes = {shmid: oct(mode) for shmid, mode in segments().items() if shmid in memory}
    assert memory and set(modes.values()) == {"0o1600"}, \
        "segments not the user's alone, or not marked for removal: %s" % modes
    calls = run.calls()
    opened = calls.index("set_gfx_mode windowed 640 400 0 0 -> 0")
    assert calls[opened + 1:calls.index("install_timer")] == \
        ["shmctl IPC_SET", "shmctl IPC_RMID"], calls
    assert run.press_escape() == 0


def test_run_script(build, tmp_path, golden):
    """The README's command, scripts/run.sh, in a fresh copy of the sources
    as a user's machine has it: no display, and a convert and a python3
    first on the PATH that are not the ImageMagick and the Python it needs
    (another package's convert, a Python of the user's own). It builds the
    program and saves its exact first frame."""
    copy = tmp_path / "sineplot"
    shutil.copytree(build.root, copy, ignore=lambda folder, names: [
        name for name in names if folder == build.root
        and (name in (".git", "dist") or name.startswith("build"))])
    others = tmp_path / "bin"
    others.mkdir()
    for tool in ("convert", "python3"):
        (others / tool).write_text("#!/bin/sh\necho 'not the %s wanted' >&2\nexit 1\n" % tool)
        (others / tool).chmod(0o755)
    env = {name: value for name, value in os.environ.items() if name != "DISPLAY"}
    env["PATH"] = "%s:%s" % (others, env["PATH"])
    done = subprocess.run(["bash", "scripts/run.sh"], cwd=copy, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    assert load_png(copy / "build" / "screenshot.png") == golden
