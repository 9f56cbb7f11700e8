#!/usr/bin/python3
"""Independent writer of outside debug information: a linker map file, JCL binary debug data
and TD32 symbol data (as files and inside PE images), all describing one small program with
known units, procedures and lines, plus tables of lookups with the answers each reader must
give. Each format's answers follow that format's own lookup rules."""
import os
import struct
import sys

# ---- the program ------------------------------------------------------------------------------
# Offsets count from the start of the code (module + 0x1000).
UNITS = [
    dict(name="System", file="System.pas", start=0x100, size=0x300,
         procs=[dict(off=0x100, map="System.Halt0", jcl=("Halt0", None),
                     td32raw="@System@Halt0$qqrv", td32="Halt0"),
                dict(off=0x140, map="System.@HandleAnyException", jcl=("@HandleAnyException", None),
                     td32raw="@System@@HandleAnyException$qqrv", td32="@HandleAnyException"),
                dict(off=0x200, map="System.GetMem", jcl=("GetMem", None),
                     td32raw="GetMem", td32="GetMem")],
         lines=[(10, 0x100), (12, 0x110), (15, 0x140), (16, 0x148), (30, 0x200), (31, 0x220)]),
    dict(name="Com_port", file="Com_port.pas", start=0x400, size=0x200,
         procs=[dict(off=0x410, map="Com_port.ComConnect", jcl=("ComConnect", None),
                     td32raw="@Com_port@ComConnect$qqrx17System@AnsiString", td32="ComConnect"),
                dict(off=0x500, map="Com_port.ComWrite", jcl=("ComWrite", None),
                     td32raw="@Com_port@ComWrite$qqrpv", td32="ComWrite")],
         lines=[(20, 0x410), (21, 0x418), (40, 0x500), (42, 0x510)]),
    dict(name="Unit1", file="Unit1.pas", start=0x600, size=0x400,
         procs=[dict(off=0x600, map="Unit1.TForm1.Button1Click", jcl=("TForm1", "Button1Click"),
                     td32raw="@Unit1@TForm1@Button1Click$qqrp14System@TObject",
                     td32="TForm1.Button1Click"),
                dict(off=0x700, map="Unit1.TForm1.FormCreate", jcl=("TForm1", "FormCreate"),
                     td32raw="@Unit1@TForm1@FormCreate$qqrp14System@TObject",
                     td32="TForm1.FormCreate")],
         lines=[(100, 0x600), (101, 0x608), (102, 0x620), (200, 0x700), (205, 0x740)]),
]
TOP = UNITS[-1]["start"] + UNITS[-1]["size"]


def all_procs():
    return [(p, u) for u in UNITS for p in u["procs"]]


def all_lines():
    return [(ln, off) for u in UNITS for ln, off in u["lines"]]


def queries():
    q = {0x50, 0xFF, TOP, TOP + 1, 0x5000, 0xFFFFF000, 0x3FF}
    for u in UNITS:
        q |= {u["start"], u["start"] - 1, u["start"] + 1, u["start"] + u["size"]}
        for p in u["procs"]:
            q |= {p["off"], p["off"] + 3}
        for _, off in u["lines"]:
            q |= {off, off + 1}
    return sorted(q)


def dash(s):
    return s if s else "-"


def write_cases(path, rows):
    with open(path, "w") as f:
        for off, found, unit, proc, dist, line, line_off, src in rows:
            f.write("%08x %d %s %s %d %d %d %s\n" % (off, found, dash(unit), dash(proc), dist, line,
                                                    line_off, dash(src)))


def locate(off, unit_at, proc_at, line_at, source_at):
    unit = unit_at(off)
    if not unit:
        return (off, 0, "", "", 0, 0, 0, "")
    proc, dist = proc_at(off)
    line = line_at(off)
    line_off = line - line_at((off - dist) & 0xFFFFFFFF)
    return (off, 1, unit, proc, dist, line, line_off, source_at(off))


# ---- map file ---------------------------------------------------------------------------------

