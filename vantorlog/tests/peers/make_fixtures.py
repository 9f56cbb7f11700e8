#!/usr/bin/python3
"""Independent writer of test fixtures: hash and Base64 vectors, zlib streams, and options
blocks of every stream version with the settings a reader must end up with."""
import base64
import binascii
import hashlib
import os
import random
import struct
import sys
import zlib

KEY = 0x4E
CURRENT = 6015


def hexs(b):
    return b.hex() if b else "-"


def write_hashes(out):
    inputs = [b"", b"a", b"abc", b"123456789", b"message digest",
              b"abcdefghijklmnopqrstuvwxyz", bytes(range(256)),
              b"x" * 55, b"y" * 56, b"z" * 63, b"w" * 64, b"v" * 65, b"u" * 119, b"t" * 120,
              bytes((i * 7 + 3) & 0xFF for i in range(1000))]
    with open(os.path.join(out, "hashes.txt"), "w") as f:
        for data in inputs:
            f.write("%s %s %04x %s\n" % (hexs(data), hashlib.md5(data).hexdigest(),
                                         binascii.crc_hqx(data, 0),
                                         base64.b64encode(data).decode() or "-"))


def write_zlib(out):
    rnd = random.Random(7)
    cases = {
        "text": b"The quick brown fox jumps over the lazy dog.\r\n" * 300,
        "random": bytes(rnd.getrandbits(8) for _ in range(5000)),
        "zeros": bytes(200000),  # compresses to a few hundred bytes: many growth steps
        "empty": b"",
    }
    with open(os.path.join(out, "zlib.txt"), "w") as f:
        for name, data in cases.items():
            packed = zlib.compress(data, 9)
            with open(os.path.join(out, name + ".z"), "wb") as z:
                z.write(packed)
            f.write("%s %d %s\n" % (name, len(data), hashlib.md5(data).hexdigest()))


# ---- options blocks --------------------------------------------------------------------------

class Block:
    def __init__(self):
        self.data = bytearray()

    def b(self, v):
        self.data += struct.pack("<B", v)

    def w(self, v):
        self.data += struct.pack("<H", v)

    def d(self, v):
        self.data += struct.pack("<i", v)

    def s(self, text):
        raw = text.encode("latin-1")
        self.data += struct.pack("<i", len(raw)) + bytes(c ^ KEY for c in raw)


def absent(i, v):
    r = lambda lo, hi: lo <= i <= hi
    if v < 420 and i == 20:
        return True
    if v <= 420 and i == 19:
        return True
    if v < 450 and (i in (9, 10, 15, 16, 41, 47, 48, 68, 81) or r(22, 24) or r(110, 157)):
        return True
    if v < 500 and (i in (25, 42, 131, 144, 145) or r(72, 77) or r(84, 91) or r(98, 104)):
        return True
    if 500 <= v < 6000 and i in (17, 18):
        return True
    if v < 6000 and (i in (2, 21, 41, 43, 83, 113) or r(11, 14) or r(26, 36) or r(51, 60)
                     or r(105, 109) or r(117, 122) or r(133, 140) or r(146, 157)):
        return True
    return False


