#!/usr/bin/python3
"""Bitmaps of the list view's rows and header sign for the test program, each a solid colour
with a magenta first column (the transparent colour is the one of pixel (0, 0)), plus the
resource script that names them.
Usage: make_list_bitmaps.py <output folder>"""
import os
import struct
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
# name, size, colour (R, G, B); the test expects the same colours.
BITMAPS = [("VL_DLL", 16, (200, 0, 0)), ("VL_BPL", 16, (0, 160, 0)), ("VL_GKL", 16, (0, 0, 200)),
           ("VL_PAS", 16, (200, 200, 0)), ("VL_PLUS", 13, (0, 128, 128)),
           ("VL_MINUS", 13, (128, 0, 128))]
MAGENTA = (255, 0, 255)


def bmp(size, colour):
    stride = (size * 3 + 3) & ~3
    rows = []
    for _ in range(size):  # bottom-up; column 0 is magenta in every row
        row = b"".join(bytes((b, g, r)) for r, g, b in [MAGENTA] + [colour] * (size - 1))
        rows.append(row + b"\0" * (stride - len(row)))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, size, size, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


lines = []
for name, size, colour in BITMAPS:
    path = os.path.join(out, name.lower() + ".bmp")
    with open(path, "wb") as f:
        f.write(bmp(size, colour))
    lines.append('%s BITMAP "%s"\n' % (name, path))
with open(os.path.join(out, "list_bitmaps.rc"), "w") as f:
    f.writelines(lines)