def write_map(out):
    crlf = "\r\n"
    t = [""]
    t.append(" Start         Length     Name                   Class")
    t.append(" 0001:00000000 %08XH .text                   CODE" % TOP)
    t.append(" 0002:00000000 00000100H .data                   DATA")
    t.append("")
    t.append("")
    t.append("Detailed map of segments")
    t.append("")
    for u in UNITS:
        t.append(" 0001:%08X %08X C=CODE     S=.text    G=(none)   M=%-8s ACBP=A9"
                 % (u["start"], u["size"], u["name"]))
    t.append(" 0002:00000000 00000010 C=DATA     S=.data    G=DGROUP   M=System   ACBP=A9")
    t.append("")
    t.append("")
    t.append("  Address         Publics by Name")
    t.append("")
    for p, _ in sorted(all_procs(), key=lambda x: x[0]["map"]):
        t.append(" 0001:%08X       %s" % (p["off"], p["map"]))
    t.append(" 0002:00000004       System.DataVar")
    t.append("")
    t.append("  Address         Publics by Value")
    t.append("")
    for p, _ in all_procs():
        t.append(" 0001:%08X       %s" % (p["off"], p["map"]))
    t.append(" 0002:00000004       System.DataVar")
    t.append("")
    rejected = 0
    for i, u in enumerate(UNITS):
        t.append("")
        t.append("Line numbers for %s(%s) segment .text" % (u["name"], u["file"]))
        t.append("")
        pairs = ["%6d 0001:%08X" % (ln, off) for ln, off in u["lines"]]
        if i == 2:
            # Behind the last accepted line, in another segment, beyond the top: all dropped;
            # the unit's file still goes with its first accepted line.
            pairs = ["%6d 0001:%08X" % (99, 0x4F0), "%6d 0002:%08X" % (7, 0x700)] + pairs
            pairs.append("%6d 0001:%08X" % (300, TOP + 0x100))
            rejected = 3
        for k in range(0, len(pairs), 4):
            t.append(" ".join(pairs[k:k + 4]))
    t.append("")
    t.append("Bound resource files")
    t.append("")
    with open(os.path.join(out, "sample.map"), "w", newline="") as f:
        f.write(crlf.join(t) + crlf)
    with open(os.path.join(out, "map_counts.txt"), "w") as f:
        f.write("%d %d %d %d %d\n" % (len(UNITS), len(all_procs()), len(all_lines()), len(UNITS),
                                      rejected))

    # Map rules: segment end included, the last segment first; nearest lower entry at or above
    # the segment's start.
    segs = [(u["start"], u["start"] + u["size"], u["name"]) for u in UNITS]

    def seg_start(off):
        for s, e, _ in reversed(segs):
            if s <= off <= e:
                return s
        return 0xFFFFFFFF

    def unit_at(off):
        for s, e, n in reversed(segs):
            if s <= off <= e:
                return n
        return ""

    def nearest(entries, off):
        below = [e for e in entries if e[0] <= off]
        if not below or below[-1][0] < seg_start(off):
            return None
        return below[-1]

    procs = [(p["off"], p["map"]) for p, _ in all_procs()]
    lines = [(off, ln) for ln, off in all_lines()]
    sources = [(u["lines"][0][1], u["file"]) for u in UNITS]

    def proc_at(off):
        e = nearest(procs, off)
        return (e[1], off - e[0]) if e else ("", 0)

    def line_at(off):
        e = nearest(lines, off)
        return e[1] if e else 0

    def source_at(off):
        e = nearest(sources, off)
        return e[1] if e else ""

    write_cases(os.path.join(out, "map_cases.txt"),
                [locate(q, unit_at, proc_at, line_at, source_at) for q in queries()])

    # Without the segment table's heading nothing is placed.
    text = crlf.join(t).replace("Detailed map of segments", "Detailed list of segments")
    with open(os.path.join(out, "noseg.map"), "w", newline="") as f:
        f.write(text + crlf)


# ---- JCL binary debug data --------------------------------------------------------------------

