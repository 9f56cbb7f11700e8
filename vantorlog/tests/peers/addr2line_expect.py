#!/usr/bin/python3
"""Expected locations of the probe functions of a test program, from binutils' addr2line:
every line-table row inside a function whose name starts with the prefix, and the byte before
the next row. Writes one line per address: <rva hex> <file> <function> <line>.
Usage: addr2line_expect.py EXE OUT PREFIX NM OBJDUMP ADDR2LINE CXXFILT
win/peers/callstack_expect.py uses its helpers."""
import os
import re
import struct
import subprocess
import sys


def run(cmd, data=None):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, input=data).stdout


def image_base(exe):
    with open(exe, "rb") as f:
        d = f.read()
    pe = struct.unpack_from("<I", d, 60)[0]
    return struct.unpack_from("<I", d, pe + 24 + 28)[0]


def text_symbols(nm, exe):
    """The code symbols as (address, demangled name), by address."""
    symbols = []
    for line in run([nm, "-n", "-C", "--defined-only", exe]).splitlines():
        m = re.match(r"^([0-9a-f]+) [tT] (.+)$", line)
        if m:
            symbols.append((int(m.group(1), 16), m.group(2)))
    return symbols


def write_locations(out, exe, base, addresses, addr2line, cxxfilt):
    """Asks addr2line about the addresses and writes the ones it places in a source line."""
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


def main():
    exe, out, prefix, nm, objdump, addr2line, cxxfilt = sys.argv[1:8]
    base = image_base(exe)
    symbols = text_symbols(nm, exe)
    ranges = []
    for i, (a, name) in enumerate(symbols):
        if name.startswith(prefix) and i + 1 < len(symbols):
            ranges.append((a, symbols[i + 1][0]))
    if not ranges:
        sys.exit("no functions named %s* in %s" % (prefix, exe))
    rows = set()
    for line in run([objdump, "--dwarf=decodedline", exe]).splitlines():
        m = re.match(r"^\S+\s+(\d+)\s+0x([0-9a-f]+)", line)
        if m:
            rows.add(int(m.group(2), 16))
    addresses = set()
    for a, b in ranges:
        inside = sorted(r for r in rows if a <= r < b)
        addresses.update(inside)
        addresses.update(r - 1 for r in inside if r - 1 >= a)
    write_locations(out, exe, base, sorted(addresses), addr2line, cxxfilt)


if __name__ == "__main__":
    main()
