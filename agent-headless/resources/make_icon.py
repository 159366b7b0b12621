#!/usr/bin/python3
"""Writes the exe's icon: a white receipt printer on a blue rounded square,
16 and 32 pixels, 32-bit colour with alpha, as an .ico file (the build runs
this; the picture is code, so the icon needs no binary file in the tree).

  make_icon.py OUT.ico"""

import struct
import sys

BLUE = (0x1F, 0x5F, 0xBF, 0xFF)   # red, green, blue, alpha
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
CLEAR = (0, 0, 0, 0)

# The picture on a 32 x 32 grid: rectangles (x0, y0, x1, y1), end exclusive,
# drawn in order. The 16-pixel icon samples every second pixel.
SHAPES = (
    (WHITE, (9, 5, 23, 13)),    # paper going in
    (WHITE, (5, 12, 27, 22)),   # printer body
    (BLUE, (7, 19, 25, 20)),    # paper slot
    (WHITE, (9, 20, 23, 27)),   # ticket coming out
    (BLUE, (11, 22, 21, 23)),   # printed lines
    (BLUE, (11, 24, 18, 25)),
)


def pixel(x, y):
    corner = 5
    cx = min(max(x, corner), 31 - corner)
    cy = min(max(y, corner), 31 - corner)
    if (x - cx) ** 2 + (y - cy) ** 2 > corner ** 2:
        return CLEAR
    colour = BLUE
    for shape_colour, (x0, y0, x1, y1) in SHAPES:
        if x0 <= x < x1 and y0 <= y < y1:
            colour = shape_colour
    return colour


def image(size):
    """One icon image: BITMAPINFOHEADER, BGRA rows bottom-up, empty AND mask."""
    step = 32 // size
    rows = []
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = pixel(x * step, y * step)
            rows.append(bytes((b, g, r, a)))
    mask_row = ((size + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + bytes(mask_row * size)


def icon(sizes=(16, 32)):
    images = [image(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = len(out) + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(icon())
