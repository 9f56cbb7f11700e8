#!/usr/bin/python3
"""The processing child with other threads running and its form in front, then with custom data
and steps to reproduce; both read back here.
threads: five main-thread exceptions processed while a Windows thread and a TThread wait and a
third thread allocates without pause (so it is often stopped holding a heap lock): the child
must end (no hang), each report must list every thread's stack with its creator's, and every
row of the child's own code must be what addr2line says of its address (procedure, file, line).
The form's class and title must be in the report, read while its thread waited.
log: the .vlf and the clipboard must hold the custom data section and the steps section.
Usage: check_processing_threads.py <addr2line> <child.exe> <child source> <work dir> <runner...>"""
import os
import re
import subprocess
import sys

from report_rows import Addr2Line

addr2line, exe, source, work, runner = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
os.makedirs(work, exist_ok=True)
with open(source, encoding="utf-8") as f:
    text = f.read().splitlines()
site = {m: next(i for i, line in enumerate(text, 1) if "// %s-site" % m in line)
        for m in ("windows-thread", "runtime-thread", "busy", "main-thread")}
failures = []


def run(mode):
    trail = os.path.join(work, mode + ".txt")
    for name in os.listdir(work):
        if name.startswith(mode + "."):
            os.remove(os.path.join(work, name))
    try:
        r = subprocess.run(runner + [exe, mode, "Z:" + trail.replace("/", "\\")],
                           capture_output=True, text=True, timeout=150)
    except subprocess.TimeoutExpired:
        failures.append("%s: the child hangs" % mode)
        return trail, None
    if r.returncode != 0:
        failures.append("%s: exit code %d (%s)" % (mode, r.returncode, r.stderr[-300:]))
    try:
        with open(trail) as f:
            return trail, [line.split() for line in f.read().splitlines()]
    except OSError:
        failures.append("%s: no trail" % mode)
        return trail, None


def stack_sections(report):
    """[(header, [cells, ...]), ...] of the call-stack table."""
    sections = []
    for line in report.split("\r\n"):
        if not line.startswith("|"):
            continue
        inner = line.strip().strip("|")
        if "Thread: ID=" in inner:
            sections.append((inner.strip(), []))
            continue
        cells = [c.strip() for c in inner.split("|")]
        if sections and len(cells) == 6 and re.fullmatch(r"[0-9A-F]{8}", cells[0]):
            sections[-1][1].append(cells)
    return sections


def item(report, item_id):
    m = re.search(r"\r\n  " + re.escape(item_id) + r" [^:\r\n]*: ([^\r\n]*)\r\n", report)
    return m.group(1).rstrip() if m else None


where = Addr2Line(addr2line, exe).where


def check_rows(name, rows):
    """Every located row of the child's own code, against addr2line."""
    exe_name = os.path.basename(exe).lower()
    for cells in rows:
        address, module, unit, _cls, procedure, line = cells
        if module.lower() != exe_name or not line:
            continue
        function, file, number = where(address)
        row_line = int(re.match(r"\d+", line).group(0))
        # C names: the symbol prefix's underscores do not count; a function's cold part is
        # named by its symbol, addr2line names the function.
        name = re.sub(r"[._]cold$", "", procedure).lstrip("_")
        if not re.search(r"(^|::)_*%s(\(|$| \[)" % re.escape(name), function):
            failures.append("%s: row %s procedure %r, addr2line %r" % (name, address, procedure,
                                                                      function))
        if (file, number) != (unit, row_line):
            failures.append("%s: row %s at %s:%s, addr2line %s:%s" % (name, address, unit,
                                                                      row_line, file, number))


def has_row(rows, procedure, line=None):
    return any(c[4] == procedure and (line is None or re.match(r"%d\[" % line, c[5]))
               for c in rows)


