#!/usr/bin/python3
"""Draws the library's bitmaps as 24-bit BMP files: the list rows' images (16 x 16), the
header's fold signs (13 x 13), the send dialog's envelope and the error sign (32 x 32).
Pixel (0, 0), the top-left corner, holds the transparent colour (magenta).
Usage: make_bitmaps.py <output folder>"""
import math
import os
import struct
import sys

KEY = (255, 0, 255)


class Image:
    def __init__(self, size):
        self.size = size
        self.px = [[KEY] * size for _ in range(size)]

    def put(self, x, y, c):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):  # inclusive
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1 + 1):
            self.put(x, y0, c)
            self.put(x, y1, c)
        for y in range(y0, y1 + 1):
            self.put(x0, y, c)
            self.put(x1, y, c)

    def bmp(self):
        n = self.size
        stride = (n * 3 + 3) & ~3
        rows = []
        for y in range(n - 1, -1, -1):  # bottom-up
            row = b"".join(bytes((b, g, r)) for r, g, b in self.px[y])
            rows.append(row + b"\0" * (stride - len(row)))
        pixels = b"".join(rows)
        info = struct.pack("<IiiHHIIiiII", 40, n, n, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
        head = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
        return head + info + pixels


def page(fill, lines):
    """A sheet with a folded corner and text lines."""
    im = Image(16)
    im.rect(3, 1, 12, 14, fill)
    im.frame(2, 0, 13, 15, (64, 64, 64))
    for i in range(4):  # the fold
        for j in range(4 - i):
            im.put(10 + i + j, 0 + i, KEY if j else (64, 64, 64))
    im.rect(10, 1, 12, 3, (64, 64, 64))
    im.rect(10, 1, 11, 2, (210, 210, 210))
    for k, y in enumerate(range(5, 14, 2)):
        im.rect(4, y, 11 - (k % 2) * 3, y, lines)
    return im


def library():
    im = page((255, 255, 255), (150, 150, 150))
    # a cog in the lower corner
    for y in range(16):
        for x in range(16):
            d = math.hypot(x - 10.5, y - 10.5)
            a = math.atan2(y - 10.5, x - 10.5)
            r = 4.6 if math.cos(a * 6) > 0 else 3.6
            if d <= r:
                im.put(x, y, (40, 90, 190) if d > 1.4 else (255, 255, 255))
    return im


def package():
    im = Image(16)
    brown, dark, light = (190, 130, 60), (110, 70, 30), (230, 180, 110)
    im.rect(2, 5, 13, 14, brown)
    im.frame(1, 4, 14, 15, dark)
    im.rect(3, 1, 12, 4, light)
    im.frame(2, 1, 13, 4, dark)
    im.rect(7, 1, 8, 15, dark)  # the strap
    return im


def program():
    im = Image(16)
    im.rect(1, 2, 14, 13, (255, 255, 255))
    im.frame(0, 1, 15, 14, (40, 40, 40))
    im.rect(1, 2, 14, 4, (30, 80, 180))
    im.rect(12, 3, 13, 3, (255, 255, 255))
    im.rect(3, 7, 9, 7, (120, 120, 120))
    im.rect(3, 9, 12, 9, (120, 120, 120))
    im.rect(3, 11, 7, 11, (120, 120, 120))
    return im


def unit():
    return page((255, 255, 230), (0, 140, 60))


def sign(minus):
    im = Image(13)
    im.rect(1, 1, 11, 11, (255, 255, 255))
    im.frame(0, 0, 12, 12, (120, 120, 120))
    im.rect(3, 6, 9, 6, (0, 0, 0))
    if not minus:
        im.rect(6, 3, 6, 9, (0, 0, 0))
    im.put(0, 0, KEY)
    return im


def envelope():
    im = Image(32)
    body, edge, flap = (250, 245, 225), (90, 80, 60), (220, 205, 160)
    im.rect(2, 7, 29, 25, body)
    im.frame(1, 6, 30, 26, edge)
    for x in range(2, 30):  # the flap's two edges down to the middle
        y = 7 + int(round(abs(x - 15.5) * -0.65 + 10))
        for yy in range(7, y):
            im.put(x, yy, flap)
        im.put(x, y, edge)
    # an arrow: on its way
    green = (0, 140, 0)
    im.rect(17, 27, 25, 28, green)
    for i in range(5):  # the head
        im.rect(25 + i, 23 + i, 25 + i, 32 - i - 1, green)
    return im


def error_sign():
    im = Image(32)
    for y in range(32):
        for x in range(32):
            d = math.hypot(x - 15.5, y - 15.5)
            if d <= 15.2:
                shade = int(40 * (y / 31.0))
                im.put(x, y, (220 - shade, 30, 30))
            if 14.0 <= d <= 15.2:
                im.put(x, y, (120, 0, 0))
    for i in range(-7, 8):  # the cross, three pixels thick
        for t in (-1, 0, 1):
            im.put(15 + i + t, 15 + i, (255, 255, 255))
            im.put(16 + i + t, 15 + i, (255, 255, 255))
            im.put(15 - i + t, 15 + i, (255, 255, 255))
            im.put(16 - i + t, 15 + i, (255, 255, 255))
    return im


BITMAPS = [("VL_DLL", library), ("VL_BPL", package), ("VL_GKL", program), ("VL_PAS", unit),
           ("VL_PLUS", lambda: sign(False)), ("VL_MINUS", lambda: sign(True)),
           ("VL_SEND", envelope), ("VL_ERROR", error_sign)]

if __name__ == "__main__":
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, draw in BITMAPS:
        im = draw()
        assert im.px[0][0] == KEY, name
        with open(os.path.join(out, name.lower() + ".bmp"), "wb") as f:
            f.write(im.bmp())
