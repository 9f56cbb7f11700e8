#!/usr/bin/python3
"""Seeds for the options-stream fuzzer: each fixture block behind its version word."""
import os
import struct
import sys

fixtures, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)
for line in open(os.path.join(fixtures, "options_index.txt")):
    stem, version = line.split()
    raw = (int(version) - 400)  # the fuzzer maps the word back with 400 + word % 5616
    with open(os.path.join(fixtures, stem + ".bin"), "rb") as f:
        block = f.read()
    with open(os.path.join(out, stem), "wb") as f:
        f.write(struct.pack("<H", raw) + block)
