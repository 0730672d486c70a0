"""The picture, pixel for pixel: at the usual 24-bit depth against the golden
image and what the plot must show, and in other colour depths."""
import subprocess

import pytest

from xsession import HEIGHT, WIDTH, colormap_window, load_png, not_applicable, save_png

BLACK, RED, CURVE, WHITE = (0, 0, 0), (250, 0, 0), (120, 120, 90), (255, 255, 255)

# Height labels over the first period: column -> (row, text). Every later
# label repeats the one 180 columns before it, except that only column 0
# shows negative zero.
FIRST_PERIOD = {
    0: (180, "y:-0.00"), 20: (237, "y:-0.64"), 40: (268, "y:-0.98"),
    60: (257, "y:-0.87"), 80: (210, "y:-0.34"), 100: (150, "y:0.34"),
    120: (103, "y:0.87"), 140: (92, "y:0.98"), 160: (123, "y:0.64"),
}
# Points that the arithmetic is easy to get wrong on: column -> row.
KNOWN_POINTS = {15: 225, 195: 224, 45: 270, 225: 270, 405: 270, 585: 270,
                135: 90, 315: 90, 495: 90, 105: 136, 285: 136}


def labels():
    """column -> (row, text) for all 32 labels."""
    table = {}
    for x in range(0, WIDTH, 20):
        if x % 180 == 0:
            table[x] = (180, "y:-0.00" if x == 0 else "y:0.00")
        else:
            table[x] = FIRST_PERIOD[x % 180]
    return table


def glyph_cells(glyphs, texts):
    """text -> set of (dx, dy) that the library's font sets for it, as the
    command glyphs renders them."""
    out = subprocess.run(glyphs + texts, check=True, capture_output=True,
                         text=True).stdout.split("\n")
    cells = {}
    for i, text in enumerate(texts):
        rows = out[8 * i:8 * i + 8]
        assert all(len(r) == 8 * len(text) for r in rows), "font is not 8 x 8"
        cells[text] = {(dx, dy) for dy, r in enumerate(rows) for dx, c in enumerate(r) if c == "#"}
    return cells


def check_frame(image, glyphs):
    """Checks a 24-bit frame against what the plot must show."""
    assert (image.width, image.height) == (WIDTH, HEIGHT)
    assert image.colours() == {BLACK, RED, CURVE, WHITE}

    table = labels()
    fonts = glyph_cells(glyphs, sorted({t for _, t in table.values()}))
    in_label = set()
    for x, (row, text) in table.items():
        for dy in range(8):
            for dx in range(8 * len(text)):
                px, py = x + dx, row + dy
                if px >= WIDTH:
                    continue
                in_label.add((px, py))
                got = image[px, py]
                if got == CURVE and dx > 0:
                    continue  # a later column's point drawn over the label
                want = WHITE if (dx, dy) in fonts[text] else BLACK
                assert got == want, "label %r at column %d: pixel (%d,%d)" % (text, x, px, py)

    for x in range(WIDTH):
        rows = [y for y in range(HEIGHT) if image[x, y] == CURVE]
        if x % 20 == 0:
            assert not rows, "column %d: its point should lie under its label" % x
            continue
        assert len(rows) == 1, "column %d has %d curve points" % (x, len(rows))
        assert 90 <= rows[0] <= 270, "column %d: point at row %d" % (x, rows[0])
        assert rows[0] == KNOWN_POINTS.get(x, rows[0]), "column %d: point at row %d" % (x, rows[0])
        if (x, 180) not in in_label:
            want = CURVE if rows[0] == 180 else RED
            assert image[x, 180] == want, "axis at column %d" % x
    for x in range(WIDTH):
        if (x, 180) in in_label:
            assert image[x, 180] != RED, "axis shows through the label at column %d" % x

    for y in list(range(0, 90)) + list(range(276, HEIGHT)):
        for x in range(WIDTH):
            assert image[x, y] == BLACK, "pixel (%d,%d) drawn outside rows 90-275" % (x, y)


def same_picture(image, golden):
    """True when image shows golden's picture in another colour depth: the
    same pixels carry the same element, whatever its exact colour value."""
    if (image.width, image.height) != (golden.width, golden.height):
        return False
    mapping = {}
    for i in range(0, len(golden.data), 3):
        g, c = golden.data[i:i + 3], image.data[i:i + 3]
        if mapping.setdefault(g, c) != c:
            return False
    return len(set(mapping.values())) == len(mapping)


def test_frame(build, xserver, start, request):
    run = start(xserver(24))
    image = run.frame()
    check_frame(image, build.emulator + [build.glyphs])
    if request.config.getoption("write_golden"):
        save_png(image, build.golden)
        not_applicable("wrote the golden frame", build.golden)
    assert image == load_png(build.golden), "the frame differs from the golden image"
    run.wait_frames(20)
    assert run.capture() == image, "two captures of the window differ"
    with colormap_window(run.display):
        assert run.capture() == image, "a capture composed by xwd differs"
    assert run.press_escape() == 0
    calls = run.calls()
    assert "set_color_depth 32" in calls, "a 24-bit desktop is asked for at 32 bits"
    assert "set_gfx_mode windowed 640 400 0 0 -> 0" in calls


@pytest.mark.parametrize("depth, probe_env, asked", [
    (16, {}, 16), (15, {}, 15), (24, {"PROBE_DEPTH_ZERO": "1"}, 32)],
    ids=["16", "15", "unknown"])
def test_depth(xserver, start, golden, depth, probe_env, asked):
    """The colour depth follows the desktop's, and 32 where it cannot tell."""
    run = start(xserver(depth), probe_env)
    assert same_picture(run.frame(), golden)
    assert run.press_escape() == 0
    assert "set_color_depth %d" % asked in run.calls()
