#!/usr/bin/env python3
"""Draws VornService's artwork and writes it beside the resource script.

    scripts/make-art.py

Writes, relative to the repository root:

    src/apps/VornService/win32/res/logo.bmp          312 x 67, 24-bit BI_RGB, for the main window
    src/apps/VornService/win32/res/logo-150.bmp      468 x 101, the same drawn for 150 % (144 dpi)
    src/apps/VornService/win32/res/logo-200.bmp      624 x 134, the same drawn for 200 % (192 dpi)
    src/apps/VornService/win32/res/VornService.ico   16, 32 and 48 px, 32-bit BGRA with alpha

Everything is drawn here from geometry: the mark (a "V" built from level-meter bars on a blue
tile) and the word "VornService" in a small rounded monoline face whose letters are defined
below. Shapes are signed distance functions; a pixel's coverage is the distance from its centre
to the shape's edge, clamped to one pixel, which gives clean anti-aliased edges. The output is
the same byte for byte on every run.
"""

import math
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RES_DIR = os.path.join(ROOT, "src", "apps", "VornService", "win32", "res")

LOGO_WIDTH = 312
LOGO_HEIGHT = 67
ICON_SIZES = (16, 32, 48)

# Palette: plain sRGB values, blended directly.
WHITE = (255, 255, 255)
TILE_LIGHT = (52, 132, 232)   # top-left of the mark's tile
TILE_DARK = (20, 66, 170)     # bottom-right of the mark's tile
INK_DARK = (24, 38, 66)       # "Vorn"
INK_BLUE = (30, 96, 196)      # "Service"


# ---------------------------------------------------------------------------------------------
# Canvas and compositing


def clamp01(value):
    return 0.0 if value < 0.0 else 1.0 if value > 1.0 else value


def coverage(distance):
    """Pixel coverage for a signed distance (negative inside) measured at the pixel centre."""
    return clamp01(0.5 - distance)


class Canvas:
    """Straight-alpha RGBA picture with float channels; y grows downwards."""

    def __init__(self, width, height, background=None):
        self.width = width
        self.height = height
        colour = background if background is not None else (0, 0, 0)
        alpha = 1.0 if background is not None else 0.0
        self.rgb = [[list(map(float, colour)) for _ in range(width)] for _ in range(height)]
        self.alpha = [[alpha] * width for _ in range(height)]

    def paint(self, distance, colour, box=None, clip=None):
        """Composites a shape over the picture.

        distance(x, y) is the shape's signed distance at a point; colour is an (r, g, b) tuple or
        a function of the point. box = (x0, y0, x1, y1) limits the pixels visited; clip, another
        distance function, limits the shape to the inside of a second one.
        """
        x0, y0, x1, y1 = box if box else (0, 0, self.width, self.height)
        x0 = max(0, int(math.floor(x0)))
        y0 = max(0, int(math.floor(y0)))
        x1 = min(self.width, int(math.ceil(x1)))
        y1 = min(self.height, int(math.ceil(y1)))
        for py in range(y0, y1):
            cy = py + 0.5
            row_rgb = self.rgb[py]
            row_alpha = self.alpha[py]
            for px in range(x0, x1):
                cx = px + 0.5
                a = coverage(distance(cx, cy))
                if clip is not None and a > 0.0:
                    a *= coverage(clip(cx, cy))
                if a <= 0.0:
                    continue
                src = colour(cx, cy) if callable(colour) else colour
                dst = row_rgb[px]
                da = row_alpha[px]
                out_a = a + da * (1.0 - a)
                for c in range(3):
                    dst[c] = (src[c] * a + dst[c] * da * (1.0 - a)) / out_a
                row_alpha[px] = out_a

    def pixel(self, px, py):
        """The pixel as 8-bit (r, g, b, a), rounded."""
        r, g, b = self.rgb[py][px]
        a = self.alpha[py][px]
        return (int(round(r)), int(round(g)), int(round(b)), int(round(a * 255.0)))


# ---------------------------------------------------------------------------------------------
# Distance functions


