#!/usr/bin/python3
"""Checks the CALL-form byte cases against objdump: the lengths a case lists are exactly those
k for which the case's last k bytes decode as one call instruction.
Usage: call_forms_vs_objdump.py WORKDIR OBJDUMP -- DUMP-COMMAND..."""
import os
import re
import subprocess
import sys


def first_instruction(objdump, work, data):
    path = os.path.join(work, "case.bin")
    with open(path, "wb") as f:
        f.write(data)
    out = subprocess.run([objdump, "-D", "-b", "binary", "-m", "i386", path], check=True,
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        m = re.match(r"^\s+0:\t((?:[0-9a-f]{2} )+)\s*\t(\S+)", line)
        if m:
            return len(m.group(1).split()), m.group(2)
    return 0, ""


def main():
    work, objdump = sys.argv[1], sys.argv[2]
    command = sys.argv[sys.argv.index("--") + 1:]
    os.makedirs(work, exist_ok=True)
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    failures = checked = 0
    for line in out.splitlines():
        line = line.strip()
        if not line:
            continue
        hexes, lengths, what = line.split("|", 2)
        data = bytes(int(h, 16) for h in hexes.split())
        calls = []
        for k in range(1, len(data) + 1):
            n, mnemonic = first_instruction(objdump, work, data[-k:])
            if n == k and mnemonic.startswith("call"):
                calls.append(k)
        want = sorted(int(n) for n in lengths.split())
        checked += 1
        if calls != want:
            failures += 1
            print("FAIL %s (%s): objdump finds calls of %s bytes ending there, the case says %s"
                  % (hexes, what, calls, want))
    print("%d cases, %d failures" % (checked, failures))
    sys.exit(1 if failures or checked < 40 else 0)


if __name__ == "__main__":
    main()
