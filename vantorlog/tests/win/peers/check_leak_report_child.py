#!/usr/bin/python3
"""One mode of the leak report child: the reports that went through the processing line.
Leaks from two places give one EMemoryLeak without an address and both allocation stacks;
from one place its address; no leak no report; a double free and a write past a block give
EMultiFree and EMemoryOverrun where they were freed, and the program goes on. Each first row
must be where addr2line and the marked source line say.
Usage: check_leak_report_child.py <addr2line> <child.exe> <child source> <work dir> <mode>
                                  <runner...>"""
import glob
import os
import re
import subprocess
import sys

from report_rows import cells, exception_thread_row, item, row_failures, site_line

addr2line, exe, source, work, mode, runner = (sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4],
                                               sys.argv[5], sys.argv[6:])
os.makedirs(work, exist_ok=True)
PROCEDURES = {"widget": "LeakWidgets", "buffer": "LeakBuffer", "multi-free": "FreeTwice",
              "overrun": "WritePastEnd"}
SITES = {name: site_line(source, name) for name in PROCEDURES}
failures = []


def check_row(label, row, site):
    failures.extend(row_failures(addr2line, exe, label, row, PROCEDURES[site],
                                 "LeakReportChild.cpp", SITES[site]))


trail = os.path.join(work, mode + ".txt")
for stale in glob.glob(trail) + glob.glob(trail + ".report.*"):
    os.remove(stale)
r = subprocess.run(runner + [exe, mode, "Z:" + trail.replace("/", "\\")], capture_output=True,
                   text=True, timeout=120)
if r.returncode != 0:
    failures.append("exit code %d, want 0 (%s)" % (r.returncode, r.stderr[-300:]))
try:
    with open(trail) as f:
        trail_lines = f.read().splitlines()
except OSError:
    trail_lines = []
    failures.append("no trail (%s)" % r.stderr[-300:])
if "not tracked" in trail_lines:
    failures.append("the tracker did not start")
if "main end" not in trail_lines:
    failures.append("the program did not get to its end: %s" % trail_lines)
sizes = next((l.split() for l in trail_lines if l.startswith("SIZES ")), None)
widget_size = int(sizes[1]) if sizes else 0
reports = []
for n in range(1, 10):
    name = "%s.report.%d" % (trail, n)
    if os.path.exists(name):
        with open(name, encoding="latin-1", newline="") as f:
            reports.append(f.read())

if mode in ("two", "one"):
    want = {"TLeakyWidget": (3 * widget_size, 3, "widget")}
    if mode == "two":
        want["Data"] = (100, 1, "buffer")
    total = sum(size for size, _, _ in want.values())
    count = sum(c for _, c, _ in want.values())
    leaks = [rep for rep in reports if item(rep, "2.5") == "EMemoryLeak"]
    if len(reports) != 1 or len(leaks) != 1:
        failures.append("%d reports, %d of them EMemoryLeak; want one" % (len(reports), len(leaks)))
    if "report 1" in trail_lines and "main end" in trail_lines and \
            trail_lines.index("report 1") < trail_lines.index("main end"):
        failures.append("the leak report came before the end of main")
    for report in leaks[:1]:
        message = item(report, "2.6")
        # The report's message item ends with a full stop.
        if message != "Memory Leak: Total size=%d - Count=%d." % (total, count):
            failures.append("message %r, want total %d and count %d" % (message, total, count))
        lines = report.split("\r\n")
        heads = []
        for i, l in enumerate(lines):
            m = re.search(r"\|\+Memory Leak: Type=([^;]+); Total size=(\d+); Count=(\d+)", l)
            if m:
                heads.append((i, m.group(1), int(m.group(2)), int(m.group(3))))
        found = {name: (size, n) for _, name, size, n in heads}
        if len(heads) != len(want) or found != {k: v[:2] for k, v in want.items()}:
            failures.append("leak blocks %s, want %s" % (heads, want))
        for i, name, _, _ in heads:
            if name in want:
                check_row("leak %s" % name, lines[i + 2], want[name][2])
        address = item(report, "2.2")
        if mode == "two" and address:
            failures.append("address %r for leaks from two places, want none" % address)
        if mode == "one":
            first = cells(lines[heads[0][0] + 2])[0] if heads else None
            if not address or address != first:
                failures.append("address %r, want the leak's first row %r" % (address, first))
elif mode == "none":
    if reports:
        failures.append("%d reports without leaks: %s" %
                        (len(reports), [item(rep, "2.5") for rep in reports]))
elif mode == "errors":
    kinds = [item(rep, "2.5") for rep in reports]
    if kinds[:2] != ["EMultiFree", "EMemoryOverrun"]:
        failures.append("reports %s, want EMultiFree then EMemoryOverrun first" % kinds)
    order = [l for l in trail_lines if l.startswith("report ") or l.startswith("after ")]
    if order[:4] != ["report 1", "after multi free", "report 2", "after overrun"]:
        failures.append("the program did not go on after each report: %s" % order)
    for report, (site, message) in zip(reports, [("multi-free", "Multi Free memory leak."),
                                                 ("overrun", "Memory Overrun leak.")]):
        if item(report, "2.6") != message:
            failures.append("%s: message %r" % (site, item(report, "2.6")))
        head, row = exception_thread_row(report)
        if head is None:
            failures.append("%s: no exception thread in the call stack" % site)
        else:
            check_row(site, row, site)

for f in failures:
    print("FAIL:", f)
print("%s: %d reports" % (mode, len(reports)))
sys.exit(1 if failures else 0)
