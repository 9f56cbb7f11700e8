#!/usr/bin/python3
"""Scenarios of a program linked with the exception library as Quarrion is: each mode runs in a
folder of its own (the report log lands beside the program), and the .vlf is read back here:
how many reports, their thread, class, message and bug ID, and the first call-stack row of the
exception thread, whose procedure and line addr2line must confirm.
Usage: check_scenarios.py <addr2line> <child.exe> <child without debug data.exe> <child source>
                          <work dir> <mode,mode...> <runner...>
A runner given as "wine-run.sh ... --" gets --display for the window and send modes."""
import os
import re
import shutil
import subprocess
import sys

from report_rows import Addr2Line
from web_peers import HttpPeer, SmtpPeer

# Waits for the program grow on a slow (emulated) machine.
WAIT = max(1.0, float(os.environ.get("TEST_WAIT_FACTOR") or 1))

addr2line, exe, inactive_exe, source, work, modes = sys.argv[1:7]
runner = sys.argv[7:]
modes = modes.split(",")
with open(source, encoding="utf-8") as f:
    text = f.read().splitlines()
SITES = {m: next(i for i, line in enumerate(text, 1) if "// %s" % m in line)
         for m in ("throw-site", "av-site", "msvcrt-call")}
failures = []


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


# ---- The report log, read independently of the library ----

def read_log(path):
    """The reports of a .vlf: text blocks separated by four or more CR LF pairs."""
    if not os.path.exists(path):
        return []
    data = open(path, "rb").read()
    if data.count(b"\n") != data.count(b"\r\n"):
        failures.append("%s: lines not ended by CR LF" % path)
    blocks = [b for b in re.split(rb"(?:\r\n){4,}", data) if b.strip(b"\r\n")]
    return [parse_report(b.decode("latin-1")) for b in blocks]


def parse_report(report):
    items = dict(re.findall(r"\r\n  (\d+\.\d+) [^:\r\n]*: ([^\r\n]*)", report))
    threads = []  # (header, rows) of the call-stack table; a row is its list of six cells
    table = report.split("Call Stack Information:\r\n", 1)[1:]
    for line in (table[0].split("\r\n\r\n", 1)[0] if table else "").split("\r\n"):
        if not line.startswith("|") or line.startswith("|Address "):
            continue
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) == 1:
            if cells[0] and cells[0].strip("-"):
                threads.append((cells[0], []))
        elif threads and len(cells) == 6 and re.fullmatch(r"[0-9A-F]{8}", cells[0]):
            threads[-1][1].append(cells)
    return {"text": report, "items": items, "threads": threads, "first": report.split("\r\n")[0]}


def exception_thread(report):
    return next(((h, rows) for h, rows in report["threads"] if h.startswith("*Exception Thread")),
                (None, []))


def addr2line_of(address):
    out = subprocess.run([addr2line, "-f", "-C", "-e", exe, "0x" + address], capture_output=True,
                         text=True).stdout.splitlines()
    function = out[0] if out else ""
    m = re.search(r"([^/\\]+):(\d+)", out[1] if len(out) > 1 else "")
    return function, ((m.group(1), int(m.group(2))) if m else None)


def check_row(what, report, procedure, site):
    """The exception thread's rows name the procedure at the site's line, as addr2line says."""
    header, rows = exception_thread(report)
    if header is None:
        failures.append("%s: no exception thread in the call stack" % what)
        return
    # Where frames cannot be unwound (inside a system DLL) the stack is scanned, which also
    # finds return addresses left by the procedure's earlier calls: its row at the site counts.
    row = next((r for r in rows if r[4] == procedure and
                re.match(r"%d\[" % SITES[site], r[5])), None) or \
        next((r for r in rows if r[4] == procedure), None)
    if row is None:
        failures.append("%s: no row of %s in %s" % (what, procedure, [r[4] for r in rows]))
        return
    function, where = addr2line_of(row[0])
    line = int(re.match(r"\d*", row[5]).group(0) or 0)
    if not re.search(r"(^|::)%s(\(|$)" % re.escape(procedure), function):
        failures.append("%s: row %s is %s, addr2line says %r" % (what, row[0], procedure, function))
    if where != ("ScenarioChild.cpp", line) or line != SITES[site]:
        failures.append("%s: row %s line %s, addr2line %s, site line %d (rows %s)" %
                        (what, row[0], row[5], where, SITES[site],
                         [(r[0], r[4], r[5]) for r in rows]))


resolver = Addr2Line(addr2line, exe)
where = resolver.where


