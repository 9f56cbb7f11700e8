#!/usr/bin/python3
"""Independent reader of the library's palette PNGs.

  png_peer.py cases <scratch> <writer command...>
      Makes a table of pictures, has the writer (png_writer) turn them into PNGs, and checks
      each file: signature, every chunk's CRC, IHDR (8-bit palette), PLTE (768 bytes), IDAT
      pieces of at most 0x3FFFF bytes, the zlib stream, the filter bytes, and the decoded
      pixels against the source (exact up to 256 colours, a bounded error beyond).
  png_peer.py screenshot <scratch> <child command...>
      Runs the screenshot child (window and desktop captures), then checks each PNG decodes,
      the red frame lies around the focused edit, the cursor is painted and the window face
      keeps its colour."""
import binascii
import os
import random
import shutil
import struct
import subprocess
import sys
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
failures = []


class PngError(Exception):
    pass


def read_png(data):
    """Returns (width, height, palette as (r, g, b) list, rows of indexes, chunk list)."""
    if data[:8] != SIGNATURE:
        raise PngError("bad signature")
    at, chunks = 8, []
    while at < len(data):
        if at + 12 > len(data):
            raise PngError("chunk cut short at %d" % at)
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if len(body) != length or at + 12 + length > len(data):
            raise PngError("chunk %r cut short" % kind)
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if binascii.crc32(kind + body) != crc:
            raise PngError("CRC of %r chunk at %d" % (kind, at))
        chunks.append((kind, body))
        at += 12 + length
    kinds = [k for k, _ in chunks]
    if kinds[0] != b"IHDR" or kinds[1] != b"PLTE" or kinds[-1] != b"IEND":
        raise PngError("chunk order %r" % kinds)
    if any(k != b"IDAT" for k in kinds[2:-1]) or len(kinds) < 4:
        raise PngError("chunk order %r" % kinds)
    if chunks[-1][1]:
        raise PngError("IEND not empty")
    if len(chunks[0][1]) != 13:
        raise PngError("IHDR size")
    width, height, depth, colour, comp, filt, inter = struct.unpack(">IIBBBBB", chunks[0][1])
    if (depth, colour, comp, filt, inter) != (8, 3, 0, 0, 0):
        raise PngError("IHDR fields %r" % ((depth, colour, comp, filt, inter),))
    if width < 1 or height < 1:
        raise PngError("IHDR size %dx%d" % (width, height))
    plte = chunks[1][1]
    if len(plte) % 3 or not 3 <= len(plte) <= 768:
        raise PngError("PLTE of %d bytes" % len(plte))
    palette = [tuple(plte[i:i + 3]) for i in range(0, len(plte), 3)]
    idat = [body for kind, body in chunks if kind == b"IDAT"]
    if any(len(b) > 0x3FFFF for b in idat):
        raise PngError("IDAT piece above 0x3FFFF")
    stream = zlib.decompressobj()
    raw = stream.decompress(b"".join(idat))
    if not stream.eof or stream.unused_data:
        raise PngError("zlib stream not ended cleanly")
    if len(raw) != height * (width + 1):
        raise PngError("image data of %d bytes, want %d" % (len(raw), height * (width + 1)))
    rows = []
    for y in range(height):
        line = raw[y * (width + 1):(y + 1) * (width + 1)]
        if line[0] != 0:
            raise PngError("row %d filter %d" % (y, line[0]))
        if max(line[1:]) >= len(palette):
            raise PngError("row %d index beyond the palette" % y)
        rows.append(line[1:])
    return width, height, palette, rows, chunks


def pixels_of(palette, rows):
    return [[palette[i] for i in row] for row in rows]


def check(what, condition, detail=""):
    if not condition:
        failures.append("%s %s" % (what, detail))


# ---- table of pictures ---------------------------------------------------------------------

def solid(w, h, c):
    return [[c] * w for _ in range(h)]


def from_colours(w, h, colours, pick):
    return [[colours[pick(x, y)] for x in range(w)] for y in range(h)]


