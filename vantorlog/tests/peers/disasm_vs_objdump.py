#!/usr/bin/python3
"""Compares the disassembler's instruction lengths (and mnemonics where the two styles name
the same thing) with objdump's over generated opcode-map code and, optionally, the .text of a
real i686 program.

Usage: disasm_vs_objdump.py <work dir> [--text <PE file>] -- <disasm_dump command...>
"""
import os
import re
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"
OBJCOPY = "i686-w64-mingw32-objcopy"
SLOT = 24
PREFIXES = {0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}

# Where the disassembler differs on purpose (each checked by the rules below):
# - Its tables stop at MMX: SSE, SSE2, SSE3 (fisttp), SSSE3, SMX (getsec), VIA PadLock, VMX,
#   TSX and later extensions are data ("DB"), and so are the prefixed 0F forms that select
#   them (66/F2/F3 0F ..), where objdump may decode XMM forms or find none.
# - Undocumented aliases (salc D6, int1 F1, F6/F7 /1 test, the shift group's /6, FPU register
#   aliases such as D9 D8+i fstp1) are data; so is les (C4), shown as data with its text.
# - Operands that must be memory (lea, bound, lds/les/lss/lfs/lgs, far call/jmp, cmpxchg8b,
#   the descriptor-table group 0F 01) are shown with the register when mod is 3; objdump says
#   "(bad)" there, or decodes the later instructions that 0F 01 C0-FF and C4/C5 (VEX) became.
# - 8F, C6 and C7 ignore the reg field (objdump: "(bad)", or xabort/xbegin for C6/C7 F8).
# - The MMX shift groups 0F 71-73 accept a memory operand (objdump: "(bad)").
# - FWAIT (9B) is its own instruction; objdump folds it into the next FPU instruction.
DATA_ONE_BYTE = {0xD6, 0xF1}
DATA_TWO_BYTE = (set(range(0x10, 0x1F)) | set(range(0x28, 0x30)) | set(range(0x50, 0x60)) |
                 set(range(0x36, 0x40)) | {0x05, 0x07, 0x0A, 0x0C, 0x0D, 0x0E, 0x0F, 0x6C,
                 0x6D, 0x70, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0xA6, 0xA7, 0xAE, 0xB8, 0xB9,
                 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xD0, 0xD4, 0xD6, 0xD7, 0xDA, 0xDE, 0xE0, 0xE3,
                 0xE4, 0xE6, 0xE7, 0xEA, 0xEE, 0xF0, 0xF4, 0xF6, 0xF7, 0xFB, 0xFF})
DATA_GROUP_ROWS = {0xC0: {6}, 0xC1: {6}, 0xD0: {6}, 0xD1: {6}, 0xD2: {6}, 0xD3: {6},
                   0xF6: {1}, 0xF7: {1}, 0xFE: set(range(2, 8)), 0xFF: {7}}
TWO_BYTE_GROUP_ROWS = {0x00: {6, 7}, 0x01: {5}, 0x71: {0, 1, 3, 5, 7}, 0x72: {0, 1, 3, 5, 7},
                       0x73: {0, 1, 3, 4, 5, 7}, 0xBA: {0, 1, 2, 3}, 0xC7: {0, 2, 3, 4, 5, 6, 7}}
DATA_FPU = ({(0xD9, r) for r in range(0xD8, 0xE0)} | {(0xDC, r) for r in range(0xD0, 0xE0)} |
            {(0xDD, r) for r in range(0xC8, 0xD0)} | {(0xDE, r) for r in range(0xD0, 0xD8)} |
            {(0xDF, r) for r in range(0xC0, 0xE0)} | {(0xDB, r) for r in (0xE0, 0xE1, 0xE4,
                                                                             0xE5)} |
            {(e, m) for e in (0xDB, 0xDD, 0xDF) for m in range(0xC0) if (m >> 3) & 7 == 1})
MEMORY_ONLY_ONE_BYTE = {0x62, 0x8D, 0xC4, 0xC5}
MEMORY_ONLY_TWO_BYTE = {0x01, 0xB2, 0xB4, 0xB5, 0xC7}

