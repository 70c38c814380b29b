#!/usr/bin/env python3
"""Writes the program's icons as 16-colour .ico files (standard VGA palette).

Run it from anywhere; the icons land beside this script:
  port_closed.ico, port_failed.ico, port_open.ico  lamps: grey, red, green
                                                   (16, 20, 24 and 32 pixels)
  app.ico                                          handheld with cable
                                                   (16, 20, 24, 32 and 48 pixels)
"""
import math
import os
import struct

PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# Art characters to palette indexes; '.' is transparent.
# The small icon's sizes at 96, 120, 144 and 192 dpi; the application icon is
# also the dialog's big icon, 32x32 at 96 dpi and 48x48 at 144 dpi.
TRAY_SIZES = [16, 20, 24, 32]
APP_SIZES = TRAY_SIZES + [48]
COLOURS = {"K": 0, "r": 1, "g": 2, "b": 4, "c": 6, "s": 7, "d": 8, "R": 9,
           "G": 10, "y": 11, "B": 12, "C": 14, "W": 15}

# The handheld with its cable and plug, on a 16-unit grid: rectangles given by
# their first and last unit, inclusive, drawn with an outline of one unit.
BODY = (2, 1, 10, 11)
SCREEN = (4, 3, 8, 7)
GLINT = (6, 5)
BUTTONS = [(4, 9), (6, 9), (8, 9)]
PLUG = (12, 9, 14, 12)
CABLE = [(6, 12, 6, 14), (6, 14, 13, 14), (13, 13, 13, 14)]


def handheld(size):
    """The handheld drawn at `size` pixels: edges land on whole pixels and
    every outline is equally thick: one unit, rounded down."""
    scale = size / 16
    thick = max(1, int(scale))
    art = [["."] * size for _ in range(size)]

    def edge(unit):
        return int(unit * scale + 0.5)

    def fill(x0, y0, x1, y1, ch):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                art[y][x] = ch

    def cell(x, y, ch):
        fill(edge(x), edge(y), edge(x + 1) - 1, edge(y + 1) - 1, ch)

    def framed(box, ch):
        x0, y0, x1, y1 = edge(box[0]), edge(box[1]), edge(box[2] + 1) - 1, edge(box[3] + 1) - 1
        fill(x0, y0, x1, y1, "K")
        fill(x0 + thick, y0 + thick, x1 - thick, y1 - thick, ch)

    for x0, y0, x1, y1 in CABLE:
        fill(edge(x0), edge(y0), edge(x1) + thick - 1, edge(y1) + thick - 1, "K")
    framed(BODY, "s")
    framed(SCREEN, "C")
    cell(*GLINT, "W")
    for button in BUTTONS:
        cell(*button, "B")
    framed(PLUG, "y")
    return ["".join(row) for row in art]


def lamp(dark, bright, size):
    """A round lamp with a black rim, shaded towards the lower right; drawn on
    the 16-unit grid, each pixel taking the colour at its centre."""
    scale = size / 16
    rows = []
    for py in range(size):
        row = ""
        for px in range(size):
            x, y = (px + 0.5) / scale - 0.5, (py + 0.5) / scale - 0.5
            dx, dy = x - 7.5, y - 7.5
            distance = math.hypot(dx, dy)
            if distance > 7.3:
                row += "."
            elif distance > 6.2:
                row += "K"
            elif math.hypot(x - 5.5, y - 5.0) < 1.6:
                row += "W"
            elif dx + dy > 4.5:
                row += dark
            else:
                row += bright
        rows.append(row)
    return rows


def image_entry(art):
    """BITMAPINFOHEADER, palette, 4-bit colour rows and the 1-bit mask, bottom up."""
    size = len(art)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in PALETTE)
    colour_stride = (size * 4 + 31) // 32 * 4
    mask_stride = (size + 31) // 32 * 4
    colour, mask = b"", b""
    for row in reversed(art):
        indexes = [COLOURS.get(ch, 0) for ch in row]
        packed = bytes((indexes[i] << 4) | indexes[i + 1] for i in range(0, size, 2))
        colour += packed.ljust(colour_stride, b"\0")
        bits = 0
        for ch in row:
            bits = (bits << 1) | (1 if ch == "." else 0)
        bits <<= -size % 8  # rows fill whole bytes: 20 pixels take 3
        mask += bits.to_bytes((size + 7) // 8, "big").ljust(mask_stride, b"\0")
    return header + palette + colour + mask


def write_icon(path, images):
    data = [image_entry(art) for art in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for art, blob in zip(images, data):
        size = len(art)
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(data))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, dark, bright in [("closed", "d", "s"), ("failed", "r", "R"), ("open", "g", "G")]:
        write_icon(os.path.join(here, "port_%s.ico" % name),
                   [lamp(dark, bright, size) for size in TRAY_SIZES])
    write_icon(os.path.join(here, "app.ico"), [handheld(size) for size in APP_SIZES])


if __name__ == "__main__":
    main()
