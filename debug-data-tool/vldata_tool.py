#!/usr/bin/python3
"""Writes the exception library's debug-data block for a linked i686 program, and checks that
two links of a program carry the same code.

  vldata_tool.py write --exe PROGRAM --nm NM --objdump OBJDUMP --options BLOCK --out FILE
                       [--password TEXT] [--symbol ID=NAME ...]
      Reads the program's symbols (nm -n -C) and DWARF line tables (objdump
      --dwarf=decodedline) and writes the resource form of the block (version 6015): the
      symbol directory, the options block (as written by vldata_options), the password check
      and the compressed map of code offsets to unit, class, procedure and line.

  vldata_tool.py check-text FIRST SECOND [--remove-on-failure]
      Fails unless the .text sections of the two programs are at the same address and
      byte-identical; with --remove-on-failure the second program is deleted then, so that the
      build stays failed.
"""
import argparse
import hashlib
import os
import re
import struct
import subprocess
import sys
import zlib

MAGIC = 0x100FAB10
VERSION = 6015
CODE_START = 0x1000
MAX_PART = 127


# ---- PE headers ------------------------------------------------------------------------------

class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise SystemExit("%s: not a program" % path)
        pe = struct.unpack_from("<I", d, 60)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise SystemExit("%s: no PE signature" % path)
        count = struct.unpack_from("<H", d, pe + 6)[0]
        opt_size = struct.unpack_from("<H", d, pe + 20)[0]
        opt = pe + 24
        if struct.unpack_from("<H", d, opt)[0] != 0x10B:
            raise SystemExit("%s: not a 32-bit program" % path)
        self.base = struct.unpack_from("<I", d, opt + 28)[0]
        self.sections = {}
        table = opt + opt_size
        for i in range(count):
            h = table + 40 * i
            name = d[h:h + 8].rstrip(b"\0").decode("latin-1")
            vsize, rva, raw_size, raw_ptr = struct.unpack_from("<IIII", d, h + 8)
            self.sections.setdefault(name, (rva, vsize, raw_size, raw_ptr))

    def section_bytes(self, name):
        rva, vsize, raw_size, raw_ptr = self.sections[name]
        body = self.data[raw_ptr:raw_ptr + min(vsize, raw_size)]
        return body + bytes(max(0, vsize - raw_size))


def check_text(first, second, remove):
    a, b = Image(first), Image(second)
    ok = ".text" in a.sections and ".text" in b.sections
    if ok:
        ok = (a.base == b.base and a.sections[".text"][:2] == b.sections[".text"][:2]
              and a.section_bytes(".text") == b.section_bytes(".text"))
    if not ok:
        sys.stderr.write("error: .text of %s differs from the first link %s: the debug data "
                         "would not match the code\n" % (second, first))
        if remove and os.path.exists(second):
            os.remove(second)
        return 1
    return 0


# ---- inputs ----------------------------------------------------------------------------------

def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True,
                          errors="replace").stdout


def read_symbols(nm, exe, text_lo, text_hi):
    """Function symbols in the code section: sorted list of (address, demangled name)."""
    out = []
    for line in run([nm, "-n", "-C", "--defined-only", exe]).splitlines():
        m = re.match(r"^([0-9a-fA-F]+) ([tTwW]) (.+)$", line)
        if not m:
            continue
        addr = int(m.group(1), 16)
        if text_lo <= addr < text_hi:
            out.append((addr, m.group(3)))
    out.sort(key=lambda s: s[0])
    # Several names at one address: keep the last (nm lists aliases first).
    dedup = {}
    for addr, name in out:
        dedup[addr] = name
    return sorted(dedup.items())


ROW = re.compile(r"^(\S+)\s+(\d+|-)\s+(0x[0-9a-fA-F]+)(?:\s+\d+)?(?:\s+x)?\s*$")


def read_lines(objdump, exe):
    """Intervals (start, end, file, line) of the line tables, sorted, not overlapping."""
    intervals = []
    seq = []

    def close(end):
        rows = {}
        order = []
        for addr, f, ln in seq:
            if addr not in rows:
                order.append(addr)
            rows[addr] = (f, ln)  # the last row at an address counts
        order.sort()
        for i, addr in enumerate(order):
            stop = order[i + 1] if i + 1 < len(order) else end
            if stop > addr:
                intervals.append((addr, stop) + rows[addr])

    for line in run([objdump, "--dwarf=decodedline", exe]).splitlines():
        m = ROW.match(line)
        if not m:
            continue
        f, ln, addr = m.group(1), m.group(2), int(m.group(3), 16)
        if ln == "-":
            close(addr)
            seq = []
        else:
            seq.append((addr, f, int(ln)))
    intervals.sort()
    result = []
    for iv in intervals:
        if result and iv[0] < result[-1][1]:
            continue  # overlapping sequences (discarded code): the first wins
        result.append(iv)
    return result


# ---- names -----------------------------------------------------------------------------------