def rounded_box(x0, y0, x1, y1, radius):
    """Rectangle [x0, x1] x [y0, y1] with corners rounded by radius."""
    cx = (x0 + x1) * 0.5
    cy = (y0 + y1) * 0.5
    hx = (x1 - x0) * 0.5 - radius
    hy = (y1 - y0) * 0.5 - radius

    def distance(x, y):
        qx = abs(x - cx) - hx
        qy = abs(y - cy) - hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - radius

    return distance


def segment_distance(px, py, ax, ay, bx, by):
    dx = bx - ax
    dy = by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0.0 else clamp01(((px - ax) * dx + (py - ay) * dy) / length2)
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


class Strokes:
    """A set of round-capped strokes of one width: polylines and dots in canvas coordinates."""

    def __init__(self, width):
        self.radius = width * 0.5
        self.segments = []
        self.dots = []  # (x, y, radius)

    def polyline(self, points):
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            self.segments.append((ax, ay, bx, by))

    def dot(self, x, y, radius):
        self.dots.append((x, y, radius))

    def bounds(self):
        xs, ys = [], []
        for ax, ay, bx, by in self.segments:
            xs += [ax - self.radius, bx - self.radius, ax + self.radius, bx + self.radius]
            ys += [ay - self.radius, by - self.radius, ay + self.radius, by + self.radius]
        for x, y, r in self.dots:
            xs += [x - r, x + r]
            ys += [y - r, y + r]
        return (min(xs) - 1, min(ys) - 1, max(xs) + 1, max(ys) + 1)

    def distance(self, x, y):
        best = float("inf")
        for ax, ay, bx, by in self.segments:
            d = segment_distance(x, y, ax, ay, bx, by)
            if d < best:
                best = d
        result = best - self.radius
        for dx, dy, r in self.dots:
            result = min(result, math.hypot(x - dx, y - dy) - r)
        return result


# ---------------------------------------------------------------------------------------------
# Curves, in a y-up glyph space


def arc(cx, cy, rx, ry, start_deg, end_deg, steps_per_turn=96):
    """Points on an elliptical arc from start_deg to end_deg (counter-clockwise if end > start)."""
    sweep = end_deg - start_deg
    steps = max(2, int(math.ceil(abs(sweep) / 360.0 * steps_per_turn)))
    points = []
    for i in range(steps + 1):
        a = math.radians(start_deg + sweep * i / steps)
        points.append((cx + rx * math.cos(a), cy + ry * math.sin(a)))
    return points


def bezier(p0, p1, p2, p3, steps=24):
    points = []
    for i in range(steps + 1):
        t = i / steps
        u = 1.0 - t
        points.append((
            u * u * u * p0[0] + 3 * u * u * t * p1[0] + 3 * u * t * t * p2[0] + t * t * t * p3[0],
            u * u * u * p0[1] + 3 * u * u * t * p1[1] + 3 * u * t * t * p2[1] + t * t * t * p3[1],
        ))
    return points


def bezier_path(start, *curves):
    """Joins cubic pieces: each curve is (control1, control2, end)."""
    points = [start]
    current = start
    for c1, c2, end in curves:
        points += bezier(current, c1, c2, end)[1:]
        current = end
    return points


# ---------------------------------------------------------------------------------------------
# The wordmark's letters
#
# Each letter is a function of the metrics returning (polylines, dots, width). Coordinates are
# the stroke's centre line in a y-up space with the baseline at 0 and the letter's left outer
# edge at 0; h is half the stroke width, so a stroke running from h to xh - h covers exactly
# 0..xh once its round caps are added.


class Metrics:
    def __init__(self, stroke, x_height, cap_height):
        self.stroke = stroke
        self.h = stroke * 0.5
        self.xh = x_height
        self.ch = cap_height


def glyph_V(m):
    h, ch = m.h, m.ch
    w = 0.84 * ch
    return [[(h, ch - h), (w * 0.5, h), (w - h, ch - h)]], [], w


def glyph_v(m):
    h, xh = m.h, m.xh
    w = 0.92 * xh
    return [[(h, xh - h), (w * 0.5, h), (w - h, xh - h)]], [], w


