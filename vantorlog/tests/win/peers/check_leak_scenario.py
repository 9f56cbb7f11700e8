#!/usr/bin/python3
"""The leak scenario program, linked as Quarrion is and tracked: its log holds the double free
as an EMultiFree report and, written after the program's end, one EMemoryLeak report whose
leak blocks name the two places that leaked, each first row where addr2line and the marked
source line say. In mode "none" the program frees all it takes: its log holds no report.
Usage: check_leak_scenario.py <addr2line> <program.exe> <program source> <work dir> <leaks|none>
                              <runner...>"""
import os
import re
import shutil
import subprocess
import sys

from report_rows import exception_thread_row, item, row_failures, site_line

addr2line, exe, source, work, mode, runner = (sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4],
                                               sys.argv[5], sys.argv[6:])
work = os.path.join(work, mode)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
PROCEDURES = {"widget": "LeakWidgets", "buffer": "LeakBuffer", "multi-free": "FreeTwice"}
SITES = {name: site_line(source, name) for name in PROCEDURES}
failures = []


def check_row(label, row, site):
    failures.extend(row_failures(addr2line, exe, label, row, PROCEDURES[site], "LeakScenario.cpp",
                                 SITES[site]))


folder = "Z:" + os.path.abspath(work).replace("/", "\\") + "\\"
r = subprocess.run(runner + [exe, folder] + (["none"] if mode == "none" else []),
                   capture_output=True, text=True, errors="replace", timeout=180)
if r.returncode != 0:
    failures.append("exit code %d, want 0 (%s)" % (r.returncode, r.stderr[-300:]))
path = os.path.join(work, os.path.splitext(os.path.basename(exe))[0] + ".vlf")
try:
    data = open(path, "rb").read().decode("latin-1")
except OSError:
    data = ""
    if mode != "none":
        failures.append("no log %s (%s)" % (path, os.listdir(work)))
reports = [rep for rep in re.split(r"(?:\r\n){4,}", data) if rep.strip("\r\n")]
by_type = {}
for rep in reports:
    by_type.setdefault(item(rep, "2.5"), []).append(rep)

if mode == "none":
    for rep in by_type.get("EMemoryLeak", [])[:1]:
        heads = re.findall(r"\|\+Memory Leak: Type=([^;]+); Total size=(\d+); Count=(\d+)", rep)
        failures.append("leak report %r without leaks: %s" % (item(rep, "2.6"), heads[:10]))
    if reports:
        failures.append("%d reports, want none: %s" % (len(reports), list(by_type)))
    for f in failures:
        print("FAIL:", f)
    print("none: %d reports in the log" % len(reports))
    sys.exit(1 if failures else 0)

multi = by_type.get("EMultiFree", [])
if len(multi) != 1:
    failures.append("%d EMultiFree reports, want 1 (reports: %s)" % (len(multi), list(by_type)))
for rep in multi[:1]:
    head, row = exception_thread_row(rep)
    if head is None:
        failures.append("EMultiFree: no exception thread in the call stack")
    else:
        check_row("EMultiFree", row, "multi-free")

leaks = by_type.get("EMemoryLeak", [])
if len(leaks) != 1:
    failures.append("%d EMemoryLeak reports, want 1 (reports: %s)" % (len(leaks), list(by_type)))
for rep in leaks[:1]:
    # Three widgets of 24 bytes and a buffer of 100; the message item ends with a full stop.
    if item(rep, "2.6") != "Memory Leak: Total size=%d - Count=4." % (3 * 24 + 100):
        failures.append("message %r, want total 172 and count 4" % item(rep, "2.6"))
    if item(rep, "2.2"):
        failures.append("address %r for leaks from several places" % item(rep, "2.2"))
    lines = rep.split("\r\n")
    found = {}
    for i, l in enumerate(lines):
        h = re.search(r"\|\+Memory Leak: Type=([^;]+); Total size=(\d+); Count=(\d+)", l)
        if not h:
            continue
        found.setdefault(h.group(1), []).append((int(h.group(2)), int(h.group(3)), i))
    widgets = [f for f in found.get("TLeakyWidget", []) if f[:2] == (72, 3)]
    buffers = [f for f in found.get("Data", []) if f[:2] == (100, 1)]
    if len(widgets) != 1 or len(buffers) != 1:
        failures.append("leak blocks %s, want TLeakyWidget 72/3 and Data 100/1" % found)
    for label, blocks, site in (("widgets", widgets, "widget"), ("buffer", buffers, "buffer")):
        for _, _, i in blocks[:1]:
            check_row(label, lines[i + 2], site)
    others = sorted((k, v[:2]) for k, vs in found.items() for v in vs
                    if (k, v[:2]) not in (("TLeakyWidget", (72, 3)), ("Data", (100, 1))))
    # The library's own lasting state is no leak of the program.
    if others:
        failures.append("other leaks in the report: %s" % others)

for f in failures:
    print("FAIL:", f)
print("%d reports in the log" % len(reports))
sys.exit(1 if failures else 0)