# Names objdump gives where the disassembler's style spells the size in the mnemonic.
ALIASES = {
    "pushad": "pusha", "popad": "popa", "pushfd": "pushf", "popfd": "popf", "insd": "ins",
    "insb": "ins", "outsd": "outs", "outsb": "outs", "movsd": "movs", "movsb": "movs",
    "cmpsd": "cmps", "cmpsb": "cmps", "stosd": "stos", "stosb": "stos", "lodsd": "lods",
    "lodsb": "lods", "scasd": "scas", "scasb": "scas", "iretd": "iret", "wait": "fwait",
    "sgdt": "sgdtd", "sidt": "sidtd", "lgdt": "lgdtd", "lidt": "lidtd",
}


def sib_for(modrm):
    return (modrm * 73 + 0x25) & 0xFF


def corpus():
    """Slots of SLOT bytes, each one candidate followed by NOPs (so objdump resynchronises)."""
    slots = []
    for op in range(256):
        if op in PREFIXES or op == 0x0F:
            continue
        for m in range(256):
            slots.append(bytes([op, m, sib_for(m)]))
    for op in range(256):
        for m in range(256):
            slots.append(bytes([0x0F, op, m, sib_for(m)]))
    sample = [0x00, 0x05, 0x06, 0x0C, 0x14, 0x44, 0x45, 0x84, 0x86, 0xC0, 0xC8, 0xE8, 0xF8]
    for p in (0x66, 0x67, 0x26, 0x64, 0xF2, 0xF3, 0xF0):
        for op in range(256):
            if op in PREFIXES:
                continue
            for m in sample:
                slots.append(bytes([p, op, m, sib_for(m)]))
    for p in (0x66, 0x67):
        for op in range(256):
            for m in sample:
                slots.append(bytes([p, 0x0F, op, m, sib_for(m)]))
    return [s + b"\x90" * (SLOT - len(s)) for s in slots]


LINE = re.compile(r"^\s*([0-9a-f]+):\t((?:[0-9a-f]{2} )+)\s*(?:\t(.*))?$")


def objdump(path):
    out = subprocess.run([OBJDUMP, "-D", "-b", "binary", "-m", "i386", "-M", "intel",
                          "--insn-width=16", path], check=True, capture_output=True,
                         text=True).stdout
    found = {}
    for line in out.splitlines():
        m = LINE.match(line)
        if m:
            found[int(m.group(1), 16)] = (len(m.group(2).split()), (m.group(3) or "").strip())
    return found


def mine(command, code_path, offsets, work):
    offsets_path = os.path.join(work, "offsets.txt")
    with open(offsets_path, "w") as f:
        f.write("".join(f"{o}\n" for o in offsets))
    out = subprocess.run(command + [code_path, offsets_path], check=True, capture_output=True,
                         text=True).stdout
    found = {}
    for line in out.splitlines():
        offset, length, text = line.rstrip("\r").split("\t", 2)
        found[int(offset)] = (int(length), text)
    return found


def opcode_of(code):
    """(prefixes, opcode bytes, modrm) of the instruction bytes."""
    i = 0
    while i < len(code) and code[i] in PREFIXES:
        i += 1
    if i < len(code) and code[i] == 0x0F:
        return code[:i], code[i:i + 2], code[i + 2] if i + 2 < len(code) else None
    return code[:i], code[i:i + 1], code[i + 1] if i + 1 < len(code) else None


def deliberate_data(code):
    """True where showing these bytes as data is one of the documented differences."""
    prefixes, op, modrm = opcode_of(code)
    if not op:
        return True
    reg = (modrm >> 3) & 7 if modrm is not None else None
    if len(op) == 2:
        return (op[1] in DATA_TWO_BYTE or op[1] in TWO_BYTE_GROUP_ROWS and
                reg in TWO_BYTE_GROUP_ROWS[op[1]])
    o = op[0]
    return (o in DATA_ONE_BYTE or o in DATA_GROUP_ROWS and reg in DATA_GROUP_ROWS[o] or
            0xD8 <= o <= 0xDF and (o, modrm) in DATA_FPU)


