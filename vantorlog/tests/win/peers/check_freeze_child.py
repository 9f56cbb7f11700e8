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

from report_rows import exception_thread_row, item, row_failures, site_line

addr2line, exe, source, work, mode, runner = (sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4],
                                               sys.argv[5], sys.argv[6:])
os.makedirs(work, exist_ok=True)
site = site_line(source, "freeze")

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
needed = ["main", "watching", "end"] + (["iconic"] if mode == "iconic" else []) + \
    (["loop", "released"] if mode != "responsive" else [])
for name in needed:
    if name not in names:
        failures.append("no %r in the trail %s" % (name, names))

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
# 20 probes of 50 ms each (a wait may end a few milliseconds early)
if loop and runs and runs[0][0] - int(loop[2]) < LIMIT_MS - 100:
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
    if item(report, "2.5") != "EFrozenApplication":
        failures.append("%s: type %r" % (name, item(report, "2.5")))
    if item(report, "2.6") != "The application seems to be frozen.":
        failures.append("%s: message %r" % (name, item(report, "2.6")))
    head, row = exception_thread_row(report)
    if head is None:
        failures.append("%s: no exception thread in the call stack" % name)
        continue
    m = re.match(r"\|\*Exception Thread: ID=(\d+);", head)
    if not main or not m or m.group(1) != main[1] or "[Main]" not in head:
        failures.append("%s: exception thread %r is not the main thread %s" %
                        (name, head, main[1] if main else "?"))
    failures += row_failures(addr2line, exe, name, row, "BusyLoop", "FreezeChild.cpp", site)

for f in failures:
    print("FAIL:", f)
print("%s: %d freeze reports" % (mode, len(reports)))
sys.exit(1 if failures else 0)