# ---- threads ----
trail, rows = run("threads")
if rows is not None:
    threads = {r[1]: r[2] for r in rows if r[0] == "thread"}
    main = next((r[-1] for r in rows if r[0] == "form"), None)
    if ["form", "in", "front"] not in [r[:-1] for r in rows]:
        failures.append("threads: the form never came to the front (%s)" % rows[:6])
    # The desktop is shared with other programs: the form is checked in the reports made
    # while it stayed in front.
    in_front = {int(r[1]) for r in rows if r[0] == "report" and r[2] == "front"}
    if not in_front:
        failures.append("threads: the form was in front through no report (%s)" % rows)
    for n in range(5):
        name = "threads report %d" % n
        try:
            with open("%s.report.%d" % (trail, n), encoding="latin-1", newline="") as f:
                report = f.read()
        except OSError:
            failures.append("%s: missing" % name)
            continue
        if n in in_front and (item(report, "4.1") != "ProcessingChildForm" or
                              item(report, "4.2") != "Processing child form"):
            failures.append("%s: form %r %r" % (name, item(report, "4.1"), item(report, "4.2")))
        sections = stack_sections(report)
        by_header = {}
        for header, cells in sections:
            kind = header.lstrip("*").split(":")[0]
            tid = re.search(r"ID=(\d+)", header).group(1)
            by_header.setdefault((kind, tid), []).extend(cells)
            check_rows("%s %s" % (name, header), cells)
        if not by_header.get(("Exception Thread", main)):
            failures.append("%s: no exception thread %s (%s)" % (name, main, list(by_header)))
        expect = {"windows": ("WaitInWindowsThread", site["windows-thread"]),
                  "runtime": ("WaitInRuntimeThread", site["runtime-thread"]),
                  # stopped anywhere in its loop: inside the call from its thread routine
                  "busy": ("BusyThread", None)}
        for kind, (procedure, line) in expect.items():
            own = by_header.get(("Running Thread", threads.get(kind)))
            if not own:
                failures.append("%s: no stack of the %s thread" % (name, kind))
            elif not has_row(own, procedure, line):
                failures.append("%s: %s thread lacks %s at %s: %s" % (name, kind, procedure,
                                                                     line, own[:4]))
            if not by_header.get(("Calling Thread", main)):
                failures.append("%s: no creator stack of the main thread" % name)
        runtime_header = next((h for h, _ in sections
                               if "ID=%s;" % threads.get("runtime") in h), "")
        if "TWaitingThread" not in runtime_header:
            failures.append("%s: runtime thread header %r" % (name, runtime_header))

# ---- log ----
trail, rows = run("log")
if rows is not None:
    try:
        data = open(trail + ".vlf", "rb").read().decode("latin-1")
        clipboard = open(trail + ".clipboard", "rb").read().decode("latin-1")
    except OSError as e:
        failures.append("log: %s" % e)
        data = clipboard = ""
    # The stored report: the log's text up to the three CR LF pairs that end it.
    stored = data.split("\r\n\r\n\r\n")[0] if data else ""
    for what, report in (("log file", stored), ("clipboard", clipboard)):
        general_end = report.find("\r\n\r\nCustom Information:")
        steps_at = report.find("\r\n\r\nRequest:")
        if general_end < 0 or steps_at < general_end:
            failures.append("%s: sections misplaced (%d, %d)" % (what, general_end, steps_at))
        if item(report, "8.1") not in ("R4417",) or item(report, "8.2") != "USB-serial":
            failures.append("%s: custom data %r %r" % (what, item(report, "8.1"),
                                                       item(report, "8.2")))
        if not re.search(r"\r\n  8\.1 *: Pressed Write with no phone\r\n", report):
            failures.append("%s: no steps to reproduce" % what)
    if clipboard.rstrip("\r\n") != stored.rstrip("\r\n"):
        failures.append("log: the clipboard is not the stored report")

for f in failures:
    print("FAIL:", f)
print("threads and log checked")
sys.exit(1 if failures else 0)
