#!/usr/bin/env python3
"""Draws sineplot's icon: one period of its curve over its red axis on the
black of its window, rendered anew at each size so that the lines stay
thick enough to be made out at 16 pixels. Writes, beside this script,
icons/sineplot-SIZE.png for SIZE in 16, 32, 48, 256 (the Linux hicolor
icons), sineplot.ico holding all four (the Windows icon) and sineplot.xpm,
the 48-pixel one as the X11 build puts it on its window.

The files it writes are kept in the source tree, so a build needs neither
this script nor any image tool. Uses only Python's standard library; run it
again after changing the drawing:  python3 packaging/make-icons.py
"""

import math
import os
import struct
import zlib

SIZES = (16, 32, 48, 256)
XPM_SIZE = 48  # the window's own icon, which X11 task switchers scale
SAMPLES = 8  # per pixel and axis, for the anti-aliasing

BLACK = (0, 0, 0)
EDGE = (72, 72, 64)        # a rim, so that the black tile shows on dark panels
AXIS = (250, 0, 0)         # the program's axis colour
CURVE = (232, 232, 174)    # the program's curve colour (120, 120, 90), lightened


def shape(size):
    """Geometry in pixels: the tile's corner radius and rim, the axis row and
    thickness, and the curve's ends, amplitude and thickness."""
    rim = max(1.0, size / 40)
    axis = max(1.0, round(size / 28))
    # A line of odd thickness sits on a pixel centre, of even on a boundary.
    axis_y = size // 2 + (0.5 if axis % 2 else 0)
    return dict(radius=size * 0.16, rim=rim, axis=axis, axis_y=axis_y,
                left=size * 0.13, right=size * 0.87, amplitude=size * 0.30,
                curve=max(1.7, size * 0.06))


def segment_distance(x, y, x0, y0, x1, y1):
    dx, dy = x1 - x0, y1 - y0
    t = min(max(((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy), 0.0), 1.0)
    return math.hypot(x - x0 - t * dx, y - y0 - t * dy)


def coverage(size):
    """Per pixel, the fraction covered by the tile, the rim, the axis and
    the curve, each as a list of rows."""
    g = shape(size)
    layers = {name: [[0.0] * size for _ in range(size)] for name in ("tile", "rim", "axis", "curve")}
    step = 1 / SAMPLES
    # The curve as a fine polyline (rows grow downward, so it dips below the
    # axis first, as on screen), and per pixel the segments that may reach it.
    half = g["curve"] / 2
    n = size * 4
    points = [(g["left"] + (g["right"] - g["left"]) * i / n,
               g["axis_y"] + g["amplitude"] * math.sin(2 * math.pi * i / n)) for i in range(n + 1)]
    near = [[[] for _ in range(size)] for _ in range(size)]
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        for py in range(max(0, int(min(y0, y1) - half)), min(size, int(max(y0, y1) + half) + 1)):
            for px in range(max(0, int(min(x0, x1) - half)), min(size, int(max(x0, x1) + half) + 1)):
                near[py][px].append((x0, y0, x1, y1))
    for py in range(size):
        for px in range(size):
            counts = dict(tile=0, rim=0, axis=0, curve=0)
            for sy in range(SAMPLES):
                y = py + (sy + 0.5) * step
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) * step
                    # Distance outside the rounded square (negative inside).
                    r = g["radius"]
                    dx = max(r - x, x - (size - r), 0.0)
                    dy = max(r - y, y - (size - r), 0.0)
                    outside = math.hypot(dx, dy) - r
                    if outside > 0:
                        continue
                    counts["tile"] += 1
                    if outside > -g["rim"]:
                        counts["rim"] += 1
                        continue
                    if abs(y - g["axis_y"]) <= g["axis"] / 2 and g["rim"] < x < size - g["rim"]:
                        counts["axis"] += 1
                    if any(segment_distance(x, y, *seg) <= half for seg in near[py][px]):
                        counts["curve"] += 1
            for name in layers:
                layers[name][py][px] = counts[name] / SAMPLES ** 2
    return layers


def render(size):
    """RGBA rows: the layers painted in the program's order, axis then curve."""
    layers = coverage(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            tile = layers["tile"][py][px]
            colour = BLACK
            for name, paint in (("rim", EDGE), ("axis", AXIS), ("curve", CURVE)):
                a = layers[name][py][px] / tile if tile else 0.0
                colour = tuple(c + (p - c) * a for c, p in zip(colour, paint))
            row.append(tuple(int(round(c)) for c in colour) + (int(round(tile * 255)),))
        rows.append(row)
    return rows


def png(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(rows):
    """An icon image in the classic form: a 32-bit bottom-up bitmap with its
    alpha, followed by the 1-bit AND mask, for the older icon readers."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    stride = (size + 31) // 32 * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def ico(images):
    """images: (size, data) pairs; sizes of 256 are written as 0."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def xpm(rows, name):
    """An XPM image as C source: XPM has no partial transparency, so a pixel
    at least half covered is opaque in its own colour, any other is None."""
    colours = sorted({pixel[:3] for row in rows for pixel in row if pixel[3] >= 128})
    chars = "".join(chr(c) for c in range(35, 127) if chr(c) not in '"\\')
    width = 1 if len(colours) < len(chars) else 2
    codes = [("".join(chars[i // len(chars) ** d % len(chars)] for d in reversed(range(width))))
             for i in range(len(colours) + 1)]
    none, code = codes[0], dict(zip(colours, codes[1:]))
    lines = ["%d %d %d %d" % (len(rows[0]), len(rows), len(colours) + 1, width),
             "%s c None" % none]
    lines += ["%s c #%02X%02X%02X" % ((code[c],) + c) for c in colours]
    lines += ["".join(code[p[:3]] if p[3] >= 128 else none for p in row) for row in rows]
    return ("/* XPM */\nstatic const char *const %s[] = {\n" % name
            + ",\n".join('"%s"' % line for line in lines) + "\n};\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    os.makedirs(os.path.join(here, "icons"), exist_ok=True)
    entries = []
    for size in SIZES:
        rows = render(size)
        data = png(rows)
        with open(os.path.join(here, "icons", "sineplot-%d.png" % size), "wb") as f:
            f.write(data)
        # The large image as PNG, as Windows' own icons do; the small ones as bitmaps.
        entries.append((size, data if size >= 256 else dib(rows)))
        if size == XPM_SIZE:
            with open(os.path.join(here, "sineplot.xpm"), "w") as f:
                f.write(xpm(rows, "sineplot_xpm"))
    with open(os.path.join(here, "sineplot.ico"), "wb") as f:
        f.write(ico(entries))


if __name__ == "__main__":
    main()
