"""The Windows release under Wine. The executable is for the GUI subsystem,
imports only system DLLs and carries its icon, version information and
application manifest.
cpack makes a 64-bit installer and a zip with the licences. The installer
installs silently with a Start Menu shortcut and an Add/Remove Programs
entry; the installed program, and the test's copy of it whose memory lies
above 4 GiB (tests/high_memory.c), show the golden frame under our icon and
end with status 0 on Escape, without a window manager and, ten runs in a
row, under openbox; the uninstaller leaves no file, shortcut or registry
key of ours; and Wine writes nothing into the home directory."""
import glob
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ElementTree
import zipfile

import pytest

from desktops import Openbox
from xsession import HEIGHT, WIDTH, not_applicable

# What a Windows program may import and still run with nothing beside it.
WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "ole32.dll",
                       "ddraw.dll", "dsound.dll", "dinput.dll", "winmm.dll", "advapi32.dll",
                       "shell32.dll", "oleaut32.dll", "comdlg32.dll"}
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\sineplot"
# Windows 7, 8, 8.1, and 10 and 11, in an application manifest's supportedOS.
WINDOWS_7_TO_11 = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                   "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                   "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                   "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
MANIFEST = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
            "compatibility": "urn:schemas-microsoft-com:compatibility.v1",
            "ws2005": "http://schemas.microsoft.com/SMI/2005/WindowsSettings",
            "ws2016": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
# Where Wine, left to itself, writes into a home directory: menu entries, file
# associations and icons (winemenubuilder), its default prefix, Mesa's cache.
HOME_SPOTS = (".wine", ".local/share/applications", ".local/share/mime",
              ".local/share/desktop-directories", ".local/share/icons", ".config/menus",
              ".cache/wine", ".cache/mesa_shader_cache")


def icon_argb(path, sizes=(32, 16)):
    """_NET_WM_ICON's values for the given sizes of an .ico of 32-bit bitmaps."""
    with open(path, "rb") as f:
        data = f.read()
    entries = {}
    for i in range(struct.unpack_from("<H", data, 4)[0]):
        width, _, _, _, _, _, _, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        entries[width] = offset
    values = []
    for size in sizes:
        pixels = entries[size] + 40  # past the bitmap header; rows run bottom-up, BGRA
        rows = [struct.unpack_from("<%dI" % size, data, pixels + 4 * size * y)
                for y in reversed(range(size))]
        values += [size, size] + [v for row in rows for v in row]
    return values