def glyph_o(m):
    h, xh = m.h, m.xh
    w = 1.04 * xh
    return [arc(w * 0.5, xh * 0.5, w * 0.5 - h, xh * 0.5 - h, 0, 360)], [], w


def glyph_c(m):
    h, xh = m.h, m.xh
    w = 0.94 * xh
    return [arc(w * 0.53, xh * 0.5, w * 0.53 - h, xh * 0.5 - h, 48, 312)], [], w * 0.96


def glyph_e(m):
    h, xh = m.h, m.xh
    w = 1.0 * xh
    cx, cy = w * 0.5, xh * 0.5
    rx, ry = w * 0.5 - h, xh * 0.5 - h
    bowl = arc(cx, cy, rx, ry, 0, 318)
    bar = [(h, cy), (w - h, cy)]
    return [bowl, bar], [], w


def glyph_n(m):
    h, xh = m.h, m.xh
    w = 0.86 * xh
    rx = (w - 2 * h) * 0.5
    ry = min(rx, xh * 0.5 - h) * 1.05
    cy = xh - h - ry
    stem = [(h, h), (h, xh - h)]
    shoulder = arc(w * 0.5, cy, rx, ry, 180, 0) + [(w - h, h)]
    return [stem, shoulder], [], w


def glyph_r(m):
    h, xh = m.h, m.xh
    rx = 0.43 * xh - h
    ry = rx * 1.05
    cx = h + rx
    cy = xh - h - ry
    stem = [(h, h), (h, xh - h)]
    shoulder = arc(cx, cy, rx, ry, 180, 62)
    right = max(x for x, _ in shoulder) + h
    return [stem, shoulder], [], right


def glyph_i(m):
    h, xh = m.h, m.xh
    dot_r = h * 1.12
    return [[(h, h), (h, xh - h)]], [(h, xh + m.stroke * 0.85 + dot_r, dot_r)], 2 * h


def glyph_S(m):
    h, ch = m.h, m.ch
    w = 0.66 * ch
    # The centre line in a unit box, then stretched onto the letter's inner box.
    x0, x1, y0, y1 = h, w - h, h, ch - h

    def p(u, v):
        return (x0 + (x1 - x0) * u, y0 + (y1 - y0) * v)

    path = bezier_path(
        p(0.93, 0.83),
        (p(0.85, 0.96), p(0.70, 1.00), p(0.49, 1.00)),
        (p(0.22, 1.00), p(0.03, 0.89), p(0.03, 0.73)),
        (p(0.03, 0.56), p(0.22, 0.52), p(0.50, 0.48)),
        (p(0.80, 0.44), p(0.98, 0.38), p(0.98, 0.24)),
        (p(0.98, 0.08), p(0.78, 0.00), p(0.50, 0.00)),
        (p(0.26, 0.00), p(0.09, 0.06), p(0.02, 0.19)),
    )
    return [path], [], w


GLYPHS = {
    "V": glyph_V, "v": glyph_v, "o": glyph_o, "c": glyph_c, "e": glyph_e,
    "n": glyph_n, "r": glyph_r, "i": glyph_i, "S": glyph_S,
}

# Space between letters, in stroke widths, and per-pair corrections to it (open and round sides
# sit closer, straight sides need more room).
TRACKING = 0.78
PAIR_ADJUST = {
    ("V", "o"): -0.55, ("r", "n"): 0.05, ("n", "S"): 0.25, ("S", "e"): -0.05,
    ("e", "r"): -0.05, ("r", "v"): -0.35, ("v", "i"): -0.05, ("i", "c"): 0.0, ("c", "e"): -0.1,
}


def layout_word(text, metrics, tracking=TRACKING):
    """Places the letters of text; returns [(letter, x offset, polylines, dots)] and the width."""
    placed = []
    x = 0.0
    previous = None
    for letter in text:
        if previous is not None:
            x += metrics.stroke * (tracking + PAIR_ADJUST.get((previous, letter), 0.0))
        polylines, dots, width = GLYPHS[letter](metrics)
        placed.append((letter, x, polylines, dots))
        x += width
        previous = letter
    return placed, x


