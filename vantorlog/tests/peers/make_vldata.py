#!/usr/bin/python3
"""Independent writer of debug-data blocks (resource and appended forms) of every version,
with the lookups a reader must answer. Usage: make_vldata.py <fixture folder>

Each case <name>.bin comes with <name>.expect:
  OK 0|1, VERSION v, DATE <8 bytes hex>, KNOWN 0|1, OWNER <hex>|-, OWN <hex>|-, FORM R|A,
  OPT N <field> <value> / OPT S <field> <hex>, SYM <id> <offset>|-,
  PROLOGUE <offset> <hex>, PROBE <offset> <found> <unit hex> <class hex> <proc hex> <line> <off>
"""
import base64
import hashlib
import os
import random
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_fixtures  # noqa: E402  (options blocks of every stream version)

MAGIC = 0x100FAB10
MAGIC_OLD = 0x000FAB10
KEY = 0x4E


def hexs(b):
    if isinstance(b, str):
        b = b.encode("latin-1")
    return b.hex() if b else "-"


# ---- the cipher: TEA rounds with added terms, CBC from a zero chain, a stream tail ----------

class Cipher:
    def __init__(self, password):
        d = hashlib.md5(password.encode("latin-1")).digest()
        self.k = struct.unpack(">4I", d)

    def encipher(self, block):
        y, z = struct.unpack(">2I", block)
        k0, k1, k2, k3 = self.k
        s = 0
        m = 0xFFFFFFFF
        for _ in range(32):
            s = (s + 0x9E3779B9) & m
            y = (y + (((z << 4) & m) + (z ^ k0) + ((z >> 5) ^ s) + k1)) & m
            z = (z + (((y << 4) & m) + (y ^ k2) + ((y >> 5) ^ s) + k3)) & m
        return struct.pack(">2I", y, z)

    def encrypt(self, plain):
        chain = bytes(8)
        out = bytearray()
        pos = 0
        while pos + 8 <= len(plain):
            block = self.encipher(bytes(a ^ b for a, b in zip(plain[pos:pos + 8], chain)))
            out += block
            chain = block
            pos += 8
        if pos < len(plain):
            pad = self.encipher(chain)
            out += bytes(a ^ b for a, b in zip(plain[pos:], pad))
        return bytes(out)


# ---- debug-info stream --------------------------------------------------------------------

class Writer:
    def __init__(self, version, password, known):
        self.v = version
        self.cipher = Cipher(password)
        self.known = known

    def code(self, raw):
        if self.v < 500:
            return bytes(c ^ KEY for c in raw)
        return self.cipher.encrypt(raw)

    def stored(self, parts, unit):
        """parts: the name's pieces (more than one only from 502 on). Returns (bytes, what a
        reader makes of it)."""
        out = bytearray()
        seen = []
        for i, p in enumerate(parts):
            raw = p.encode("latin-1")
            more = i + 1 < len(parts)
            length = len(raw) | (0x80 if more else 0)
            coded = self.code(raw)
            out += bytes([length]) + coded
            if self.v < 500 or self.known:
                seen.append(p)
            else:
                t = ("?" + base64.b64encode(coded).decode())[:255]
                if unit and i == 0:
                    t = t[0] + "p" + t[1:]
                seen.append(t)
        name = ".".join(seen)[:255]
        if unit and "." not in name and self.known:
            name += ".pas"
        return bytes(out), name


def split_proc(name, prev_class):
    if "." not in name:
        cls, proc = "", name
    else:
        dot = name.index(".")
        cls = name[:dot] if dot > 0 else prev_class
        proc = name[dot + 1:]
    if proc.startswith("@"):
        proc = "_" + proc[1:]
    return cls, proc


def forms_for(dl, dc, proc, v):
    forms = []
    if not proc and 1 <= dl <= 4 and 1 <= dc <= 32:
        forms.append("b0")
    if proc and 1 <= dl <= 8 and 1 <= dc <= 8:
        forms.append("b1")
    if 1 <= dl <= 32 and 1 <= dc <= 128:
        forms.append("w")
    if 1 <= dl <= 65536 and 0 <= dc <= 4095:
        if not (dl - 1 == 0xFFFE and dc == 4095):  # that word is the escape
            forms.append("d")
    if v > 422 and 1 <= dl <= 65536 and 1 <= dc <= 65536:
        forms.append("e")
    return forms