def _operator_end(name, i):
    """End of an operator name ("operator<<", "operator()", "operator new") starting at i."""
    j = i + len("operator")
    if name.startswith("()", j):
        return j + 2
    if name.startswith(" ", j):  # new, delete, new[], a conversion: operator int
        m = re.match(r" [\w:]+(?: ?\[\])?", name[j:])
        return j + (m.end() if m else 1)
    while j < len(name) and name[j] in "<>=!+-*/%^&|~[],":
        j += 1
    return j


def _top_level(name):
    """Yields (index, character) of the characters outside brackets and operator names."""
    depth = 0
    i = 0
    while i < len(name):
        if name.startswith("operator", i) and (i == 0 or not name[i - 1].isalnum()):
            i = _operator_end(name, i)
            continue
        if name.startswith("(anonymous namespace)", i):
            i += len("(anonymous namespace)")
            continue
        c = name[i]
        if c in "<({[":
            if depth == 0:
                yield i, c
            depth += 1
        elif c in ">)}]":
            depth -= 1
        elif depth == 0 and not (c == " " and name.startswith(" <", i)):
            yield i, c
        i += 1


def split_function(demangled):
    """(class, procedure) of a demangled function name: parameters, clone suffixes and
    template return types dropped; the class is the qualifier before the last '::'."""
    name = re.sub(r" \[clone [^\]]*\]", "", demangled)
    cut = next((i for i, c in _top_level(name) if c == "("), len(name))
    name = name[:cut]
    spaces = [i for i, c in _top_level(name) if c == " "]
    if spaces:
        name = name[spaces[-1] + 1:]
    colons = [i for i, c in _top_level(name) if c == ":" and name.startswith("::", i)]
    if colons:
        last = colons[-1]
        cls, proc = name[:last], name[last + 2:]
        if cls.endswith(":"):  # the second colon of a pair
            cls = cls[:-1]
    else:
        cls, proc = "", name
    return cls.replace(".", "_"), proc.replace(".", "_")


# ---- the cipher (TEA rounds with added terms, CBC from a zero chain, a stream tail) ----------

class Cipher:
    def __init__(self, password):
        self.k = struct.unpack(">4I", hashlib.md5(password.encode("latin-1")).digest())

    def _block(self, data):
        y, z = struct.unpack(">2I", data)
        k0, k1, k2, k3 = self.k
        s, m = 0, 0xFFFFFFFF
        for _ in range(32):
            s = (s + 0x9E3779B9) & m
            y = (y + (((z << 4) & m) + (z ^ k0) + ((z >> 5) ^ s) + k1)) & m
            z = (z + (((y << 4) & m) + (y ^ k2) + ((y >> 5) ^ s) + k3)) & m
        return struct.pack(">2I", y, z)

    def encrypt(self, plain):
        chain = bytes(8)
        out = bytearray()
        full = len(plain) - len(plain) % 8
        for pos in range(0, full, 8):
            chain = self._block(bytes(a ^ b for a, b in zip(plain[pos:pos + 8], chain)))
            out += chain
        if full < len(plain):
            out += bytes(a ^ b for a, b in zip(plain[full:], self._block(chain)))
        return bytes(out)


class Names:
    def __init__(self, password):
        self.cipher = Cipher(password)

    def stored(self, parts):
        out = bytearray()
        for i, part in enumerate(parts):
            raw = part.encode("utf-8")[:MAX_PART]
            more = 0x80 if i + 1 < len(parts) else 0
            out += bytes([len(raw) | more]) + self.cipher.encrypt(raw)
        return bytes(out)

    def procedure(self, cls, proc):
        return self.stored([cls, proc] if cls else [proc])


# ---- line records ----------------------------------------------------------------------------

def record(dl, dc, proc):
    """The shortest record for a line step dl and a code step dc; None when none fits."""
    p = 4 if proc else 0
    if not proc and 1 <= dl <= 4 and 1 <= dc <= 32:
        return bytes([((dl - 1) << 6) | ((dc - 1) << 1)])
    if proc and 1 <= dl <= 8 and 1 <= dc <= 8:
        return bytes([((dl - 1) << 5) | ((dc - 1) << 2) | 1])
    if 1 <= dl <= 32 and 1 <= dc <= 128:
        return struct.pack("<H", ((dl - 1) << 11) | ((dc - 1) << 4) | p | 3)
    if 1 <= dl <= 65536 and 0 <= dc <= 4095 and not (dl == 0xFFFF and dc == 0):
        c = 4095 if dc == 0 else dc - 1
        return struct.pack("<I", (c << 20) | ((dl - 1) << 4) | 8 | p | 3)
    if 1 <= dl <= 65536 and 1 <= dc <= 65536:
        return struct.pack("<IHH", (0x0FFEFFFE << 4) | 8 | p | 3, dl - 1, dc - 1)
    return None