def draw_word(canvas, placed, metrics, left, baseline, colour, snap=True):
    """Draws placed letters with the given left edge and baseline (canvas pixels, y down)."""
    for letter, offset, polylines, dots in placed:
        ox = left + offset
        if snap:
            # Stems start on a whole pixel so their edges stay sharp.
            ox = math.floor(ox + 0.5)
        strokes = Strokes(metrics.stroke)
        for line in polylines:
            strokes.polyline([(ox + x, baseline - y) for x, y in line])
        for x, y, r in dots:
            strokes.dot(ox + x, baseline - y, r)
        canvas.paint(strokes.distance, colour, strokes.bounds())


# ---------------------------------------------------------------------------------------------
# The mark: a rounded blue tile carrying a "V" drawn with level-meter bars


def bar_spans(count):
    """Vertical extent (top, bottom) of each bar as fractions of the tile's height.

    The tops and the bottoms both fall in a V towards the middle bar; the bars lengthen towards
    the middle, where the V's two arms meet.
    """
    spans = []
    middle = (count - 1) * 0.5
    for i in range(count):
        d = abs(i - middle) / middle  # 1 at the outer bars, 0 at the middle one
        top = 0.47 - 0.29 * d
        bottom = 0.83 - 0.37 * d
        spans.append((top, bottom))
    return spans


def tile_colour(x0, y0, size):
    def colour(x, y):
        t = clamp01(((x - x0) + (y - y0)) / (2.0 * size))
        return tuple(TILE_LIGHT[c] + (TILE_DARK[c] - TILE_LIGHT[c]) * t for c in range(3))

    return colour


def draw_mark(canvas, x0, y0, size, radius, bars, bar_width, pitch, first_bar, bar_round,
              snap_rows=False):
    """Draws the tile at (x0, y0) with the given size and the bars on it.

    first_bar is the left edge of the first bar relative to the tile; bar_round rounds the bars'
    corners (half the bar width gives round ends). With snap_rows the bars' ends fall on whole
    pixels, which keeps the smallest icons crisp.
    """
    tile = rounded_box(x0, y0, x0 + size, y0 + size, radius)
    canvas.paint(tile, tile_colour(x0, y0, size), (x0, y0, x0 + size, y0 + size))
    for i, (top, bottom) in enumerate(bar_spans(bars)):
        bx = x0 + first_bar + i * pitch
        by0 = y0 + top * size
        by1 = y0 + bottom * size
        if snap_rows:
            by0 = math.floor(by0 + 0.5)
            by1 = math.floor(by1 + 0.5)
        bar = rounded_box(bx, by0, bx + bar_width, by1, bar_round)
        canvas.paint(bar, WHITE, (bx - 1, by0 - 1, bx + bar_width + 1, by1 + 1), clip=tile)


# Per icon size: tile inset, corner radius, bar count, bar width, pitch, bar corner rounding.
ICON_LAYOUTS = {
    16: dict(inset=0, radius=3.0, bars=5, bar_width=2, pitch=3, bar_round=0.0, snap_rows=True),
    32: dict(inset=1, radius=6.0, bars=7, bar_width=2, pitch=3, bar_round=0.5, snap_rows=True),
    48: dict(inset=1, radius=9.0, bars=7, bar_width=3, pitch=5, bar_round=1.0, snap_rows=True),
}


def draw_icon(size):
    layout = ICON_LAYOUTS[size]
    canvas = Canvas(size, size)
    inset = layout["inset"]
    tile = size - 2 * inset
    bars = layout["bars"]
    span = (bars - 1) * layout["pitch"] + layout["bar_width"]
    first = (tile - span) // 2
    draw_mark(canvas, inset, inset, tile, layout["radius"], bars, layout["bar_width"],
              layout["pitch"], first, layout["bar_round"], layout["snap_rows"])
    return canvas


def scaled(length, scale):
    """A 100 % length at `scale`, rounded as the program rounds (halves up)."""
    return math.floor(length * scale + 0.5)