def record(form, dl, dc, proc):
    if form == "b0":
        return bytes([((dl - 1) << 6) | ((dc - 1) << 1)])
    if form == "b1":
        return bytes([((dl - 1) << 5) | ((dc - 1) << 2) | 1])
    if form == "w":
        return struct.pack("<H", ((dl - 1) << 11) | ((dc - 1) << 4) | (4 if proc else 0) | 3)
    if form == "d":
        c = 4095 if dc == 0 else dc - 1
        return struct.pack("<I", (c << 20) | ((dl - 1) << 4) | 8 | (4 if proc else 0) | 3)
    return struct.pack("<IHH", (0x0FFEFFFE << 4) | 8 | (4 if proc else 0) | 3, dl - 1, dc - 1)


def build_units(rnd, v, w):
    """Returns (stream bytes, probes, prologues)."""
    cont = v >= 502
    unit_specs = [
        (["Alpha"], 0x0, True),
        (["Beta", "Gamma", "Unit"] if cont else ["BetaUnit"], 0x300, True),
        (["main.cpp"], 0x10, False),
    ]
    stream = bytearray()
    probes = []
    prologues = {}
    forms_used = set()
    body = bytearray()
    end = 0
    for uparts, gap, framed in unit_specs:
        start = end + gap
        name_bytes, unit_name = w.stored(uparts, True)
        first_line = rnd.randint(1, 50)
        # Points: (offset, line, procedure name or None); steps of all sizes.
        steps = [(1, 1, None), (3, 20, None), (2, 5, "TFoo.Create"), (1, 1, ".Destroy"),
                 (4, 32, None), (8, 8, "@Helper"), (30, 100, None), (32, 128, "TBar.Run"),
                 (500, 4000, None), (7, 0, None), (1, 4095, ".Stop"), (0xFFFF, 4096, None),
                 (40000, 60000, "Initialization"), (2, 3, "Finalization"),
                 (1, 2, "Plain"), (1, 1, None, "b0"), (16, 300, "TZed.Far", "d")]
        if v <= 422:
            steps = [s if s[1] <= 4095 and s[0] <= 65536 else (s[0], 4000) + s[2:] for s in steps]
        rnd.shuffle(steps)
        # Opening record: code step 0 into the first procedure.
        recs = bytearray()
        cur_line = first_line
        cur_off = start
        cls = ""
        proc = ""
        proc_open = False
        proc_line = 0
        proc_off = 0
        segments = []  # (from, to_exclusive, line, cls, proc, proc_open, proc_line, name)
        last_name = ""
        for step in steps:
            dl, dc, pname = step[:3]
            forms = forms_for(dl, dc, pname is not None, v)
            fresh = [f for f in forms if f not in forms_used]
            form = fresh[0] if fresh else rnd.choice(forms)
            if len(step) > 3:  # the record 00 (one line, one byte) and one whose first byte is FF
                form = step[3]
            forms_used.add(form)
            segments.append((cur_off, cur_off + dc, cur_line, cls, proc, proc_open, proc_line,
                             last_name, proc_off))
            recs += record(form, dl, dc, pname is not None)
            cur_line += dl
            cur_off += dc
            if pname is not None:
                parts = [pname]
                if cont and pname == "TBar.Run":
                    parts = ["TBar", "Run"]
                nb, seen = w.stored(parts, False)
                recs += nb
                cls, proc = split_proc(seen, cls)
                proc_open = True
                proc_line = cur_line
                proc_off = cur_off
                last_name = proc
                prologues[cur_off] = rnd.choice([b"\x55\x8b\xec", b"\x53\x56\x57", b"\x55\x89\xe5"])
        size = cur_off - start + rnd.randint(1, 40)
        segments.append((cur_off, start + size, cur_line, cls, proc, proc_open, proc_line,
                         last_name, proc_off))
        body += name_bytes + struct.pack("<4I", first_line, start, size, len(recs)) + recs
        for (a, b, line, c, p, po, pl, pn, poff) in segments:
            if a >= b:
                continue
            off = 0
            if po:
                first = pl
                pro = prologues.get(poff, b"")
                if pn == "Finalization" or (pn != "Initialization" and not (
                        pro.startswith(b"\x55\x8b\xec") or pro.startswith(b"\x53"))):
                    first -= 1
                off = max(0, line - first)
            for x in sorted({a, b - 1, (a + b) // 2}):
                probes.append((x, 1, unit_name, c, p, line, off))
        end = start + size
        probes.append((end, 0, "", "", "", 0, 0))  # the gap behind the unit
    stream += struct.pack("<I", len(unit_specs)) + body
    if 404 < v < 500:
        old = bytes(rnd.getrandbits(8) for _ in range(rnd.randint(0, 30)))
        stream = struct.pack("<I", len(old)) + old + stream
    assert v <= 422 or forms_used >= {"b0", "b1", "w", "d", "e"}, forms_used
    return bytes(stream), probes, prologues


def check_word(password):
    return Cipher(password).encrypt(struct.pack("<I", MAGIC))


def resource_block(word, v, date, options, stream, password, magic=MAGIC, directory=b"",
                   corrupt=None):
    inner = (options if v < 500 else b"") + struct.pack("<I", len(stream)) + stream
    if corrupt == "n_too_big":
        inner = (options if v < 500 else b"") + struct.pack("<I", len(stream) + 1) + stream
    main = inner if v < 450 else zlib.compress(inner, 9)
    if corrupt == "main":
        main = bytearray(main)
        main[len(main) // 2] ^= 0x55
        main = bytes(main)
    out = struct.pack("<IH", magic, word) + date
    if v >= 6000:
        out += b"\x1e\x00"
    if v >= 500:
        zopt = zlib.compress(options, 9)
        if corrupt == "options":
            zopt = bytearray(zopt)
            zopt[len(zopt) // 2] ^= 0x55
            zopt = bytes(zopt)
        if corrupt == "options_garbage":
            zopt = zlib.compress(b"\x01\x02\x03", 9)
        if corrupt == "options_empty":
            zopt = zlib.compress(b"", 9)
        out += struct.pack("<I", len(directory)) + directory
        out += struct.pack("<I", len(zopt)) + zopt + check_word(password)
    return out + main


def appended_file(v, date, options, stream, magic=MAGIC, bad_size=False):
    block = struct.pack("<H", v) + date + options + struct.pack("<I", len(stream)) + stream
    size = len(block) + (1000 if bad_size else 0)
    return b"MZ" + bytes(200) + block + struct.pack("<II", size, magic)


def write_case(out, index, name, data, expect):
    with open(os.path.join(out, name + ".bin"), "wb") as f:
        f.write(data)
    with open(os.path.join(out, name + ".expect"), "w") as f:
        f.write("\n".join(expect) + "\n")
    index.write(name + "\n")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    index = open(os.path.join(out, "vldata_index.txt"), "w")
    directory = b"".join(struct.pack("<BII", i, off, 16) for i, off in
                         ((0, 0x120), (1, 0x240), (18, 0x7000), (1, 0x9999)))
    # (name, stored word, version, magic, password, owner answer, own answer, known, form,
    #  corrupt, expect ok)
    cases = [
        ("r6015", 6015, 6015, MAGIC, "", None, None, 1, "R", None, 1),
        ("r6015_oldmagic", 6015, 6015, MAGIC_OLD, "", None, None, 1, "R", None, 1),
        ("r6010", 6010, 6010, MAGIC, "", None, None, 1, "R", None, 1),
        ("r6000", 6000, 6000, MAGIC, "", None, None, 1, "R", None, 1),
        ("r600", 600, 6000, MAGIC, "", None, None, 1, "R", None, 1),
        ("r601", 601, 6001, MAGIC, "", None, None, 1, "R", None, 1),
        ("r602", 602, 6002, MAGIC, "", None, None, 1, "R", None, 1),
        ("r5999", 5999, 5999, MAGIC, "", None, None, 1, "R", None, 1),
        ("r502", 502, 502, MAGIC, "", None, None, 1, "R", None, 1),
        ("r500", 500, 500, MAGIC, "", None, None, 1, "R", None, 1),
        ("r499", 499, 499, MAGIC, "", None, None, 1, "R", None, 1),
        ("r450", 450, 450, MAGIC, "", None, None, 1, "R", None, 1),
        ("r449", 449, 449, MAGIC, "", None, None, 1, "R", None, 1),
        ("r422", 422, 422, MAGIC, "", None, None, 1, "R", None, 1),
        ("r404", 404, 404, MAGIC, "", None, None, 1, "R", None, 1),
        ("r400", 400, 400, MAGIC, "", None, None, 1, "R", None, 1),
        ("r6016", 6016, 6015, MAGIC, "", None, None, 1, "R", None, 0),
        ("pw_owner", 6015, 6015, MAGIC, "secret", "secret", "wrong", 1, "R", None, 1),
        ("pw_own", 6015, 6015, MAGIC, "secret", "wrong", "secret", 1, "R", None, 1),
        ("pw_own_only", 6015, 6015, MAGIC, "s3", None, "s3", 1, "R", None, 1),
        ("pw_unknown", 6015, 6015, MAGIC, "secret", "no", "nope", 0, "R", None, 1),
        ("pw_unknown502", 502, 502, MAGIC, "x", None, None, 0, "R", None, 1),
        ("bad_main", 6015, 6015, MAGIC, "", None, None, 1, "R", "main", 0),
        ("bad_options", 6015, 6015, MAGIC, "", None, None, 1, "R", "options", 0),
        ("bad_options_block", 6015, 6015, MAGIC, "", None, None, 1, "R", "options_garbage", 0),
        ("empty_options", 6015, 6015, MAGIC, "", None, None, 1, "R", "options_empty", 0),
        ("bad_count", 6015, 6015, MAGIC, "", None, None, 1, "R", "n_too_big", 0),
        ("bad_main449", 449, 449, MAGIC, "", None, None, 1, "R", "n_too_big", 0),
        ("a6015", 6015, 6015, MAGIC, "", None, None, 1, "A", None, 1),
        ("a6015_oldmagic", 6015, 6015, MAGIC_OLD, "", None, None, 1, "A", None, 1),
        ("a450", 450, 450, MAGIC, "", None, None, 1, "A", None, 1),
        ("a6016", 6016, 6015, MAGIC, "", None, None, 1, "A", None, 0),
        ("a_bad_size", 6015, 6015, MAGIC, "", None, None, 1, "A", "size", 0),
    ]
    for (name, word, v, magic, password, owner, own, known, form, corrupt, ok) in cases:
        rnd = random.Random(name)
        opt_version = min(v, 6015)
        options, exp, _, _, _ = make_fixtures.make_options_block(opt_version, rnd, 0)
        date = struct.pack("<d", 45000 + rnd.random() * 1000)
        w = Writer(v if v <= 6015 else 6015, password, known)
        stream, probes, prologues = build_units(rnd, v if v <= 6015 else 6015, w)
        if form == "R":
            data = resource_block(word, v, date, options, stream, password, magic,
                                  directory if v >= 500 else b"", corrupt)
        else:
            data = appended_file(word, date, options, stream, magic, corrupt == "size")
        e = ["OK %d" % ok, "FORM " + form, "WORD %d" % word,
             "VERSION %d" % (v if ok else 6015),
             "DATE %s" % (date.hex() if ok else bytes(8).hex()),
             "KNOWN %d" % known, "OWNER %s" % ("-" if owner is None else hexs(owner) or "-"),
             "OWN %s" % ("-" if own is None else hexs(own) or "-")]
        if ok:
            for field in ("FSmtpServer", "FMailRecipients", "FLogFolder"):
                e.append("OPT S %s %s" % (field, hexs(exp[field])))
            for field in ("FMaxSavedReports", "FTerminateAfterCount", "FMailMode"):
                e.append("OPT N %s %d" % (field, exp[field]))
            for off, pro in sorted(prologues.items()):
                e.append("PROLOGUE %x %s" % (off, pro.hex()))
            for (x, found, unit, cls, proc, line, off) in probes:
                e.append("PROBE %x %d %s %s %s %d %d" % (x, found, hexs(unit), hexs(cls),
                                                         hexs(proc), line, off))
        if form == "R" and v >= 500 and ok:
            for i in (0, 1, 18, 5):
                first = {0: 0x120, 1: 0x240, 18: 0x7000}.get(i)
                e.append("SYM %d %s" % (i, "-" if first is None else "%x" % first))
        write_case(out, index, "vldata_" + name, data, e)
    index.close()


if __name__ == "__main__":
    main()