def check_all_rows(what, report):
    """Every located row of the child's own code, in every thread's block, as addr2line says."""
    exe_name = os.path.basename(exe).lower()
    for header, rows in report["threads"]:
        for cells in rows:
            address, module, unit, _cls, procedure, line = cells[:6]
            if module.lower() != exe_name or not line:
                continue
            function, file, number = where(address)
            row_line = int(re.match(r"\d+", line).group(0))
            # C names: the symbol prefix's underscores do not count; a function's cold part is
            # named by its symbol, addr2line names the function.
            name = re.sub(r"[._]cold$", "", procedure).lstrip("_")
            if not re.search(r"(^|::)_*%s(\(|$| \[)" % re.escape(name), function):
                failures.append("%s %s: row %s procedure %r, addr2line %r" %
                                (what, header, address, procedure, function))
            if (file, number) != (unit, row_line) and \
                    (number != row_line or resolver.line_table_file(address) != unit):
                failures.append("%s %s: row %s at %s:%s, addr2line %s:%s" %
                                (what, header, address, unit, row_line, file, number))


def block(report, kind, thread_id):
    """The rows of the blocks of a kind ("Running Thread", "Calling Thread") of a thread."""
    rows = []
    for header, cells in report["threads"]:
        if header.lstrip("*").startswith(kind + ": ID=%s;" % thread_id):
            rows.extend(cells)
    return rows


# ---- Runs ----

def run(mode, program=exe, name=None, env=None):
    folder = os.path.join(work, name or mode)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    if env:
        env = {k: v(folder) if callable(v) else v for k, v in env.items()}
    copy = os.path.join(folder, os.path.basename(program))
    shutil.copy2(program, copy)
    trail = os.path.join(folder, "trail.txt")
    command = list(runner)
    if mode in ("window", "send") and "--" in command:
        command.insert(command.index("--"), "--display")
    try:
        r = subprocess.run(command + [copy, mode, "Z:" + trail.replace("/", "\\")],
                           capture_output=True, text=True, errors="replace", timeout=120 * WAIT,
                           env=dict(os.environ, **(env or {})))
        code = r.returncode
    except subprocess.TimeoutExpired:
        failures.append("%s: hangs" % (name or mode))
        code = None
    rows = []
    if os.path.exists(trail):
        rows = [line.split() for line in open(trail).read().splitlines()]
    log = os.path.splitext(copy)[0] + ".vlf"
    return code, rows, read_log(log)


def names(rows):
    return [" ".join(r[:-1]) for r in rows]


def common(what, rows, reports, count, active="1"):
    check(what + " library active", ("active " + active) in names(rows), True)
    check(what + " reports", len(reports), count)
    check(what + " worker listed", [n for n in names(rows) if n.startswith("worker-listed")],
          ["worker-listed 0"] * count)
    for i, report in enumerate(reports):
        check("%s report %d product line" % (what, i), report["first"].startswith("VantorLog "),
              True)
        check_all_rows("%s report %d" % (what, i), report)


def thread_of(report):
    header, _ = exception_thread(report)
    m = re.search(r"ID=(\d+)", header or "")
    return m.group(1) if m else None