def draw_logo(scale=1.0):
    """The logo at `scale` (1.0 = 100 %, 96 dpi), drawn from the geometry at that size so that
    it stays sharp on high-DPI screens instead of being stretched."""
    width, height = scaled(LOGO_WIDTH, scale), scaled(LOGO_HEIGHT, scale)
    canvas = Canvas(width, height, WHITE)

    # The mark, vertically centred, with a quiet margin on the left.
    size = math.floor(57 * scale)
    mx = math.floor(5 * scale)
    my = (height - size) // 2
    bars = 7
    bar_width = math.floor(5 * scale)
    pitch = math.floor(7 * scale)
    span = (bars - 1) * pitch + bar_width
    draw_mark(canvas, mx, my, size, 12.0 * scale, bars, bar_width, pitch, (size - span) // 2,
              bar_width * 0.5)

    # The word: "Vorn" in a heavier dark ink, "Service" lighter in the tile's blue, sharing a
    # baseline placed so the capitals are centred on the mark.
    cap_height = 29.0 * scale
    x_height = 21.0 * scale
    bold = Metrics(4.5 * scale, x_height, cap_height)
    regular = Metrics(3.5 * scale, x_height, cap_height)
    first, first_width = layout_word("Vorn", bold)
    second, second_width = layout_word("Service", regular)
    gap = 0.9 * regular.stroke
    baseline = math.floor(my + size * 0.5 + cap_height * 0.5 + 0.5)
    left = mx + size + math.floor(14 * scale)
    draw_word(canvas, first, bold, left, baseline, INK_DARK)
    draw_word(canvas, second, regular, left + first_width + gap, baseline, INK_BLUE)
    return canvas, left + first_width + gap + second_width


# ---------------------------------------------------------------------------------------------
# File formats


def bmp_bytes(canvas):
    """A 24-bit BI_RGB Windows bitmap, bottom-up, rows padded to four bytes."""
    row_size = (canvas.width * 3 + 3) & ~3
    pixels = bytearray()
    for py in range(canvas.height - 1, -1, -1):
        row = bytearray()
        for px in range(canvas.width):
            r, g, b, _ = canvas.pixel(px, py)
            row += bytes((b, g, r))
        row += b"\0" * (row_size - len(row))
        pixels += row
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0,
                       len(pixels), 2835, 2835, 0, 0)
    offset = 14 + len(info)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + bytes(pixels)


def icon_image_bytes(canvas):
    """One icon entry: BITMAPINFOHEADER (height doubled), BGRA rows bottom-up, AND mask."""
    size = canvas.width
    xor = bytearray()
    for py in range(size - 1, -1, -1):
        for px in range(size):
            r, g, b, a = canvas.pixel(px, py)
            if a == 0:
                r = g = b = 0
            xor += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = bytearray()
    for py in range(size - 1, -1, -1):
        row = bytearray(mask_row)
        for px in range(size):
            if canvas.pixel(px, py)[3] == 0:
                row[px // 8] |= 0x80 >> (px % 8)
        mask += row
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                       len(xor) + len(mask), 0, 0, 0, 0)
    return info + bytes(xor) + bytes(mask)


def ico_bytes(canvases):
    images = [icon_image_bytes(c) for c in canvases]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    directory = b""
    for canvas, image in zip(canvases, images):
        size = canvas.width
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32,
                                 len(image), offset)
        offset += len(image)
    return header + directory + b"".join(images)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    print("wrote %s (%d bytes)" % (os.path.relpath(path, ROOT), len(data)))


LOGO_SCALES = ((1.0, "logo.bmp"), (1.5, "logo-150.bmp"), (2.0, "logo-200.bmp"))


def main():
    for scale, name in LOGO_SCALES:
        logo, text_right = draw_logo(scale)
        if text_right > logo.width - 2:
            raise SystemExit("the wordmark does not fit the logo at %g: it ends at x = %.1f"
                             % (scale, text_right))
        write(os.path.join(RES_DIR, name), bmp_bytes(logo))
    write(os.path.join(RES_DIR, "VornService.ico"), ico_bytes([draw_icon(s) for s in ICON_SIZES]))


if __name__ == "__main__":
    main()