def pe_kind(path):
    """(machine, optional header magic, subsystem) from a PE file's headers:
    (0x8664, 0x20B, 2) for a 64-bit x86 program of the GUI subsystem."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe, = struct.unpack_from("<I", data, 0x3C)
    assert data[:2] == b"MZ" and data[pe:pe + 4] == b"PE\0\0", "%s is not a PE file" % path
    machine, = struct.unpack_from("<H", data, pe + 4)
    magic, = struct.unpack_from("<H", data, pe + 24)
    subsystem, = struct.unpack_from("<H", data, pe + 24 + 68)
    return machine, magic, subsystem


def home_state(home):
    state = {}
    for spot in HOME_SPOTS:
        for top, dirs, files in os.walk(os.path.join(home, spot)):
            for name in [""] + files:
                path = os.path.join(top, name)
                state[path] = os.lstat(path).st_mtime_ns
    return state


def test_windows(build, xserver, start, golden, tmp_path, monkeypatch):
    wine = shutil.which("wine")
    if not wine and subprocess.run(["apt-get", "install", "--simulate", "wine"],
                                   capture_output=True).returncode:
        not_applicable("no Wine in this Debian release")
    if not wine:
        pytest.skip("Wine is not installed")
    exe = build.windows_exe
    for path in (exe, build.windows_highmem_exe):
        assert os.path.exists(path), "%s is missing: ctest builds it first (the windows-build test)" % path
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True,
                             text=True, check=True).stdout
    assert pe_kind(exe) == (0x8664, 0x20B, 2), "not a 64-bit GUI-subsystem executable"
    # Address space randomisation, which puts memory above 4 GiB, stays on.
    assert {"DYNAMIC_BASE", "HIGH_ENTROPY_VA"} <= set(headers.split()), "no full ASLR"
    imports = {line.split()[-1].lower() for line in headers.splitlines() if "DLL Name:" in line}
    assert imports and imports <= WINDOWS_SYSTEM_DLLS, sorted(imports - WINDOWS_SYSTEM_DLLS)

    # The icon under the name Allegro's window class loads, and the version
    # that cpack gives the release.
    resources = subprocess.run(["wrestool", "-l", exe], capture_output=True, text=True,
                               check=True).stdout
    assert "--type=14 --name='ALLEGRO_ICON'" in resources, resources
    config = os.path.join(os.path.dirname(exe), "CPackConfig.cmake")
    with open(config) as f:
        version = re.search(r'set\(CPACK_PACKAGE_VERSION "(.*)"\)', f.read()).group(1)
    info = subprocess.run(["wrestool", "-x", "--raw", "--type=16", exe], capture_output=True,
                          check=True).stdout
    fixed = info.find(struct.pack("<I", 0xFEEF04BD))
    assert fixed >= 0, "no version information"
    numbers = struct.unpack_from("<II", info, fixed + 8)
    assert "%d.%d.%d" % (numbers[0] >> 16, numbers[0] & 0xFFFF, numbers[1] >> 16) == version
    assert re.search("ProductVersion\0+%s\0" % re.escape(version), info.decode("utf-16-le", "replace"))

    # The manifest, under the name Windows reads it by: Windows 7 to 11, no
    # elevation, Common Controls 6 for the message boxes, and no DPI
    # awareness, so that Windows scales the fixed-size picture.
    assert "--type=24 --name=1 " in resources, resources
    manifest = ElementTree.fromstring(subprocess.run(
        ["wrestool", "-x", "--raw", "--type=24", exe], capture_output=True, check=True).stdout)
    assert {entry.get("Id") for entry in manifest.iterfind(
        "compatibility:compatibility/compatibility:application/compatibility:supportedOS",
        MANIFEST)} == WINDOWS_7_TO_11
    assert manifest.find("v3:trustInfo/v3:security/v3:requestedPrivileges/"
                         "v3:requestedExecutionLevel", MANIFEST).get("level") == "asInvoker"
    controls = manifest.find("v1:dependency/v1:dependentAssembly/v1:assemblyIdentity", MANIFEST)
    assert (controls.get("name"), controls.get("version")) == \
        ("Microsoft.Windows.Common-Controls", "6.0.0.0")
    settings = manifest.find("v3:application/v3:windowsSettings", MANIFEST)
    assert (settings.findtext("ws2005:dpiAware", namespaces=MANIFEST),
            settings.findtext("ws2016:dpiAwareness", namespaces=MANIFEST)) == ("false", "unaware")

    # The release: a 64-bit installer and a zip of the same files.
    cpack = subprocess.run(["cpack", "--config", config, "-B", tmp_path], capture_output=True,
                           text=True)
    assert cpack.returncode == 0, cpack.stdout + cpack.stderr
    installer = str(tmp_path / ("sineplot-%s-win64.exe" % version))
    assert pe_kind(installer) == (0x8664, 0x20B, 2), "not a 64-bit GUI-subsystem installer"
    with zipfile.ZipFile(str(tmp_path / ("sineplot-%s-win64.zip" % version))) as archive:
        assert sorted(archive.namelist()) == ["sineplot-%s-win64/%s" % (version, name) for name in
                                              ("LICENSE.txt", "allegro-license.txt", "sineplot.exe")]

    # A fresh prefix; Wine's menu and association writer off; the home
    # directory moved into the test's own, where nothing is to appear.
    home = tmp_path / "home"
    home.mkdir()
    real_home = os.path.expanduser("~")
    before = home_state(real_home)
    prefix = tmp_path / "wine"
    monkeypatch.setenv("WINEPREFIX", str(prefix))
    monkeypatch.setenv("WINEDEBUG", "-all")
    # No Mono or Gecko prompts, no menu entries or file associations.
    monkeypatch.setenv("WINEDLLOVERRIDES", "mscoree=;mshtml=;winemenubuilder.exe=d")
    monkeypatch.setenv("MESA_SHADER_CACHE_DISABLE", "true")
    for variable, path in (("HOME", ""), ("XDG_DATA_HOME", ".local/share"),
                           ("XDG_CONFIG_HOME", ".config"), ("XDG_CACHE_HOME", ".cache")):
        monkeypatch.setenv(variable, str(home / path))
    # Wine keeps its server's socket in a folder it makes in the temporary
    # directory, wine-XXXXXX/server-DEV-INODE (those of the prefix), and
    # leaves the folder there. TMPDIR cannot move it into ours: Debian 13's
    # Wine 10 aborts when TMPDIR is set. So the ones this run makes are removed.
    wine_folders = os.path.join(tempfile.gettempdir(), "wine-*")
    others = set(glob.glob(wine_folders))
    display = xserver(24)
    env = display.env()
    folder = prefix / "drive_c" / "Program Files" / "sineplot"
    shortcuts = prefix / "drive_c" / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" \
        / "Programs" / "sineplot"

    def registry(key):
        return subprocess.run([wine, "reg", "query", key], env=env, capture_output=True,
                              text=True).stdout
    try:
        subprocess.run(["wineboot", "--init"], env=env, check=True, timeout=300,
                       capture_output=True)
        subprocess.run([wine, installer, "/S"], env=env, check=True, timeout=120,
                       capture_output=True)
        assert sorted(os.listdir(folder)) == ["LICENSE.txt", "Uninstall.exe",
                                              "allegro-license.txt", "sineplot.exe"]
        assert sorted(os.listdir(shortcuts)) == ["Uninstall.lnk", "sineplot.lnk"]
        entry = registry(UNINSTALL_KEY)
        assert re.search(r"DisplayVersion\s+REG_SZ\s+%s\n" % re.escape(version), entry), entry
        assert re.search(r"DisplayIcon\s+REG_SZ\s+C:\\Program Files\\sineplot\\sineplot.exe\n",
                         entry), entry

        for program in (str(folder / "sineplot.exe"), build.windows_highmem_exe):
            run = start(display, wrapper=[wine], program=program)
            try:
                image = run.frame(timeout=60)
                assert (image.width, image.height) == (WIDTH, HEIGHT)
                assert image == golden, "the frame differs from the golden image"
            except AssertionError as error:  # with what Wine said, as on a crash
                raise AssertionError("%s: %s\n%s" % (program, error, run.output()[1])) from None
            icon = subprocess.run(["xprop", "-id", run.window, "-notype", "-f", "_NET_WM_ICON",
                                   "32c", "=$0+", "_NET_WM_ICON"], env=env, capture_output=True,
                                  text=True, check=True).stdout
            assert [int(v) for v in icon.split("=", 1)[1].split(",")] == \
                icon_argb(os.path.join(build.root, "packaging", "sineplot.ico")), \
                "the window's icon is not sineplot's"
            assert run.press_escape(timeout=30) == 0

        # Under a window manager, which moves the focus away as the window
        # goes at exit, while the library waits for the window's thread:
        # Escape, sent to the focused window, ends every run, with 0.
        manager = Openbox(tmp_path, lambda depth: display)
        try:
            for attempt in range(10):
                run = start(manager, wrapper=[wine], program=str(folder / "sineplot.exe"))
                assert run.frame(timeout=60) == golden, "run %d under openbox" % attempt
                manager.wait_for(
                    lambda: manager.xdotool("getwindowfocus", check=False) == [run.window],
                    "run %d under openbox: no focus on the window" % attempt, timeout=10)
                assert run.hold_escape(timeout=10) == 0, "run %d under openbox" % attempt
        finally:
            manager.close()

        # The uninstaller copies itself away and returns at once: wait for
        # the files to go, then for Wine to save its registry.
        subprocess.run([wine, str(folder / "Uninstall.exe"), "/S"], env=env, check=True,
                       timeout=120, capture_output=True)
        deadline = time.time() + 60
        while folder.exists() and time.time() < deadline:
            time.sleep(0.2)
        assert not folder.exists(), os.listdir(folder)
        assert not shortcuts.exists(), os.listdir(shortcuts)
        subprocess.run(["wineserver", "-w"], env=env, timeout=60)
        for hive in ("system.reg", "user.reg"):
            with open(prefix / hive, encoding="utf-8", errors="replace") as f:
                left = [line for line in f if "sineplot" in line.lower()]
            assert not left, "%s still names sineplot: %s" % (hive, left)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
        if prefix.exists():
            ours = "server-%x-%x" % (prefix.stat().st_dev, prefix.stat().st_ino)
            for made in set(glob.glob(wine_folders)) - others:
                if set(os.listdir(made)) <= {ours}:
                    shutil.rmtree(made, ignore_errors=True)
    left = [os.path.join(top, name) for top, dirs, files in os.walk(home) for name in dirs + files]
    assert not left, "Wine wrote into the home directory: %s" % left
    assert home_state(real_home) == before, "Wine wrote into %s" % real_home
