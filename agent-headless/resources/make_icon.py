#!/usr/bin/python3
"""Writes the exe's icon: a white receipt printer on a blue rounded square,
16, 24, 32, 48 and 256 pixels, 32-bit colour with alpha (the largest as a
PNG), as an .ico file (the build runs this; the picture is code, so the icon
needs no binary file in the tree).

  make_icon.py OUT.ico"""

import struct
import sys
import zlib

BLUE = (0x1F, 0x5F, 0xBF, 0xFF)   # red, green, blue, alpha
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
CLEAR = (0, 0, 0, 0)

# The picture on a 32-unit square: rectangles (x0, y0, x1, y1), end exclusive,
# drawn in order on a blue square with rounded corners. Each size samples it
# at its pixels' centres.
SHAPES = (
    (WHITE, (9, 5, 23, 13)),    # paper going in
    (WHITE, (5, 12, 27, 22)),   # printer body
    (BLUE, (7, 19, 25, 20)),    # paper slot
    (WHITE, (9, 20, 23, 27)),   # ticket coming out
    (BLUE, (11, 22, 21, 23)),   # printed lines
    (BLUE, (11, 24, 18, 25)),
)


def pixel(u, v):
    """The colour at the point (u, v) of the 32-unit picture, 0 <= u, v < 32."""
    corner = 5.5
    cx = min(max(u, corner), 32 - corner)
    cy = min(max(v, corner), 32 - corner)
    if (u - cx) ** 2 + (v - cy) ** 2 > corner ** 2:
        return CLEAR
    colour = BLUE
    for shape_colour, (x0, y0, x1, y1) in SHAPES:
        if x0 <= u < x1 and y0 <= v < y1:
            colour = shape_colour
    return colour


def rows(size):
    """The picture at `size` pixels: each pixel the colour at its centre,
    rows top-down, each pixel (red, green, blue, alpha)."""
    scale = 32 / size
    return [[pixel((x + 0.5) * scale, (y + 0.5) * scale) for x in range(size)]
            for y in range(size)]


def bitmap(size):
    """One icon image as Windows first knew them: BITMAPINFOHEADER, BGRA rows
    bottom-up, empty AND mask."""
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows(size)) for r, g, b, a in row)
    mask_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + pixels + bytes(mask_row * size)


def png(size):
    """One icon image as a PNG (RGBA), as Windows keeps its 256-pixel icons."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows(size))
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


# The sizes Windows asks for: 16 and 24 (lists, the notification area), 32
# and 48 (icons on the desktop and in Explorer), 256 (Explorer's large views).
SIZES = (16, 24, 32, 48, 256)


def icon(sizes=SIZES):
    images = [png(size) if size >= 256 else bitmap(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = len(out) + 16 * len(images)
    for size, data in zip(sizes, images):
        side = size % 256  # 0 stands for 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(icon())