def deliberate_decode(code):
    """True where decoding bytes that objdump rejects or reads otherwise is documented."""
    prefixes, op, modrm = opcode_of(code)
    if not op:
        return False
    if prefixes and len(op) == 2 and set(prefixes) & {0x66, 0xF2, 0xF3}:
        return True  # the SSE forms of the 0F map
    if prefixes and 0x9B not in op and deliberate_decode(code[len(prefixes):]):
        return True
    mod, reg = (modrm >> 6, (modrm >> 3) & 7) if modrm is not None else (None, None)
    if len(op) == 2:
        return (op[1] in MEMORY_ONLY_TWO_BYTE and mod == 3 or
                op[1] in (0x71, 0x72, 0x73) and mod != 3)
    o = op[0]
    return (o in MEMORY_ONLY_ONE_BYTE and mod == 3 or o == 0xFF and reg in (3, 5) and mod == 3 or
            o in (0x8F, 0xC6, 0xC7) and (reg != 0 or modrm == 0xF8) or o == 0x9B)


def first_word(text):
    return text.split()[0] if text.split() else ""


def compare(name, code, starts, theirs, ours):
    failures = []
    stats = {"length": 0, "mnemonic": 0, "data": 0, "differ": 0}
    for at in starts:
        if at not in theirs:
            failures.append(f"{name}+{at:#x}: objdump has no instruction here")
            continue
        their_len, their_text = theirs[at]
        our_len, our_text = ours[at]
        raw = code[at:at + 16]
        where = f"{name}+{at:#x} [{raw[:max(their_len, our_len)].hex(' ')}]"
        their_bad = "(bad)" in their_text or their_text == ""
        if our_text.startswith("DB ") and "//" in our_text and our_text.split("//", 1)[1]:
            # Data with the instruction's text: the length still is the instruction's.
            if not their_bad and our_len != their_len:
                failures.append(f"{where}: length {our_len}, objdump {their_len} ({their_text})")
            stats["data"] += 1
            continue
        if our_text.startswith("DB "):
            if not their_bad and not deliberate_data(raw):
                failures.append(f"{where}: shown as data, objdump decodes {their_text}")
            stats["data"] += 1
            continue
        if their_bad:
            if not deliberate_decode(raw):
                failures.append(f"{where}: objdump finds no instruction, ours {our_text}")
            stats["differ"] += 1
            continue
        if our_len != their_len:
            if deliberate_decode(raw):
                stats["differ"] += 1
                continue
            failures.append(f"{where}: length {our_len} ({our_text}), objdump {their_len} "
                            f"({their_text})")
            continue
        stats["length"] += 1
        prefixes, _, _ = opcode_of(raw)
        if prefixes:
            continue  # objdump spells prefixes in many ways (data16, repz, ds, ...)
        ours_mn, theirs_mn = first_word(our_text), first_word(their_text)
        if ALIASES.get(ours_mn, ours_mn) == theirs_mn or ours_mn == theirs_mn:
            stats["mnemonic"] += 1
        elif not deliberate_decode(raw):
            failures.append(f"{where}: mnemonic {ours_mn} ({our_text}), objdump {their_text}")
    print(f"{name}: {len(starts)} instructions, {stats['length']} lengths and "
          f"{stats['mnemonic']} mnemonics agree, {stats['data']} shown as data, "
          f"{stats['differ']} documented differences")
    return failures


def main():
    args = sys.argv[1:]
    command = args[args.index("--") + 1:]
    args = args[:args.index("--")]
    work = args[0]
    text_file = args[args.index("--text") + 1] if "--text" in args else None
    os.makedirs(work, exist_ok=True)
    failures = []

    slots = corpus()
    code = b"".join(slots)
    path = os.path.join(work, "maps.bin")
    with open(path, "wb") as f:
        f.write(code)
    starts = [i * SLOT for i in range(len(slots))]
    failures += compare("maps", code, starts, objdump(path), mine(command, path, starts, work))

    if text_file:
        path = os.path.join(work, "text.bin")
        subprocess.run([OBJCOPY, "-O", "binary", "--only-section=.text", text_file, path],
                       check=True)
        with open(path, "rb") as f:
            code = f.read()
        theirs = objdump(path)
        starts = sorted(theirs)
        failures += compare(".text", code, starts, theirs, mine(command, path, starts, work))

    with open(os.path.join(work, "differences.txt"), "w") as f:
        f.write("".join(f"{line}\n" for line in failures))
    for line in failures[:60]:
        print("FAIL", line)
    if failures:
        print(f"{len(failures)} differences")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
