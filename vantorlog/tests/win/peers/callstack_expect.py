#!/usr/bin/python3
"""Expected locations of every instruction of a test program's functions whose names start
with the prefix, from binutils' addr2line. Writes one line per address:
<rva hex> <file> <function> <line>.
Usage: callstack_expect.py EXE OUT PREFIX NM OBJDUMP ADDR2LINE CXXFILT"""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "peers"))
from addr2line_expect import image_base, run, text_symbols, write_locations  # noqa: E402


def main():
    exe, out, prefix, nm, objdump, addr2line, cxxfilt = sys.argv[1:8]
    base = image_base(exe)
    symbols = text_symbols(nm, exe)
    addresses = []
    for i, (a, name) in enumerate(symbols):
        if not name.startswith(prefix) or i + 1 >= len(symbols):
            continue
        listing = run([objdump, "-d", "--start-address=0x%x" % a,
                       "--stop-address=0x%x" % symbols[i + 1][0], exe])
        for row in listing.splitlines():
            m = re.match(r"^\s+([0-9a-f]+):\t", row)
            if m:
                addresses.append(int(m.group(1), 16))
    if not addresses:
        sys.exit("no functions named %s* in %s" % (prefix, exe))
    write_locations(out, exe, base, addresses, addr2line, cxxfilt)


if __name__ == "__main__":
    main()
