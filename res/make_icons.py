#!/usr/bin/env python3
"""Writes the program's icons as 16-colour .ico files (standard VGA palette).

Run it from anywhere; the icons land beside this script:
  port_closed.ico, port_failed.ico, port_open.ico  16x16 lamps: grey, red, green
  app.ico                                          16x16 and 32x32 handheld with cable
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
COLOURS = {"K": 0, "r": 1, "g": 2, "b": 4, "c": 6, "s": 7, "d": 8, "R": 9,
           "G": 10, "y": 11, "B": 12, "C": 14, "W": 15}

HANDHELD = [
    "................",
    "..KKKKKKKKK.....",
    "..KsssssssK.....",
    "..KsKKKKKsK.....",
    "..KsKCCCKsK.....",
    "..KsKCWCKsK.....",
    "..KsKCCCKsK.....",
    "..KsKKKKKsK.....",
    "..KsssssssK.....",
    "..KsBsBsBsK.KKK.",
    "..KsssssssK.KyK.",
    "..KKKKKKKKK.KyK.",
    "......K.....KKK.",
    "......K......K..",
    "......KKKKKKKK..",
    "................",
]


def lamp(dark, bright):
    """A round lamp with a black rim, shaded towards the lower right."""
    rows = []
    for y in range(16):
        row = ""
        for x in range(16):
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


def scaled(art, factor):
    return ["".join(ch * factor for ch in row) for row in art for _ in range(factor)]


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
        mask += bits.to_bytes(size // 8, "big").ljust(mask_stride, b"\0")
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
    write_icon(os.path.join(here, "port_closed.ico"), [lamp("d", "s")])
    write_icon(os.path.join(here, "port_failed.ico"), [lamp("r", "R")])
    write_icon(os.path.join(here, "port_open.ico"), [lamp("g", "G")])
    write_icon(os.path.join(here, "app.ico"), [HANDHELD, scaled(HANDHELD, 2)])


if __name__ == "__main__":
    main()
