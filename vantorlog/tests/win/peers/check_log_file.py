#!/usr/bin/python3
"""The report log on disk: the log child saves exceptions through the processing line's log
step into the .vlf of its options; the file's bytes are read back here. A repeated bug ID
raises the stored report's count instead of adding one; the XML copy is well-formed.
Usage: check_log_file.py <scratch folder> <command that runs the child...>"""
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

scratch, child = sys.argv[1], sys.argv[2:]
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
win_folder = "Z:" + os.path.abspath(scratch).replace("/", "\\") + "\\"
failures = []


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def run(*bug_ids, folder=win_folder):
    r = subprocess.run(child + [folder] + list(bug_ids), capture_output=True, text=True,
                       errors="replace", timeout=90)
    check("child exit %s (%s)" % (bug_ids, r.stderr[-300:]), r.returncode, 0)
    return r.stdout.replace("\r\n", "\n").splitlines()


out = run("AAAA1111", "BBBB2222")
check("log path", out[0], "log " + win_folder + "LogChild.vlf")
check("first run", out[1:], ["duplicate 0 warning 0", "duplicate 0 warning 0", "reports 2"])
path = os.path.join(scratch, "LogChild.vlf")
data = open(path, "rb").read()


def reports(data):
    # Reports are separated by runs of at least four CR LF pairs after their last line.
    return [r for r in re.split(rb"(?:\r\n){4,}", data) if r.strip(b"\r\n")]


def item(report, item_id):
    m = re.search(rb"\r\n  " + re.escape(item_id.encode()) + rb" [^:\r\n]*: ([^\r\n]*)\r\n",
                  report)
    return m.group(1).decode() if m else None


check("CR LF only", data.count(b"\n"), data.count(b"\r\n"))
check("no bare CR", data.count(b"\r"), data.count(b"\r\n"))
check("starts with the product line", data.startswith(b"VantorLog 6.0.15\r\n\r\n"), True)
# Without the CPU section a report text ends with the caption block of its registers (a dash
# line and a blank line); three pairs follow each report, one more joins them, none follows the
# last.
check("ends after three pairs", data.endswith(b"Registers:\r\n----------" + b"\r\n" * 5),
      True)
rs = reports(data)
check("stored reports", len(rs), 2)
# The first report was read back before the second was added: loading keeps three pairs after
# its last non-blank line, and the joining pair makes four.
check("between the reports", data.count(b"----------" + b"\r\n" * 4 + b"VantorLog"), 1)
check("bug IDs", [item(r, "2.7") for r in rs], ["AAAA1111", "BBBB2222"])
check("counts", [item(r, "2.8") for r in rs], ["1", "1"])
check("messages", [item(r, "2.6") for r in rs], ["Failure number 1.", "Failure number 2."])
check("call-stack mark", [b"-\r\n|" in r for r in rs], [True, True])

# The same error again: no new report, the count of the stored one goes up; a new one adds.
out = run("AAAA1111", "CCCC3333", "AAAA1111")
check("second run", out[1:],
      ["duplicate 1 warning 0", "duplicate 0 warning 0", "duplicate 1 warning 0", "reports 3"])
data = open(path, "rb").read()
rs = reports(data)
check("bug IDs after", [item(r, "2.7") for r in rs], ["AAAA1111", "BBBB2222", "CCCC3333"])
check("counts after", [item(r, "2.8") for r in rs], ["3", "1", "1"])
check("CR LF only after", data.count(b"\r"), data.count(b"\r\n"))

xml_path = path + ".xml"
r = subprocess.run(["xmllint", "--noout", xml_path], capture_output=True, text=True)
check("xmllint", (r.returncode, r.stderr), (0, ""))
doc = ET.parse(xml_path).getroot()
ids = [ln.get("Value") for ln in doc.iter("Line") if ln.get("ID") == "2.7"]
check("XML bug IDs", ids, ["AAAA1111", "BBBB2222", "CCCC3333"])
counts = [ln.get("Value") for ln in doc.iter("Line") if ln.get("ID") == "2.8"]
check("XML counts", counts, ["3", "1", "1"])
check("XML modules", [len(log.findall("Modules")) for log in doc.findall("Log")], [0, 0, 0])

# Companion files: all in one temporary folder; each optional one only with its send flag.
out = run("names", "C:\\a.txt; C:\\b.txt")
lines = dict(line.split(" ", 1) for line in out[1:] if " " in line)
check("names lines", len(out), 8)
out += [""] * 8
m = re.match(r"off copy=(.*\\)LogChild\.vlf zip=(.*) shot= page= xml=$", out[1])
check("names off", bool(m), True)
if m:
    temp = m.group(1)
    check("zip", m.group(2), temp + "BugReport.zip")
    check("names on", out[3],
          "on copy=%sLogChild.vlf zip=%sBugReport.zip shot=%sScreenshot.png "
          "page=%sLastHTMLPage.html xml=%sLogChild.xml" % ((temp,) * 5))
    # For the zip with FAppendToLog the log copy stays out.
    check("zip files off", out[2], "off zipfiles [C:\\a.txt] [C:\\b.txt]")
    check("zip files on", out[4],
          "on zipfiles [C:\\a.txt] [C:\\b.txt] [%sScreenshot.png] [%sLastHTMLPage.html] "
          "[%sLogChild.xml]" % ((temp,) * 3))
    check("options file", lines["options"], temp + "00001A2B00400000.bin")
# Written as lines (CR LF after each), read back joined with CR LF (shown escaped).
check("page read back", lines.get("page"), r"[<p>one</p>\r\ntwo]")
check("missing file", lines.get("missing"), "[]")

# A log folder with a name outside ASCII (the library's paths are ANSI, code page 1252 here):
# the log lands in that folder, under its own name.
os.makedirs(os.path.join(scratch, "Z\u00fcrich"))
out = run("EEEE5555", folder=win_folder + "Z\u00fcrich\\")
check("non-ASCII folder run", out[1:], ["duplicate 0 warning 0", "reports 1"])
stored = os.path.join(scratch, "Z\u00fcrich", "LogChild.vlf")
check("non-ASCII folder file", os.path.exists(stored), True)
if os.path.exists(stored):
    check("non-ASCII folder report", [item(r, "2.7") for r in reports(open(stored, "rb").read())],
          ["EEEE5555"])
check("non-ASCII folder XML", os.path.exists(stored + ".xml"), True)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("log file: all checks passed")