def show_flags_after(old, v):
    """old: list of the 4 or 5 stored bytes."""
    flags = list(old) + [0] * (6 - len(old))
    bits = "".join("1" if (flags[k // 8] >> (k % 8)) & 1 else "0" for k in range(48))
    if v < 500:
        ins = [("11", 5), ("1", 10), ("1111", 13), ("1111", 23), ("111111", 31), ("1111111", 42)]
    else:
        ins = [("1", 6), ("1", 10), ("1111", 13), ("1111", 23), ("111", 34), ("1", 41), ("1", 48)]
    for run, pos in ins:
        bits = bits[:pos - 1] + run + bits[pos - 1:]
    out = [0] * 6
    for k in range(48):
        if bits[k] == "1":
            out[k // 8] |= 1 << (k % 8)
    return out


# Defaults of the settings that an old block does not carry (from the options' documentation).
DEFAULTS = {"FSendFlags": 81, "FDialogOptions": 399, "FStackFlags": 15, "FDialogKind": 2,
            "FTerminateAction": 2, "FSmtpPortNo": 25, "FWriteLogFile": 1, "FFirstTab": 0,
            "FHangCheck": 0, "FHangTimeoutSecs": 60, "FBehaviourFlags": 88, "FLeakFlags": 30,
            "FCrashAction": 2, "FCrashCount": 10, "FCrashMinutes": 1, "FBuildFlags": 1,
            "FProxyPortNo": 8080, "FWebMode": 0, "FWebPortNo": 0, "FDialogAutoCloseSecs": 0}


def text_value(rnd, i):
    # Some texts end in a single line break (dropped by writers), some carry several.
    t = "t%d-%s" % (i, "".join(rnd.choice("abcXYZ %&") for _ in range(rnd.randint(0, 12))))
    if i % 17 == 0:
        t += "\r\nsecond line"
    return t


def make_options_block(v, rnd, variant=0):
    blk = Block()
    exp = {}
    keep_texts = []
    texts = {}

    def B(name, value):
        blk.b(value)
        if name:
            exp[name] = value

    def W(name, value):
        blk.w(value)
        if name:
            exp[name] = value

    def D(name, value):
        blk.d(value)
        if name:
            exp[name] = value

    def S(name, value):
        blk.s(value)
        if name:
            exp[name] = value

    def rs(n=10):
        return "".join(rnd.choice("abcdefgh.@-_ ") for _ in range(rnd.randint(0, n)))

    B("FLogEnabled", rnd.randint(0, 1))
    B("FHandleExceptions", rnd.randint(0, 1))
    B("FLogFlags", rnd.randint(0, 255))
    dialog_kind = DEFAULTS["FDialogKind"]
    if v < 500:
        shown = [0, 1][variant % 2]
        blk.b(shown)
        eff = shown ^ 1 if v < 450 else shown
        if eff == 0:
            dialog_kind = 0
    B("FAppendToLog", rnd.randint(0, 1))
    send_flags = DEFAULTS["FSendFlags"]
    if 450 <= v < 500:
        three = [1, 0, 1] if variant % 2 == 0 else [0, 1, 0]
        for bit, on in zip((0x04, 0x10, 0x01), three):
            blk.b(on)
            send_flags = send_flags | bit if on else send_flags & ~bit
    if v >= 401:
        B("FWriteLogFile", rnd.randint(0, 1))
        tab = 3 if variant % 2 == 0 else rnd.choice([0, 1, 2, 4, 5])
        blk.b(tab)
        exp["FFirstTab"] = 5 if (v < 6000 and tab == 3) else tab
    dialog_options = DEFAULTS["FDialogOptions"]
    if 403 <= v < 500:
        on = variant % 2
        blk.b(on)
        dialog_options = dialog_options | 0x40 if on else dialog_options & ~0x40
    freeze = ""
    if v >= 420:
        B("FHangCheck", 1)
        secs = rnd.randint(1, 500)
        if v < 422:
            blk.d(secs * 1000 + rnd.randint(0, 999))
        else:
            blk.d(secs)
        exp["FHangTimeoutSecs"] = secs
        if v < 6000:
            freeze = "" if variant % 2 else "Frozen! " + rs()
            blk.s(freeze)
    if v >= 450:
        S("FSmtpSender", rs())
    server = "" if variant % 2 else "smtp." + rs(5)
    S("FSmtpServer", server)
    if v >= 450:
        W("FSmtpPortNo", rnd.randint(1, 65535))
    terminate_action = DEFAULTS["FTerminateAction"]
    if v >= 421:
        S("FSmtpLogin", rs())
        S("FSmtpPass", rs())
        terminate_action = rnd.choice([0, 1, 2])
        blk.b(terminate_action)
    if v < 6000:
        keep = variant % 2
        blk.b(keep)
        if keep == 0:
            terminate_action = 0
    exp["FTerminateAction"] = terminate_action
    D("FMaxSavedReports", rnd.randint(1, 100))
    D("FTerminateAfterCount", rnd.randint(0, 10))
    S("FMailRecipients", rs())
    S("FMailSubjectText", rs())
    mode = rnd.choice([0, 1, 2, 3])
    blk.b(mode)
    if v < 450 and mode != 0:
        mode = 2 if server else 1
    exp["FMailMode"] = mode
    if v >= 6000:
        flags = [rnd.randint(0, 255) for _ in range(6)]
        for x in flags:
            blk.b(x)
    else:
        old = [rnd.randint(0, 255) for _ in range(4 if v < 500 else 5)]
        for x in old:
            blk.b(x)
        flags = show_flags_after(old, v)
    exp["FDialogShowFlags"] = flags
    if v < 450:
        blk.b(rnd.randint(0, 255))
    S("FLogFolder", rs())
    stack_flags = DEFAULTS["FStackFlags"]
    if v >= 500:
        B("FWebMode", rnd.randint(0, 6))
        S("FWebAddress", rs())
        S("FWebLogin", rs())
        S("FWebPass", rs())
        D("FWebPortNo", rnd.randint(0, 65535))
        S("FExtraFiles", rs())
        send_flags = rnd.randint(0, 0xFFFF)
        blk.w(send_flags)
        if v < 6000:
            dialog_options = rnd.randint(0, 255)
            blk.b(dialog_options)
        else:
            dialog_options = rnd.randint(0, 0xFFFF)
            blk.w(dialog_options)
        D("FDialogAutoCloseSecs", rnd.randint(0, 100))
        S("FSupportLink", rs())
        S("FHtmlTemplate", "<html>" + rs() + "</html>")
        stack_flags = rnd.randint(0, 255)
        blk.b(stack_flags)
        if v < 6000:
            B("FBehaviourFlags", rnd.randint(0, 255))
        else:
            W("FBehaviourFlags", rnd.randint(0, 0xFFFF))
            B("FLeakFlags", rnd.randint(0, 255))
        B("FCrashAction", rnd.randint(0, 2))
        D("FCrashCount", rnd.randint(0, 50))
        D("FCrashMinutes", rnd.randint(0, 50))
        if v >= 6000:
            B("FBuildFlags", rnd.randint(0, 255))
            dialog_kind = rnd.randint(0, 3)
            blk.b(dialog_kind)
            S("FProxyAddress", rs())
            S("FProxyLogin", rs())
            S("FProxyPass", rs())
            W("FProxyPortNo", rnd.randint(0, 65535))
            for name in ("FTrackerLogin", "FTrackerPass", "FTrackerAssignee",
                         "FTrackerProjectName", "FTrackerCategoryName", "FTrackerTrialId",
                         "FZipPass"):
                S(name, rs())
    if v < 6000:
        stack_flags |= 0x10
        send_flags &= ~0x200
    exp["FSendFlags"] = send_flags
    exp["FDialogOptions"] = dialog_options
    exp["FStackFlags"] = stack_flags
    exp["FDialogKind"] = dialog_kind

    filters = []
    n = rnd.randint(0, 4)
    blk.d(n)
    for _ in range(n):
        name = rnd.choice(["EAccessViolation", "Exception", "std::runtime_error", " econverterror"])
        msg = rnd.choice(["", "Custom %TEMP% text", "x"])
        if v >= 6000:
            active, kind, dialog, handling, after = (rnd.randint(0, 1), rnd.randint(0, 3),
                                                     rnd.randint(0, 4), rnd.randint(0, 2),
                                                     rnd.randint(0, 2))
            blk.b(active)
            blk.s(name)
            blk.s(msg)
            for x in (kind, dialog, handling, after):
                blk.b(x)
        else:
            blk.s(name)
            blk.s(msg)
            active, kind, dialog, handling, after = 1, 2, (2 if msg else 0), 0, 0
        filters.append((active, name, msg, kind, dialog, handling, after))
    S("FMailBody", rs(30))
    for i in range(158):
        if i == 68 and v < 6000:
            blk.s("dropped")
        if absent(i, v):
            keep_texts.append(i)
        else:
            t = text_value(rnd, i)
            blk.s(t)
            texts[i] = t
    if v >= 6000:
        S("FTextsLanguage", "Lang" + rs(4))
    if freeze:
        texts[156] = freeze
        if 156 in keep_texts:
            keep_texts.remove(156)
    return bytes(blk.data), exp, filters, texts, keep_texts


def write_options(out):
    versions = [400, 401, 402, 403, 419, 420, 421, 422, 449, 450, 451, 499, 500, 550, 599,
                5999, 6000, 6001, 6002, 6010, 6015]
    index = open(os.path.join(out, "options_index.txt"), "w")
    for v in versions:
        for variant in (0, 1):
            rnd = random.Random(v * 10 + variant)
            data, exp, filters, texts, keep = make_options_block(v, rnd, variant)
            stem = "options_%d_%d" % (v, variant)
            with open(os.path.join(out, stem + ".bin"), "wb") as f:
                f.write(data)
            with open(os.path.join(out, stem + ".expect"), "w") as f:
                for k, val in sorted(exp.items()):
                    if isinstance(val, str):
                        f.write("S %s %s\n" % (k, hexs(val.encode("latin-1"))))
                    elif isinstance(val, list):
                        f.write("F %s %s\n" % (k, bytes(val).hex()))
                    else:
                        f.write("N %s %d\n" % (k, val))
                for i, t in sorted(texts.items()):
                    # A single trailing line break never reaches the block; the text is as read.
                    f.write("T %d %s\n" % (i, hexs(t.encode("latin-1"))))
                for i in keep:
                    f.write("K %d\n" % i)
                f.write("C %d\n" % len(filters))
                for flt in filters:
                    f.write("R %d %s %s %d %d %d %d\n" % (flt[0], hexs(flt[1].encode()),
                                                         hexs(flt[2].encode()), *flt[3:]))
            index.write("%s %d\n" % (stem, v))
    index.close()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_hashes(out)
    write_zlib(out)
    write_options(out)


if __name__ == "__main__":
    main()
