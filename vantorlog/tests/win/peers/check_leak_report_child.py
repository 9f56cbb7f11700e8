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

addr2line, exe, source, work, mode, runner = (sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4],
                                               sys.argv[5], sys.argv[6:])
os.makedirs(work, exist_ok=True)
with open(source, encoding="utf-8") as f:
    text = f.read().splitlines()
SITES = {name: next(i for i, line in enumerate(text, 1) if "// %s-site" % name in line)
         for name in ("widget", "buffer", "multi-free", "overrun")}
PROCEDURES = {"widget": "LeakWidgets", "buffer": "LeakBuffer", "multi-free": "FreeTwice",
              "overrun": "WritePastEnd"}
failures = []


def where(address):
    out = subprocess.run([addr2line, "-f", "-C", "-e", exe, "0x" + address], capture_output=True,
                         text=True).stdout.splitlines()
    m = re.search(r"([^/\\]+):(\d+)", out[1] if len(out) > 1 else "")
    return (out[0] if out else ""), ((m.group(1), int(m.group(2))) if m else None)


def check_row(label, cells, site):
    address, procedure, line = cells[0], cells[4], re.match(r"\d*", cells[5]).group(0)
    function, place = where(address)
    if procedure != PROCEDURES[site] or not re.search(r"(^|::)%s(\(|$)" % PROCEDURES[site],
                                                       function):
        failures.append("%s: row %s, addr2line says %r" % (label, cells, function))
    if place != ("LeakReportChild.cpp", SITES[site]) or int(line or 0) != SITES[site]:
        failures.append("%s: row at line %s, addr2line %s, site line %d" %
                        (label, line, place, SITES[site]))


def field(report, caption):
    m = re.search(r"^\d\.\d+ %s *: ?(.*)$" % caption, report, re.M)
    return m.group(1).strip() if m else None


def cells_of(line):
    return [c.strip() for c in line.strip("|").split("|")]


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
sizes = next((l.split() for l in trail_lines if l.startswith("SIZES ")), None)
widget_size = int(sizes[1]) if sizes else 0
reports = []
for n in range(1, 10):
    name = "%s.report.%d" % (trail, n)
    if os.path.exists(name):
        with open(name, encoding="latin-1", newline="") as f:
            reports.append(f.read())
if "main end" not in trail_lines:
    failures.append("the program did not get to its end: %s" % trail_lines)

if mode in ("two", "one"):
    want = {"TLeakyWidget": (3 * widget_size, 3, "widget")}
    if mode == "two":
        want["Data"] = (100, 1, "buffer")
    total = sum(size for size, _, _ in want.values())
    count = sum(c for _, c, _ in want.values())
    leaks = [rep for rep in reports if field(rep, "Type") == "EMemoryLeak"]
    if len(reports) != 1 or len(leaks) != 1:
        failures.append("%d reports, %d of them EMemoryLeak; want one" % (len(reports), len(leaks)))
    if "report 1" in trail_lines and "main end" in trail_lines and \
            trail_lines.index("report 1") < trail_lines.index("main end"):
        failures.append("the leak report came before the end of main")
    for report in leaks[:1]:
        message = field(report, "Message")
        if message != "Memory Leak: Total size=%d - Count=%d" % (total, count):
            failures.append("message %r, want total %d and count %d" % (message, total, count))
        lines = report.split("\r\n")
        heads = [(i, re.search(r"\|\+Memory Leak: Type=([^;]+); Total size=(\d+); Count=(\d+)", l))
                 for i, l in enumerate(lines)]
        heads = [(i, m) for i, m in heads if m]
        found = {}
        for i, m in heads:
            found[m.group(1)] = (int(m.group(2)), int(m.group(3)))
            if m.group(1) in want:
                check_row("leak %s" % m.group(1), cells_of(lines[i + 2]), want[m.group(1)][2])
        if found != {k: v[:2] for k, v in want.items()}:
            failures.append("leak blocks %s, want %s" % (found, want))
        address = field(report, "Address")
        if mode == "two" and address:
            failures.append("address %r for leaks from two places, want none" % address)
        if mode == "one":
            first = cells_of(lines[heads[0][0] + 2])[0] if heads else None
            if not address or address != first:
                failures.append("address %r, want the leak's first row %r" % (address, first))
elif mode == "none":
    if reports:
        failures.append("%d reports without leaks: %s" % (len(reports), [field(r, "Type") for r in reports]))
elif mode == "errors":
    kinds = [field(rep, "Type") for rep in reports]
    if kinds[:2] != ["EMultiFree", "EMemoryOverrun"]:
        failures.append("reports %s, want EMultiFree then EMemoryOverrun first" % kinds)
    for line in ("after multi free", "after overrun"):
        if line not in trail_lines:
            failures.append("the program did not go on: no %r in %s" % (line, trail_lines))
    order = [l for l in trail_lines if l.startswith("report ") or l.startswith("after ")]
    if order[:4] != ["report 1", "after multi free", "report 2", "after overrun"]:
        failures.append("order %s" % order)
    for report, (site, message) in zip(reports, [("multi-free", "Multi Free memory leak."),
                                                 ("overrun", "Memory Overrun leak.")]):
        if field(report, "Message") != message:
            failures.append("%s: message %r" % (site, field(report, "Message")))
        lines = report.split("\r\n")
        head = next((i for i, l in enumerate(lines) if l.startswith("|*Exception Thread: ID=")),
                    None)
        if head is None:
            failures.append("%s: no exception thread in the call stack" % site)
            continue
        check_row(site, cells_of(lines[head + 2]), site)

for f in failures:
    print("FAIL:", f)
print("%s: %d reports" % (mode, len(reports)))
sys.exit(1 if failures else 0)