for mode in modes:
    if mode == "caught":
        code, rows, reports = run(mode)
        check("caught exit", code, 0)
        common("caught", rows, reports, 0)
        check("caught steps", [n for n in names(rows) if n.startswith("caught") or
                               n == "thread-caught"],
              ["caught-typed", "caught-rethrown", "caught-any", "thread-caught"])
    elif mode == "unhandled":
        bug_ids = []
        for run_name in ("unhandled-1", "unhandled-2"):
            code, rows, reports = run(mode, name=run_name)
            check(run_name + " exit", code, 1)
            common(run_name, rows, reports, 1)
            if reports:
                r = reports[0]
                check(run_name + " class", r["items"].get("2.5"), "EConvertError")
                check(run_name + " message", r["items"].get("2.6"), "the scenario's throw.")
                check(run_name + " thread", thread_of(r), rows[0][-1] if rows else None)
                check_row(run_name, r, "ThrowConvert", "throw-site")
                bug_ids.append(r["items"].get("2.7"))
        check("the same bug ID in both runs", len(set(bug_ids)) == 1 and len(bug_ids) == 2
              and re.fullmatch(r"[0-9A-F]{4}", bug_ids[0] or "") is not None, True)
        # Without its debug data the same program reports nothing.
        code, rows, reports = run(mode, program=inactive_exe, name="unhandled-inactive")
        common("inactive", rows, reports, 0, active="0")
        check("inactive ends as an uncaught throw", code, 3)
    elif mode == "send":
        # An uncaught throw reaches a real SMTP server and an HTTP server: each gets one
        # archive with the log copy, the XML copy and the screenshot.
        base = os.path.splitext(os.path.basename(exe))[0]
        archive = {"entries": [base + ".vlf", base + ".xml", "Screenshot.png"],
                   "xml": [base + ".xml"], "png": ["Screenshot.png"],
                   "contains": {base + ".vlf": "the scenario's throw"}}
        smtp = SmtpPeer({"sessions": [{"expect": {"text": "the scenario's throw.",
                                                  "archive": archive}}]})
        http = HttpPeer({"requests": [{"expect": {"method": "POST", "path": "/scenario.php",
                                                  "archive": archive}, "count": 1}]})

        def temp(folder):
            os.makedirs(os.path.join(folder, "tmp"))
            return "Z:" + os.path.join(folder, "tmp").replace("/", "\\")
        code, rows, reports = run(mode, env={"VL_SEND_SMTP_PORT": str(smtp.port),
                                             "VL_SEND_HTTP_PORT": str(http.port),
                                             "VL_SEND_TMP": temp})
        check("send exit", code, 1)
        common(mode, rows, reports, 1)
        for e in smtp.report():
            failures.append("send: SMTP " + e)
        for e in http.report():
            failures.append("send: HTTP " + e)
        left = os.path.join(work, mode, "tmp")
        check("send: the temporary folder afterwards",
              sorted(os.listdir(left)) if os.path.isdir(left) else None, [])
    elif mode == "main-av":
        code, rows, reports = run(mode)
        check("main-av exit", code, 1)
        common(mode, rows, reports, 1)
        if reports:
            check("main-av class", reports[0]["items"].get("2.5"), "EAccessViolation")
            check_row(mode, reports[0], "WriteNowhere", "av-site")
    elif mode in ("two-threads", "event", "msvcrt"):
        count = 2 if mode == "two-threads" else 1
        code, rows, reports = run(mode)
        check(mode + " exit", code, 0)
        common(mode, rows, reports, count)
        exits = [n for n in names(rows) if n.startswith("thread-exit")]
        check(mode + " threads end", exits, ["thread-exit 1"] * count)
        faulting = {thread_of(r) for r in reports}
        check(mode + " one report per thread", len(faulting), count)
        for r in reports:
            check(mode + " class", r["items"].get("2.5"), "EAccessViolation")
            if mode == "msvcrt":
                _, rows_ = exception_thread(r)
                check("msvcrt first row's module", rows_[0][1].lower() if rows_ else None,
                      "msvcrt.dll")
                check_row(mode, r, "CopyFromNowhere", "msvcrt-call")
            else:
                check_row(mode, r, "WriteNowhere", "av-site")
        # The main thread waits for the faulting threads: its own stack and, under each
        # faulting thread's, the stack that created it.
        main = rows[0][-1] if rows else None
        for i, r in enumerate(reports):
            procedures = [c[4] for c in block(r, "Running Thread", main)]
            check("%s report %d: the main thread's stack waits in StartTogether" % (mode, i),
                  "StartTogether" in procedures, True)
            procedures = [c[4] for c in block(r, "Calling Thread", main)]
            check("%s report %d: the faulting thread's creator stack" % (mode, i),
                  "StartTogether" in procedures, True)
        if mode == "event":
            check("event ran once", names(rows).count("notify"), 1)
    elif mode == "execute":
        code, rows, reports = run(mode)
        check("execute exit", code, 0)
        common(mode, rows, reports, 1)
        check("execute: the thread procedure keeps the exception", "fatal-kept" in names(rows),
              True)
        if reports:
            check("execute class", reports[0]["items"].get("2.5"), "EConvertError")
            check_row(mode, reports[0], "ThrowConvert", "throw-site")
    elif mode == "window":
        code, rows, reports = run(mode)
        check("window exit", code, 0)
        common(mode, rows, reports, 1)
        check("window steps", [n for n in names(rows) if n in ("in-front", "after-throw")],
              ["in-front", "after-throw"])
        if reports:
            check("window class", reports[0]["items"].get("2.5"), "EConvertError")
            check_row(mode, reports[0], "ThrowConvert", "throw-site")
    elif mode == "handled":
        code, rows, reports = run(mode)
        check("handled exit", code, 0)
        # Two handled one after the other, and one whose rethrow's catch ends twice.
        common(mode, rows, reports, 3)
        check("handled steps", [n for n in names(rows) if n.startswith("handled")],
              ["handled", "handled", "handled-rethrown"])
        for i, r in enumerate(reports):
            check("handled %d class" % i, r["items"].get("2.5"), "EConvertError")
            check("handled %d thread" % i, thread_of(r), rows[0][-1] if rows else None)
            check_row("handled %d" % i, r, "ThrowConvert", "throw-site")
    elif mode == "states":
        code, rows, reports = run(mode)
        check("states exit", code, 0)
        common(mode, rows, reports, 0)
        check("states of returned threads freed", "states-left 0" in names(rows), True)
    elif mode == "crash-operation":
        code, rows, reports = run(mode)
        check("crash operation ends the program", code, 1)
        check("crash operation steps", [n for n in names(rows) if n in ("ignored", "end")],
              ["ignored"])
    elif mode == "restore":
        code, rows, reports = run(mode)
        check("restore exit", code, 0)
        check("restore: the library's backstops while it runs", "replaced 1 1" in names(rows),
              True)
        check("restore: the program's own ones after its stop", "restored 1 1" in names(rows),
              True)
        check("restore: the stopped library's entry leaves exceptions alone",
              "late-manager 1" in names(rows), True)
        check("restore reports", len(reports), 0)
    else:
        failures.append("unknown mode " + mode)

for f in failures:
    print("FAIL:", f)
print("%d passed, %d failed" % (0 if failures else len(modes), len(failures)))
sys.exit(1 if failures else 0)
