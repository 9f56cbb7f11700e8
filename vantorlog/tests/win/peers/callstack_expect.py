#!/usr/bin/python3
"""Expected locations of every instruction of a test program's functions whose names start
with the prefix, from binutils' addr2line. Writes one line per address:
<rva hex> <file> <function> <line>.
Usage: callstack_expect.py EXE OUT PREFIX NM OBJDUMP ADDR2LINE CXXFILT"""
import os
import re
import struct
import subprocess
import sys


def run(cmd, data=None):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, input=data).stdout


def main():
    exe, out, prefix, nm, objdump, addr2line, cxxfilt = sys.argv[1:8]
    with open(exe, "rb") as f:
        d = f.read()
    pe = struct.unpack_from("<I", d, 60)[0]
    base = struct.unpack_from("<I", d, pe + 24 + 28)[0]
    symbols = []
    for line in run([nm, "-n", "-C", "--defined-only", exe]).splitlines():
        m = re.match(r"^([0-9a-f]+) [tT] (.+)$", line)
        if m:
            symbols.append((int(m.group(1), 16), m.group(2)))
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
    answer = run([addr2line, "-f", "-e", exe] + ["0x%x" % a for a in addresses]).splitlines()
    names = [n if not n.startswith("Z") else "_" + n for n in answer[0::2]]
    demangled = run([cxxfilt, "-n"], "\n".join(names) + "\n").splitlines()
    with open(out, "w") as f:
        for a, fn, where in zip(addresses, demangled, answer[1::2]):
            path, _, line = where.rpartition(":")
            line = line.split()[0] if line else "0"
            if not line.isdigit() or int(line) == 0 or path == "??":
                continue
            f.write("%x %s %s %s\n" % (a - base, os.path.basename(path), fn.split("(")[0], line))


if __name__ == "__main__":
    main()
