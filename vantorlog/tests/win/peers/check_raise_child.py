#!/usr/bin/python3
"""Uncaught throws of the raise child: each mode's exit code and the core handler lines it
printed; the captured Eip of the raise is resolved by addr2line to the throw-site line.
Usage: check_raise_child.py <addr2line> <child.exe> <child source> <command that runs it...>"""
import re
import subprocess
import sys

addr2line, exe, source, runner = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
failures = []
with open(source, encoding="utf-8") as f:
    text = f.read().splitlines()
site = {m: next(i for i, line in enumerate(text, 1) if "// %s-site" % m in line)
        for m in ("throw", "rethrow")}

# mode: (exit code, core lines as (kind, language, class), lines that must not appear)
ABORT = 3
CASES = {
    "caught": (0, [], []),
    "uncaught": (ABORT, [("0", "1", "EConvertError")], ["end"]),
    "unrelated": (ABORT, [("0", "1", "EConvertError")], ["wrong handler", "end"]),
    "noexcept": (ABORT, [("0", "1", "EConvertError")], ["caught past noexcept", "end"]),
    # the first raise is caught; the rethrow is not
    "rethrow": (ABORT, [("0", "1", "EConvertError")], ["end"]),
    "beginthreadex": (ABORT, [("0", "1", "EConvertError")], ["end"]),
}

eips = []
for mode, (code, cores, absent) in CASES.items():
    r = subprocess.run(runner + [exe, mode], capture_output=True, text=True, timeout=120)
    lines = r.stdout.replace("\r\n", "\n").splitlines()
    if r.returncode != code:
        failures.append("%s: exit code %d, want %d (%s)" % (mode, r.returncode, code, lines))
    got = [tuple(l.split()[1:4]) for l in lines if l.startswith("core ")]
    if got != cores:
        failures.append("%s: core lines %s, want %s" % (mode, got, cores))
    eips += [(mode, l.split()[4]) for l in lines if l.startswith("core ")]
    for a in absent:
        if a in lines:
            failures.append("%s: printed %r" % (mode, a))
    if "start" not in lines:
        failures.append("%s: did not start: %s" % (mode, r.stderr[-300:]))

# Every reported raise was the call in Throw(), or the rethrow itself: addr2line gives its line.
for mode, eip in eips:
    want = site["rethrow" if mode == "rethrow" else "throw"]
    out = subprocess.run([addr2line, "-e", exe, "0x" + eip], capture_output=True, text=True).stdout
    m = re.search(r"([^/\\]+):(\d+)", out)
    if not m or m.group(1) != "RaiseChild.cpp" or int(m.group(2)) != want:
        failures.append("%s: Eip %s is at %r, want RaiseChild.cpp:%d" % (mode, eip, out.strip(), want))

for f in failures:
    print("FAIL:", f)
print("%d modes, %d raises resolved" % (len(CASES), len(eips)))
sys.exit(1 if failures else 0)