def build_stream(intervals, symbols, code_base, names):
    """The debug-info stream: units of contiguous code of one source file whose lines rise."""
    sym_addrs = [a for a, _ in symbols]
    import bisect

    def symbol_at(addr):
        i = bisect.bisect_right(sym_addrs, addr) - 1
        return symbols[i] if i >= 0 else None

    # Points: each line interval, split where a function starts inside it.
    points = []  # (start, end, file, line, symbol)
    for start, end, f, ln in intervals:
        if ln == 0:
            continue
        cuts = [start]
        i = bisect.bisect_right(sym_addrs, start)
        while i < len(sym_addrs) and sym_addrs[i] < end:
            cuts.append(sym_addrs[i])
            i += 1
        cuts.append(end)
        for a, b in zip(cuts, cuts[1:]):
            points.append((a, b, f, ln, symbol_at(a)))

    units = []
    unit = None
    for a, b, f, ln, sym in points:
        if unit is not None:
            last = unit["points"][-1]
            dl = ln - last[3]
            rec = record(dl, a - last[0], sym != last[4]) if (
                f == unit["file"] and a == last[1]) else None
            if rec is not None:
                unit["recs"] += rec
                if sym != last[4]:
                    unit["recs"] += names.procedure(*split_function(sym[1]))
                unit["points"].append((a, b, f, ln, sym))
                continue
            units.append(unit)
        unit = {"file": f, "points": [(a, b, f, ln, sym)], "recs": bytearray()}
        if sym is not None:
            # Opening record: code step 0 into the procedure, one line on.
            unit["first"] = ln - 1
            unit["recs"] += record(1, 0, True) + names.procedure(*split_function(sym[1]))
        else:
            unit["first"] = ln
    if unit is not None:
        units.append(unit)

    body = bytearray(struct.pack("<I", len(units)))
    for u in units:
        start = u["points"][0][0] - code_base
        size = u["points"][-1][1] - u["points"][0][0]
        name = os.path.basename(u["file"]).encode("utf-8")[:MAX_PART].decode("utf-8", "ignore")
        body += names.stored([name])
        body += struct.pack("<4I", max(0, u["first"]), start, size, len(u["recs"])) + u["recs"]
    return bytes(body), len(units)


def write_block(args):
    img = Image(args.exe)
    if ".text" not in img.sections:
        raise SystemExit("%s: no code section" % args.exe)
    rva, vsize = img.sections[".text"][:2]
    text_lo, text_hi = img.base + rva, img.base + rva + vsize
    symbols = read_symbols(args.nm, args.exe, text_lo, text_hi)
    intervals = [iv for iv in read_lines(args.objdump, args.exe)
                 if text_lo <= iv[0] < text_hi]
    code_base = img.base + CODE_START
    names = Names(args.password)
    stream, unit_count = build_stream(intervals, symbols, code_base, names)

    directory = bytearray()
    by_name = {}
    for i, (addr, name) in enumerate(symbols):
        size = (symbols[i + 1][0] if i + 1 < len(symbols) else text_hi) - addr
        by_name.setdefault(name, (addr, size))
        by_name.setdefault(re.sub(r"\(.*$", "", name), (addr, size))
    for spec in args.symbol:
        ident, _, name = spec.partition("=")
        if name in by_name:
            addr, size = by_name[name]
            directory += struct.pack("<BII", int(ident), addr - code_base, size)

    with open(args.options, "rb") as f:
        options = f.read()
    if not options:
        raise SystemExit("%s: empty options block" % args.options)
    date = os.path.getmtime(args.exe) / 86400.0 + 25569.0  # days since 1899-12-30
    # The leak tracker's two option bytes: its options and the use-main-module byte.
    block = struct.pack("<IHdBB", MAGIC, VERSION, date, args.leak_options & 0xFF, 0)
    block += struct.pack("<I", len(directory)) + directory
    packed = zlib.compress(options, 9)
    block += struct.pack("<I", len(packed)) + packed
    block += names.cipher.encrypt(struct.pack("<I", MAGIC))
    block += zlib.compress(struct.pack("<I", len(stream)) + stream, 9)
    tmp = args.out + ".tmp"
    with open(tmp, "wb") as f:
        f.write(block)
    os.replace(tmp, args.out)
    print("%s: %d units, %d functions, %d bytes" % (args.out, unit_count, len(symbols),
                                                   len(block)))
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = p.add_subparsers(dest="command", required=True)
    w = sub.add_parser("write")
    w.add_argument("--exe", required=True)
    w.add_argument("--nm", required=True)
    w.add_argument("--objdump", required=True)
    w.add_argument("--options", required=True)
    w.add_argument("--out", required=True)
    w.add_argument("--password", default="")
    w.add_argument("--symbol", action="append", default=[])
    w.add_argument("--leak-options", type=lambda v: int(v, 0), default=0)
    c = sub.add_parser("check-text")
    c.add_argument("first")
    c.add_argument("second")
    c.add_argument("--remove-on-failure", action="store_true")
    args = p.parse_args()
    if args.command == "write":
        return write_block(args)
    return check_text(args.first, args.second, args.remove_on_failure)


if __name__ == "__main__":
    sys.exit(main())