def number(v):
    v &= 0xFFFFFFFF
    b = bytearray()
    while True:
        byte = v & 0x7F
        v >>= 7
        if v:
            b.append(byte | 0x80)
        else:
            b.append(byte)
            return bytes(b)


def packable(s):
    return all(c.isalnum() or c == "_" for c in s) and s.isascii()


def code_of(c):
    if c.isdigit():
        return ord(c) - ord("0") + 1
    if "A" <= c <= "Z":
        return ord(c) - ord("A") + 11
    if "a" <= c <= "z":
        return ord(c) - ord("a") + 37
    return 63


def pack(s):
    bits = 0
    n = 0
    out = bytearray()
    for c in s:
        bits |= code_of(c) << n
        n += 6
        while n >= 8:
            out.append(bits & 0xFF)
            bits >>= 8
            n -= 8
    # code 0 ends the text
    n += 6
    while n > 0:
        out.append(bits & 0xFF)
        bits >>= 8
        n -= 8
    return bytes(out)


def encode_name(s):
    if s.startswith("@") and packable(s[1:]):
        return b"\x02" + pack(s[1:])
    if packable(s):
        p = pack(s)
        if p[0] not in (1, 2):
            return p
    return b"\x01" + bytes(c if c == 0xAA else c ^ 0xAA for c in s.encode("latin-1")) + b"\x00"


class Names:
    def __init__(self):
        self.area = bytearray(b"\x00")  # position 0 is never a name
        self.at = {}

    def value(self, s):
        if s is None:
            return 0
        if s not in self.at:
            self.at[s] = len(self.area) + 1
            self.area += encode_name(s)
        return self.at[s]


def table(entries):
    out = bytearray()
    prev = [0] * (len(entries[0]) if entries else 0)
    for e in entries:
        for i, v in enumerate(e):
            out += number(v - prev[i])
        prev = list(e)
    out += number(0x7FFFFFFF)
    return bytes(out)


