#!/usr/bin/python3
"""The processing child's uncaught throw, access violation and terminate: each one processing
with its steps in order (the worker runs them, the faulting thread runs the events and resumes
after), the exit code, and the report handed to the log: class, message and the exception
thread's first call-stack row, whose procedure and line addr2line must confirm.
Usage: check_processing_child.py <addr2line> <child.exe> <child source> <work dir> <runner...>"""
import os
import re
import subprocess
import sys

# Waits for the child grow on a slow (emulated) machine.
WAIT = max(1.0, float(os.environ.get("TEST_WAIT_FACTOR") or 1))

addr2line, exe, source, work, runner = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
os.makedirs(work, exist_ok=True)
with open(source, encoding="utf-8") as f:
    text = f.read().splitlines()
site = {m: next(i for i, line in enumerate(text, 1) if "// %s-site" % m in line)
        for m in ("throw", "av")}

# The child carries debug data: its options are found by the exception's address.
LINE = ["p1", "p101", "p104", "p2", "p201", "p3", "p4", "p5", "p6", "p7", "p702", "p703", "p704", "p705",
        "p706", "notify", "p8", "capture", "p9", "p10", "p11", "p12", "p13", "dialog", "p14",
        "release", "p15", "log", "p16", "p17", "p18"]
# mode: (exit code, steps after "fault", class, message part, site, procedure)
CASES = {
    "throw": (3, LINE + ["resumed"], "EConvertError", "the child's uncaught throw", "throw",
              "Throw"),
    "av": (5, LINE + ["resumed"], "EAccessViolation", "Write of address 00000000", "av", "Fault"),
    # the dialog's terminate choice ends the process inside the processing
    "terminate": (1, LINE, "EConvertError", "the child's uncaught throw", "throw", "Throw"),
}

failures = []
for mode, (code, steps, cls, message, site_name, procedure) in CASES.items():
    trail = os.path.join(work, mode + ".txt")
    for stale in (trail, trail + ".report"):
        if os.path.exists(stale):
            os.remove(stale)
    r = subprocess.run(runner + [exe, mode, "Z:" + trail.replace("/", "\\")],
                       capture_output=True, text=True, timeout=120 * WAIT)
    if r.returncode != code:
        failures.append("%s: exit code %d, want %d" % (mode, r.returncode, code))
    try:
        with open(trail) as f:
            rows = [line.split() for line in f.read().splitlines()]
    except OSError:
        failures.append("%s: no trail (%s)" % (mode, r.stderr[-300:]))
        continue
    names = ["".join(row[:-1]) for row in rows]
    if names != ["fault"] + steps:
        failures.append("%s: steps %s, want %s" % (mode, names, ["fault"] + steps))
        continue
    faulting = rows[0][-1]
    for name, row in zip(names, rows):
        in_faulting = name in ("fault", "notify", "resumed")
        if (row[-1] == faulting) != in_faulting:
            failures.append("%s: %s ran in thread %s (faulting thread %s)" %
                            (mode, name, row[-1], faulting))
    if len({row[-1] for name, row in zip(names, rows) if name not in ("fault", "notify", "resumed")}) != 1:
        failures.append("%s: the steps ran in more than one worker thread" % mode)

    with open(trail + ".report", encoding="latin-1", newline="") as f:
        report = f.read()
    if "2.5 Type          : %s\r\n" % cls not in report:
        failures.append("%s: class %s not in the report" % (mode, cls))
    if message not in report:
        failures.append("%s: message %r not in the report" % (mode, message))
    lines = report.split("\r\n")
    head = next((i for i, l in enumerate(lines) if l.startswith("|*Exception Thread: ID=")), None)
    if head is None:
        failures.append("%s: no exception thread in the call stack" % mode)
        continue
    cells = [c.strip() for c in lines[head + 2].strip("|").split("|")]
    address, row_procedure, row_line = cells[0], cells[4], re.match(r"\d*", cells[5]).group(0)
    out = subprocess.run([addr2line, "-f", "-C", "-e", exe, "0x" + address], capture_output=True,
                         text=True).stdout.splitlines()
    function = out[0] if out else ""
    m = re.search(r"([^/\\]+):(\d+)", out[1] if len(out) > 1 else "")
    where = (m.group(1), int(m.group(2))) if m else None
    if not re.search(r"(^|::)%s(\(|$)" % re.escape(row_procedure), function):
        failures.append("%s: row procedure %r, addr2line says %r" % (mode, row_procedure, function))
    if row_procedure != procedure:
        failures.append("%s: row procedure %r, want %r" % (mode, row_procedure, procedure))
    if where != ("ProcessingChild.cpp", int(row_line or 0)) or where[1] != site[site_name]:
        failures.append("%s: row %s line %s, addr2line %s, site line %d" %
                        (mode, address, row_line, where, site[site_name]))

for f in failures:
    print("FAIL:", f)
print("%d modes checked" % len(CASES))
sys.exit(1 if failures else 0)