def photo(w, h):
    # Smooth gradients with a little noise: far more than 256 colours.
    rnd = random.Random(7)
    return [[(min(255, x * 255 // (w - 1) + rnd.randrange(8)),
              min(255, y * 255 // (h - 1) + rnd.randrange(8)),
              min(255, (x + y) * 255 // (w + h - 2) + rnd.randrange(8))) for x in range(w)]
            for y in range(h)]


def cases():
    rnd = random.Random(1)
    palette256 = set()
    while len(palette256) < 256:
        palette256.add((rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)))
    palette256 = sorted(palette256)
    two = [(0, 0, 0), (255, 255, 255)]
    five = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (1, 2, 3), (254, 253, 252)]
    noise = random.Random(3)
    # name, pixels, bytes per pixel, bottom-up, exact
    yield "one_pixel", solid(1, 1, (12, 34, 56)), 3, 0, True
    yield "one_colour", solid(9, 4, (200, 100, 50)), 4, 1, True
    yield "two_colours", from_colours(8, 8, two, lambda x, y: (x + y) % 2), 3, 1, True
    yield "exactly_256", from_colours(16, 16, palette256, lambda x, y: y * 16 + x), 3, 0, True
    for w in (1, 3, 5, 7):
        yield "width_%d" % w, from_colours(w, 6, five, lambda x, y: (x * 3 + y) % 5), 3, 1, True
        yield "width_%d_32bit" % w, from_colours(w, 5, five, lambda x, y: (x + y) % 5), 4, 0, True
    yield "column_1x50", from_colours(1, 50, five, lambda x, y: y % 5), 3, 1, True
    yield "row_50x1", from_colours(50, 1, five, lambda x, y: x % 5), 3, 0, True
    # Incompressible indexes: the data needs several IDAT pieces.
    yield "noise_600x600", from_colours(600, 600, palette256,
                                        lambda x, y: noise.randrange(256)), 3, 1, True
    yield "photo", photo(160, 120), 3, 1, False
    yield "photo_32bit", photo(97, 61), 4, 0, False


def to_raw(pixels, bpp):
    out = bytearray()
    for row in pixels:
        for r, g, b in row:
            out += bytes((b, g, r)) + (b"\x7f" if bpp == 4 else b"")
    return bytes(out)


def run_cases(scratch, writer):
    table = list(cases())
    lines = []
    for name, pixels, bpp, bottom_up, _ in table:
        raw = os.path.join(scratch, name + ".raw")
        with open(raw, "wb") as f:
            f.write(to_raw(pixels, bpp))
        lines.append("%d %d %d %d %s %s\n" % (len(pixels[0]), len(pixels), bpp, bottom_up, raw,
                                              os.path.join(scratch, name + ".png")))
    listing = os.path.join(scratch, "list.txt")
    with open(listing, "w") as f:
        f.writelines(lines)
    r = subprocess.run(writer + [listing], capture_output=True, text=True, timeout=240)
    check("writer", r.returncode == 0, "%d: %s %s" % (r.returncode, r.stdout, r.stderr[-400:]))
    pngcheck = shutil.which("pngcheck")
    for name, pixels, bpp, bottom_up, exact in table:
        path = os.path.join(scratch, name + ".png")
        if not os.path.exists(path):
            failures.append("%s: no PNG" % name)
            continue
        with open(path, "rb") as f:
            data = f.read()
        try:
            width, height, palette, rows, chunks = read_png(data)
        except PngError as e:
            failures.append("%s: %s" % (name, e))
            continue
        check(name, (width, height) == (len(pixels[0]), len(pixels)), "size %dx%d" % (width, height))
        check(name, len(palette) == 256, "palette of %d entries" % len(palette))
        idat = [len(b) for k, b in chunks if k == b"IDAT"]
        check(name, all(n == 0x3FFFF for n in idat[:-1]) and idat[-1] > 0,
              "IDAT pieces %r" % idat)
        got = pixels_of(palette, rows)
        colours = {c for row in pixels for c in row}
        if exact:
            check(name, got == pixels, "decoded pixels differ from the source")
            used = {palette[i] for row in rows for i in row}
            check(name, used == colours, "palette colours %d, source %d" % (len(used), len(colours)))
            check(name, all(c == (0, 0, 0) for c in palette[len(colours):]),
                  "entries beyond the colours found are not 0")
        else:
            errors = [abs(a - b) for gr, sr in zip(got, pixels) for g, s in zip(gr, sr)
                      for a, b in zip(g, s)]
            mean = sum(errors) / len(errors)
            check(name, len(colours) > 1000, "only %d source colours" % len(colours))
            check(name, mean <= 8 and max(errors) <= 48,
                  "colour error mean %.2f max %d" % (mean, max(errors)))
            print("%s: %d source colours, colour error mean %.2f max %d"
                  % (name, len(colours), mean, max(errors)))
        if name == "noise_600x600":
            check(name, len(idat) >= 2, "want several IDAT pieces, got %r" % idat)
        if pngcheck:
            r = subprocess.run([pngcheck, "-q", path], capture_output=True, text=True)
            check(name, r.returncode == 0, "pngcheck: " + r.stdout + r.stderr)
    print("%d pictures checked%s" % (len(table), " (and pngcheck)" if pngcheck else ""))


# ---- screenshot ----------------------------------------------------------------------------

def run_screenshot(scratch, child):
    for mode in ("window", "desktop"):
        screenshot(scratch, child, mode)


def screenshot(scratch, child, mode):
    png = os.path.join(scratch, mode, "Screenshot.png")
    info = os.path.join(scratch, mode, "screenshot.txt")
    os.makedirs(os.path.dirname(png))
    wine_path = lambda p: "Z:" + os.path.abspath(p).replace("/", "\\")
    r = subprocess.run(child + [mode, wine_path(png), wine_path(info)], capture_output=True,
                       text=True, timeout=120)
    check(mode, r.returncode == 0, "child %d: %s %s" % (r.returncode, r.stdout, r.stderr[-600:]))
    if not os.path.exists(png) or not os.path.exists(info):
        failures.append("%s: no PNG or no info file" % mode)
        return
    facts = {}
    with open(info) as f:
        for line in f:
            key, *values = line.split()
            facts[key] = [int(v) for v in values]
    with open(png, "rb") as f:
        data = f.read()
    try:
        width, height, palette, rows, _ = read_png(data)
    except PngError as e:
        failures.append("%s: %s" % (mode, e))
        return
    cl, ct, cr, cb = facts["capture"]
    check(mode + ": " + "size", (width, height) == (cr - cl, cb - ct), "%dx%d vs %r" % (width, height,
                                                                         facts["capture"]))
    px = pixels_of(palette, rows)
    cx, cy = facts["cursor"]
    near_cursor = lambda x, y: cx - 40 <= x + cl <= cx + 40 and cy - 40 <= y + ct <= cy + 40
    el, et, er, eb = (v - o for v, o in zip(facts["edit"], (cl, ct, cl, ct)))
    red = (255, 0, 0)
    ring, wrong = 0, []
    for inset in (0, 1):  # two frames: the edit's rectangle and one pixel inside
        l, t, r_, b = el + inset, et + inset, er - 1 - inset, eb - 1 - inset
        edge = [(x, t) for x in range(l, r_ + 1)] + [(x, b) for x in range(l, r_ + 1)] + \
               [(l, y) for y in range(t, b + 1)] + [(r_, y) for y in range(t, b + 1)]
        for x, y in edge:
            if near_cursor(x, y):
                continue
            ring += 1
            if px[y][x] != red:
                wrong.append((x, y, px[y][x]))
    check(mode + ": " + "red frame", ring > 100 and not wrong, "%d of %d frame pixels not red: %r"
          % (len(wrong), ring, wrong[:5]))
    # Inside the frame the edit stays as it was (white), and the window face keeps its colour.
    inside = [px[y][x] for y in range(et + 3, eb - 3) for x in range(el + 3, er - 3)
              if not near_cursor(x, y)]
    check(mode + ": " + "edit inside", inside and red not in inside, "red inside the edit")
    if "face" in facts:
        face = tuple(facts["face"])
        fl, ft, fr, fb = (v - o for v, o in zip(facts["face_rect"], (cl, ct, cl, ct)))
        area = [px[y][x] for y in range(ft, fb) for x in range(fl, fr) if not near_cursor(x, y)]
        check(mode + ": " + "window face", area and all(p == face for p in area),
              "face pixels %r, want %r" % (sorted(set(area))[:5], face))
    # The arrow cursor is painted where the pointer is: black and white.
    box = {px[y][x] for y in range(max(0, cy - ct - 8), min(height, cy - ct + 33))
           for x in range(max(0, cx - cl - 8), min(width, cx - cl + 33))}
    # (Its blended edges add colours, so the palette may merge black and white with neighbours.)
    check(mode + ": " + "cursor", any(min(p) >= 230 for p in box) and any(max(p) <= 40 for p in box),
          "no black and white cursor pixels near %r: %r" % ((cx, cy), sorted(box)[:6]))
    print("%s screenshot %dx%d at %d,%d, %d frame pixels red" % (mode, width, height, cl, ct, ring))


def main():
    mode, scratch, command = sys.argv[1], sys.argv[2], sys.argv[3:]
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    if mode == "cases":
        run_cases(scratch, command)
    else:
        run_screenshot(scratch, command)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