def jdbg_block(units, sources, symbols, lines, names, checksum=True, pad=True):
    header_size = 36
    parts = [table(units), table(sources), table(symbols), table(lines)]
    offsets = []
    at = header_size
    for p in parts:
        offsets.append(at)
        at += len(p)
    names_at = at
    body = b"".join(parts) + bytes(names.area)
    block = bytearray(struct.pack("<4sB5II", b"JDBG", 1, *offsets, names_at, 0))
    block += b"\x00\x00\x00\x00" + bytes([1 if checksum else 0]) + b"\x00\x00"
    assert len(block) == header_size
    block += body
    while pad and len(block) % 4:
        block.append(0)
    if checksum:
        # With the checksum bytes zero the word sum is the value to store: the stored bytes then
        # add rol(c, 8) to the sum, which the reader's check takes back out.
        s = sum(struct.unpack("<%dI" % (len(block) // 4), bytes(block))) & 0xFFFFFFFF
        block[29:33] = struct.pack("<I", s)
    return bytes(block)


def write_jcl(out):
    names = Names()
    units = [(u["start"], names.value(u["name"])) for u in UNITS]
    sources = [(u["start"], names.value(u["file"])) for u in UNITS]
    symbols = [(p["off"], names.value(p["jcl"][0]), names.value(p["jcl"][1])) for p, _ in all_procs()]
    lines = [(off, ln) for ln, off in all_lines()]
    block = jdbg_block(units, sources, symbols, lines, names)
    with open(os.path.join(out, "sample.jdbg"), "wb") as f:
        f.write(block)
    with open(os.path.join(out, "sample_nosum.jdbg"), "wb") as f:
        f.write(jdbg_block(units, sources, symbols, lines, names, checksum=False))
    bad = bytearray(block)
    bad[29] ^= 1
    with open(os.path.join(out, "badsum.jdbg"), "wb") as f:
        f.write(bad)
    write_image(os.path.join(out, "jcl_image.bin"), [(b"JCLDEBUG", block)])
    # The same block as the only content of a real module's JCLDEBUG section.
    with open(os.path.join(out, "jcl_section.c"), "w") as f:
        f.write("__attribute__((section(\"JCLDEBUG\"), used))\n")
        f.write("const unsigned char jcl_debug_block[%d] = {\n" % len(block))
        for k in range(0, len(block), 16):
            f.write("  %s,\n" % ", ".join(str(x) for x in block[k:k + 16]))
        f.write("};\n")

    # JCL rules: units and sources by start only (no end); last entry at or below the offset;
    # symbols and lines walked back from the end, none before the unit's start.
    def unit_entry(off):
        below = [u for u in UNITS if u["start"] <= off]
        return below[-1] if below else None

    def unit_start(off):
        u = unit_entry(off)
        return u["start"] if u else 0xFFFFFFFF

    def unit_at(off):
        u = unit_entry(off)
        return u["name"] if u else ""

    def proc_at(off):
        below = [(p, u) for p, u in all_procs() if p["off"] <= off]
        if not below or below[-1][0]["off"] < unit_start(off):
            return ("", 0)
        p = below[-1][0]
        name = p["jcl"][0] + ("." + p["jcl"][1] if p["jcl"][1] else "")
        return (name, off - p["off"])

    def line_at(off):
        below = [(ln, o) for ln, o in all_lines() if o <= off]
        if not below or below[-1][1] < unit_start(off):
            return 0
        return below[-1][0]

    def source_at(off):
        u = unit_entry(off)
        return u["file"] if u else ""

    write_cases(os.path.join(out, "jcl_cases.txt"),
                [locate(q, unit_at, proc_at, line_at, source_at) for q in queries()])

    # Edge blocks: the size rule, a name value 0, a symbol without second name, a source entry
    # before its unit, a line before its unit, five-byte numbers.
    with open(os.path.join(out, "jcl_35.jdbg"), "wb") as f:
        f.write(jdbg_block([], [], [], [], Names(), checksum=False, pad=False)[:35])
    with open(os.path.join(out, "jcl_36.jdbg"), "wb") as f:
        f.write(jdbg_block([], [], [], [], Names(), checksum=False)[:36])
    n = Names()
    edge = jdbg_block(
        units=[(0x100, n.value("Alpha")), (0x200, 0), (0x80000000, n.value("Far_unit"))],
        sources=[(0x10, n.value("early.pas")), (0x300, n.value("late.pas"))],
        symbols=[(0x100, n.value("Solo"), 0), (0x180, 0, n.value("Lost")),
                 (0x80000010, n.value("Far"), n.value("Away"))],
        # the last line's difference 0x7FFFFFFF stands second in its entry: not the end
        lines=[(0x150, 7), (0x1F0, -15 & 0xFFFFFFFF), (0x80000010, 0x7FFFFFF0)],
        names=n)
    with open(os.path.join(out, "jcl_edge.jdbg"), "wb") as f:
        f.write(edge)
    # offset -> found unit proc distance line line_offset source (written by hand from the rules)
    rows = [
        (0x0FF, 0, "", "", 0, 0, 0, ""),  # below the first unit
        # "early.pas" starts below the unit and a later entry exists: no source name
        (0x100, 1, "Alpha", "Solo", 0, 0, 0, ""),
        (0x150, 1, "Alpha", "Solo", 0x50, 7, 7, ""),
        (0x180, 1, "Alpha", "", 0, 7, 0, ""),  # first name value 0
        (0x210, 0, "", "", 0, 0, 0, ""),  # a unit whose name value is 0
        # the nearest symbol and line lie before the unit's start; the last source entry has no
        # later one, so it stands although it starts below the unit
        (0x80000005, 1, "Far_unit", "", 0, 0, 0, "late.pas"),
        (0x80000020, 1, "Far_unit", "Far.Away", 0x10, 0x7FFFFFF0, 0, "late.pas"),
    ]
    write_cases(os.path.join(out, "jcl_edge_cases.txt"), rows)


# ---- TD32 symbol data -------------------------------------------------------------------------

def td32_block(sign=b"FB09", loop=False):
    names = [""]

    def name_index(s):
        if s not in names:
            names.append(s)
        return names.index(s)

    subsections = []  # (kind, bytes)
    for u in UNITS:
        mod = bytearray(28)
        struct.pack_into("<H", mod, 4, 1)
        struct.pack_into("<I", mod, 8, name_index(u["name"]))
        mod += struct.pack("<III", 1, u["start"], u["size"])
        subsections.append((0x120, bytes(mod)))
    for u in UNITS:
        n = len(u["lines"])
        src = bytearray(struct.pack("<HHI", 1, 1, 8))
        file_at = 8
        table_at = file_at + 6 + 4 + 8
        src += struct.pack("<HII", 1, name_index(u["file"]), table_at)
        src += struct.pack("<II", u["start"], u["start"] + u["size"])
        assert len(src) == table_at
        src += struct.pack("<HH", 1, n)
        src += b"".join(struct.pack("<I", off) for _, off in u["lines"])
        src += b"".join(struct.pack("<H", ln) for ln, _ in u["lines"])
        subsections.append((0x127, bytes(src)))
    # A source entry without a name is skipped.
    subsections.append((0x127, struct.pack("<HHI", 1, 1, 8) + struct.pack("<HII", 1, 0, 0)
                        + struct.pack("<II", 0, 0x10000)))
    syms = bytearray(4)
    # A public and an unknown kind before the procedures: neither is a procedure.
    pub = bytearray(20)
    struct.pack_into("<HHIII", pub, 0, 18, 0x203, 0x100, 0, 0)
    struct.pack_into("<I", pub, 16, name_index("PublicOnly"))
    syms += pub
    syms += struct.pack("<HH", 6, 0x0999) + b"\x00" * 4
    for p, u in all_procs():
        procs = u["procs"]
        i = procs.index(p)
        end = procs[i + 1]["off"] if i + 1 < len(procs) else u["start"] + u["size"]
        rec = bytearray(44)
        struct.pack_into("<HH", rec, 0, 42, 0x205)
        struct.pack_into("<I", rec, 16, end - p["off"])
        struct.pack_into("<I", rec, 28, p["off"])
        struct.pack_into("<I", rec, 40, name_index(p["td32raw"]))
        syms += rec
    subsections.append((0x125, bytes(syms)))
    nm = bytearray(struct.pack("<I", len(names) - 1))
    for s in names[1:]:
        b = s.encode()
        nm += bytes([len(b)]) + b + b"\x00"
    subsections.append((0x130, bytes(nm)))

    block = bytearray(sign + b"\x00\x00\x00\x00")
    entries = []
    for kind, data in subsections:
        while len(block) % 4:
            block.append(0)
        entries.append((kind, len(block), len(data)))
        block += data
    # Two directories: the first holds half of the entries.
    half = len(entries) // 2
    while len(block) % 4:
        block.append(0)
    first_at = len(block)
    second_at = first_at + 16 + 12 * half
    block += struct.pack("<HHIII", 16, 12, half, second_at, 0)
    block += b"".join(struct.pack("<HHII", k, 0, o, s) for k, o, s in entries[:half])
    block += struct.pack("<HHIII", 16, 12, len(entries) - half, first_at if loop else 0, 0)
    block += b"".join(struct.pack("<HHII", k, 0, o, s) for k, o, s in entries[half:])
    struct.pack_into("<I", block, 4, first_at)
    block += sign + struct.pack("<I", len(block) + 8)
    return bytes(block)


def td32_name(unit, raw):
    if not raw.startswith("@"):
        return raw
    s = raw[1:]
    d = s.find("$")
    if d >= 0:
        if d > 0 and s[d - 1] == "@":
            d -= 1
        s = s[:d]
    s = s.replace("@", ".").replace("..", ".@")
    if unit and s.lower().startswith(unit.lower()):
        s = s[len(unit) + 1:]
    return s


def write_td32(out):
    block = td32_block()
    with open(os.path.join(out, "sample.tds"), "wb") as f:
        f.write(block)
    with open(os.path.join(out, "fb0a.tds"), "wb") as f:
        f.write(td32_block(sign=b"FB0A"))
    with open(os.path.join(out, "loop.tds"), "wb") as f:
        f.write(td32_block(loop=True))
    bad = bytearray(block)
    first_at = struct.unpack_from("<I", bad, 4)[0]
    struct.pack_into("<H", bad, first_at + 2, 16)
    with open(os.path.join(out, "badentry.tds"), "wb") as f:
        f.write(bad)
    write_image(os.path.join(out, "td32_image.bin"), [(b".debug", None)], td32=block)
    write_image(os.path.join(out, "td32_image_offsection.bin"), [(b".debug", None)], td32=block,
                directory_shift=0x10)

    # TD32 rules: the first module whose segment holds the offset (end included); source ranges
    # end excluded; a line exact or between two lines; procedures by their extent.
    def unit_at(off):
        for u in UNITS:
            if u["start"] <= off <= u["start"] + u["size"]:
                return u["name"]
        return ""

    def source_unit(off):
        for u in UNITS:
            if u["start"] <= off < u["start"] + u["size"]:
                return u
        return None

    def proc_at(off):
        for p, u in all_procs():
            procs = u["procs"]
            i = procs.index(p)
            end = procs[i + 1]["off"] if i + 1 < len(procs) else u["start"] + u["size"]
            if p["off"] <= off < end:
                # The name is cut against the unit found at the offset, which at a module's end
                # is the module before.
                return (td32_name(unit_at(off), p["td32raw"]), off - p["off"])
        return ("", 0)

    for p, u in all_procs():
        assert td32_name(u["name"], p["td32raw"]) == p["td32"], p

    def line_at(off):
        u = source_unit(off)
        if not u:
            return 0
        for ln, o in u["lines"]:
            if o == off:
                return ln
        ls = u["lines"]
        for i in range(1, len(ls)):
            if ls[i - 1][1] < off < ls[i][1]:
                return ls[i - 1][0]
        return 0

    def source_at(off):
        u = source_unit(off)
        return u["file"] if u else ""

    write_cases(os.path.join(out, "td32_cases.txt"),
                [locate(q, unit_at, proc_at, line_at, source_at) for q in queries()])


# ---- PE images (as loaded: each section at its virtual address) --------------------------------

def write_image(path, sections, td32=None, directory_shift=0):
    image = bytearray(0x3000)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 60, 0x80)
    pe = 0x80
    image[pe:pe + 4] = b"PE\x00\x00"
    count = 1 + len(sections)
    struct.pack_into("<HHIIIHH", image, pe + 4, 0x14C, count, 0, 0, 0, 224, 0x102)
    opt = pe + 24
    struct.pack_into("<H", image, opt, 0x10B)
    struct.pack_into("<I", image, opt + 92, 16)  # number of data directories
    headers = opt + 224

    def header(i, name, va, vsize, raw):
        h = headers + 40 * i
        image[h:h + 8] = name.ljust(8, b"\x00")
        struct.pack_into("<IIII", image, h + 8, vsize, va, raw, va)

    header(0, b".text", 0x1000, 0x1000, 0x1000)
    for i, (name, data) in enumerate(sections, 1):
        va = 0x2000
        if td32 is not None:
            entry = va
            raw_at = va + 0x100
            struct.pack_into("<IIHHIIII", image, entry, 0, 0, 0, 0, 9, len(td32), raw_at, raw_at)
            image[raw_at:raw_at + len(td32)] = td32
            struct.pack_into("<II", image, opt + 96 + 6 * 8, va + directory_shift, 28)
            header(i, name, va, 0x100 + len(td32), 0x1000)
        else:
            image[va:va + len(data)] = data
            header(i, name, va, len(data), (len(data) + 0x1FF) & ~0x1FF)
    with open(path, "wb") as f:
        f.write(image)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_map(out)
    write_jcl(out)
    write_td32(out)
    with open(os.path.join(out, "debug_index.txt"), "w") as f:
        f.write("map jcl td32\n")


if __name__ == "__main__":
    main()
