#!/usr/bin/env python3
"""Writes the program's icon (16x16 and 32x32, 32-bit) to the path given."""
import struct
import sys


def image(size):
    rows = []
    for y in range(size):
        row = b""
        for x in range(size):
            edge = x in (0, size - 1) or y in (0, size - 1)
            inner = size // 4 <= x < size - size // 4 and size // 4 <= y < size - size // 4
            b, g, r = (40, 40, 40) if edge else ((30, 160, 230) if inner else (220, 220, 220))
            row += bytes((b, g, r, 255))
        rows.append(row)
    xor = b"".join(reversed(rows))
    and_mask = b"\x00" * (((size + 31) // 32) * 4 * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    return header + xor + and_mask


images = [image(16), image(32)]
out = struct.pack("<HHH", 0, 1, len(images))
offset = 6 + 16 * len(images)
for size, data in zip((16, 32), images):
    out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
out += b"".join(images)
with open(sys.argv[1], "wb") as f:
    f.write(out)
