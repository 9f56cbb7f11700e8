#!/usr/bin/python3
"""Seeds for the debug-data fuzzer: the writer's resource blocks (mode 0) and their inflated
debug-info streams (mode 1)."""
import os
import struct
import sys
import zlib

VERSIONS = [400, 404, 420, 422, 449, 450, 499, 500, 501, 502, 5999, 6000, 6002, 6015]

fixtures, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
for stem in open(os.path.join(fixtures, "vldata_index.txt")).read().split():
    with open(os.path.join(fixtures, stem + ".bin"), "rb") as f:
        block = f.read()
    if stem.startswith("vldata_a"):
        continue
    with open(os.path.join(out, stem), "wb") as f:
        f.write(b"\0" + block)
    word = struct.unpack_from("<H", block, 4)[0]
    v = word + 5400 if 600 <= word <= 602 else word
    if v not in VERSIONS or v < 500:
        continue
    pos = 14 + (2 if v >= 6000 else 0)
    length = struct.unpack_from("<I", block, pos)[0]
    pos += 4 + length
    packed = struct.unpack_from("<I", block, pos)[0]
    pos += 4 + packed + 4
    try:
        main = zlib.decompress(block[pos:])
    except zlib.error:
        continue
    stream = main[4:]
    with open(os.path.join(out, stem + "_stream"), "wb") as f:
        f.write(bytes([1, VERSIONS.index(v), 1]) + stream)
