#!/usr/bin/env python3
"""Writes the four phone-side images (opaque, deterministic bytes) and their build glue.

Usage: generate.py OUTDIR
Outputs: <NAME>.bin for each image, phone_images.rc (named resources of type "RT_RCDATA"),
phone_images_data.S (the same bytes as constant data for programs that embed them directly).
"""
import hashlib
import os
import sys

IMAGES = [
    ("KESTA_PNX6512_V05_PRE", 1860),
    ("KESTA_PNX6512_V05", 241968),
    ("KESTA_PNX5231_V05_PRE", 1860),
    ("KESTA_PNX5231_V05", 66772),
]


def image_bytes(name, size):
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{name}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


def write_if_changed(path, data):
    if os.path.exists(path):
        with open(path, "rb") as f:
            if f.read() == data:
                return
    with open(path, "wb") as f:
        f.write(data)


def main():
    outdir = os.path.abspath(sys.argv[1])
    pe = len(sys.argv) > 2 and sys.argv[2] == "pe"
    os.makedirs(outdir, exist_ok=True)
    rc = []
    asm = ['    .section .rdata,"dr"' if pe else "    .section .rodata"]
    for name, size in IMAGES:
        write_if_changed(os.path.join(outdir, name + ".bin"), image_bytes(name, size))
        path = os.path.join(outdir, name + ".bin")
        rc.append(f'{name} RT_RCDATA "{path}"')
        sym = "phone_image_" + name.lower()
        prefix = "_" if pe else ""
        asm += [f"    .globl {prefix}{sym}", "    .balign 4", f"{prefix}{sym}:",
                f'    .incbin "{path}"']
    if not pe:
        asm.append('    .section .note.GNU-stack,"",@progbits')
    write_if_changed(os.path.join(outdir, "phone_images.rc"), ("\n".join(rc) + "\n").encode())
    write_if_changed(os.path.join(outdir, "phone_images_data.S"), ("\n".join(asm) + "\n").encode())


if __name__ == "__main__":
    main()
