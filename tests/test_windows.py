"""The Windows build under Wine: a GUI-subsystem executable importing only
system DLLs, whose window shows the golden frame and which ends with status
0 on Escape."""
import os
import shutil
import subprocess

import pytest

from xsession import HEIGHT, WIDTH

# What a Windows program may import and still run with nothing beside it.
WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "ole32.dll",
                       "ddraw.dll", "dsound.dll", "dinput.dll", "winmm.dll", "advapi32.dll",
                       "shell32.dll", "oleaut32.dll", "comdlg32.dll"}


def test_windows(build, xserver, start, golden, tmp_path, monkeypatch):
    wine = shutil.which("wine")
    if not wine:
        pytest.skip("Wine is not installed")
    exe = build.windows_exe
    assert os.path.exists(exe), "%s is missing: build it with cmake --preset windows" % exe
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True,
                             text=True, check=True).stdout
    assert "(Windows GUI)" in headers, "not a GUI-subsystem executable"
    imports = {line.split()[-1].lower() for line in headers.splitlines() if "DLL Name:" in line}
    assert imports and imports <= WINDOWS_SYSTEM_DLLS, sorted(imports - WINDOWS_SYSTEM_DLLS)

    display = xserver(24)
    monkeypatch.setenv("WINEPREFIX", str(tmp_path / "wine"))
    monkeypatch.setenv("WINEDEBUG", "-all")
    monkeypatch.setenv("WINEDLLOVERRIDES", "mscoree=;mshtml=")  # no Mono or Gecko prompts
    try:
        subprocess.run(["wineboot", "--init"], env=display.env(), check=True, timeout=300,
                       capture_output=True)
        run = start(display, wrapper=[wine], program=exe)
        image = run.frame(timeout=60)
        assert (image.width, image.height) == (WIDTH, HEIGHT)
        assert image == golden, "the frame differs from the golden image"
        assert run.press_escape(timeout=30) == 0
    finally:
        subprocess.run(["wineserver", "-k"], env=display.env(), capture_output=True)
