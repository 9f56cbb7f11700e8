#!/usr/bin/python3
"""One mode of the freeze child: the number of freeze reports, each on the main thread while
the window procedure loops, its first call-stack row where the loop is (addr2line must agree
with the row and with the marked source line), the limit and the silence after a report kept.
Usage: check_freeze_child.py <addr2line> <child.exe> <child source> <work dir> <mode> <runner...>"""
import glob
import os
import re
import subprocess
import sys

addr2line, exe, source, work, mode, runner = (sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4],
                                               sys.argv[5], sys.argv[6:])
os.makedirs(work, exist_ok=True)
with open(source, encoding="utf-8") as f:
    site = next(i for i, line in enumerate(f.read().splitlines(), 1) if "// freeze-site" in line)

# mode: (least reports, most reports)
CASES = {"busy": (1, 1), "iconic": (1, 1), "long": (2, 3), "responsive": (0, 0)}
LIMIT_MS = 1000
least, most = CASES[mode]
failures = []

trail = os.path.join(work, mode + ".txt")
for stale in glob.glob(trail) + glob.glob(trail + ".report.*"):
    os.remove(stale)
r = subprocess.run(runner + [exe, mode, "Z:" + trail.replace("/", "\\")], capture_output=True,
                   text=True, timeout=120)
if r.returncode != 0:
    failures.append("exit code %d, want 0 (%s)" % (r.returncode, r.stderr[-300:]))
try:
    with open(trail) as f:
        rows = [line.split() for line in f.read().splitlines()]
except OSError:
    rows = []
    failures.append("no trail (%s)" % r.stderr[-300:])
names = [row[0] for row in rows]
first = lambda name: next((row for row in rows if row[0] == name), None)
main = first("main")
for needed in ["main", "watching", "end"] + (["iconic"] if mode == "iconic" else []) + \
        (["loop", "released"] if mode != "responsive" else []):
    if needed not in names:
        failures.append("no %r in the trail %s" % (needed, names))

# Each processing: from its "p1" to its "p18", in the worker thread.
runs = []
for i, row in enumerate(rows):
    if row[0] == "p1":
        end = next((r2 for r2 in rows[i:] if r2[0] == "p18"), None)
        runs.append((int(row[2]), int(end[2]) if end else None, row[1]))
reports = sorted(glob.glob(trail + ".report.*"))
if not least <= len(runs) <= most or len(reports) != len(runs):
    failures.append("%d processings and %d reports, want %d to %d" %
                    (len(runs), len(reports), least, most))
loop = first("loop")
if loop and runs and runs[0][0] - int(loop[2]) < LIMIT_MS:
    failures.append("reported %d ms after the loop began, before the %d ms limit" %
                    (runs[0][0] - int(loop[2]), LIMIT_MS))
for (_, end, _), (start, _, _) in zip(runs, runs[1:]):
    # the silence is counted again from the end of the processing (50 ms a probe)
    if end is None or start - end < LIMIT_MS - 100:
        failures.append("a report %s ms after the processing before it ended" %
                        (start - end if end else "?"))
for _, _, thread in runs:
    if main and thread == main[1]:
        failures.append("the processing ran in the main thread")

for name in reports:
    with open(name, encoding="latin-1", newline="") as f:
        report = f.read()
    if "2.5 Type          : EFrozenApplication\r\n" not in report:
        failures.append("%s: not an EFrozenApplication" % name)
    if "The application seems to be frozen." not in report:
        failures.append("%s: not the freeze message" % name)
    lines = report.split("\r\n")
    head = next((i for i, l in enumerate(lines) if l.startswith("|*Exception Thread: ID=")), None)
    if head is None:
        failures.append("%s: no exception thread in the call stack" % name)
        continue
    m = re.match(r"\|\*Exception Thread: ID=(\d+);", lines[head])
    if not main or not m or m.group(1) != main[1] or "[Main]" not in lines[head]:
        failures.append("%s: exception thread %r is not the main thread %s" %
                        (name, lines[head], main[1] if main else "?"))
    cells = [c.strip() for c in lines[head + 2].strip("|").split("|")]
    address, procedure, line = cells[0], cells[4], re.match(r"\d*", cells[5]).group(0)
    out = subprocess.run([addr2line, "-f", "-C", "-e", exe, "0x" + address], capture_output=True,
                         text=True).stdout.splitlines()
    function = out[0] if out else ""
    where = re.search(r"([^/\\]+):(\d+)", out[1] if len(out) > 1 else "")
    if procedure != "BusyLoop" or not re.search(r"(^|::)BusyLoop(\(|$)", function):
        failures.append("%s: first row %r in %r, addr2line says %r" %
                        (name, cells, procedure, function))
    if not where or (where.group(1), int(where.group(2))) != ("FreezeChild.cpp", site) or \
            int(line or 0) != site:
        failures.append("%s: first row at line %s, addr2line %s, loop at line %d" %
                        (name, line, where.group(0) if where else None, site))

for f in failures:
    print("FAIL:", f)
print("%s: %d freeze reports" % (mode, len(reports)))
sys.exit(1 if failures else 0)
