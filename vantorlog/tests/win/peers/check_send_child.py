#!/usr/bin/python3
"""The send child against a real SMTP server (aiosmtpd) and HTTP servers on 127.0.0.1: each
server gets one archive whose listing (zipfile) holds the log copy, the XML copy (xmllint)
and Screenshot.png (PNG reader); a failing web server keeps the archive in the log folder
under its suffixed name and prunes the kept archives to 10 (a foreign one untouched); the
result box; a clean temporary folder; with the send thread, the send after the processing
line and the terminate or restart after the send. Under the 1251 code page the temporary
folder has a Cyrillic name.
Usage: check_send_child.py <child.exe> <work dir> <runner...>"""
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_peers import HttpPeer, SmtpPeer  # noqa: E402

exe, work, runner = sys.argv[1], sys.argv[2], sys.argv[3:]
failures = []
SENT = "The message was sent successfully."
NOT_SENT = "Sorry, sending the message didn't work."
# Waits for the program grow on a slow (emulated) machine.
WAIT = max(1.0, float(os.environ.get("TEST_WAIT_FACTOR") or 1))


def windows(path):
    return "Z:" + path.replace("/", "\\")


def archive_spec():
    return {"entries": ["send.vlf", "send.xml", "Screenshot.png"], "xml": ["send.xml"],
            "png": ["Screenshot.png"], "contains": {"send.vlf": "the send child's throw"}}


def run(mode, temp_name, web_fails=False, environment=None, code=None, slow=False):
    where = "%s (%s): " % (mode, temp_name)
    folder = os.path.join(work, mode)
    shutil.rmtree(folder, ignore_errors=True)
    temp = os.path.join(folder, temp_name)
    log = os.path.join(folder, "log")
    os.makedirs(temp)
    os.makedirs(log)
    trail = os.path.join(folder, "trail.txt")
    # Slow servers hold each phase long enough for the send dialog to be read. The body is
    # %_ExceptMsg%, the exception's message text, which always ends in a full stop.
    smtp = SmtpPeer({"sessions": [{"expect": {
        "subject_text": "Crash in " + windows(exe), "text": "the send child's throw.",
        "archive": archive_spec()}, "delay": {"HELO": 1.5, "DATA": 1.5} if slow else {}}]})
    http = HttpPeer({"requests": [{"status": 500, "reason": "Down", "count": 1}] if web_fails else
                     [{"expect": {"method": "POST", "path": "/upload.php",
                                  "archive": archive_spec()}, "count": 1,
                       "delay": 1.5 if slow else 0}]})
    kept_before = []
    if web_fails:
        kept_before = ["BugReport__OLD__2020010100000%d.zip" % i for i in range(10)] + \
                      ["BugReport.zip"]
        for name in kept_before + ["Family.zip"]:
            with open(os.path.join(log, name), "w") as f:
                f.write(name)
    env = dict(os.environ, VL_SEND_SMTP_PORT=str(smtp.port), VL_SEND_HTTP_PORT=str(http.port),
               VL_SEND_LOG=windows(log), VL_SEND_TMP=windows(temp), **(environment or {}))
    started = time.time()
    r = subprocess.run(runner + [exe, mode, windows(trail)], env=env, capture_output=True,
                       text=True, timeout=150 * WAIT)
    if code is not None and r.returncode != code:
        failures.append(where + "exit code %d, want %d (%s)" % (r.returncode, code, r.stderr[-300:]))
    for e in smtp.report() + http.report():
        failures.append(where + e)
    rows = []
    for _ in range(int(200 * WAIT)):  # a restarted instance writes after this one ended
        rows = open(trail, encoding="latin-1").read().splitlines() if os.path.exists(trail) else []
        if mode != "restart" or "restarted" in rows:
            break
        time.sleep(0.1)
    boxes = [row[4:] for row in rows if row.startswith("box ")]
    if boxes != [NOT_SENT if web_fails else SENT]:
        failures.append(where + "boxes %r" % boxes)
    left = sorted(os.listdir(temp))
    if left:
        failures.append(where + "left in the temporary folder: %r" % left)
    return rows, log, kept_before, time.time() - started


def order(rows, first, then, where):
    if first not in rows or then not in rows or rows.index(first) > rows.index(then):
        failures.append(where + "%r before %r expected in %r" % (first, then, rows))


# In place: both servers get the archive; the runtime then ends the uncaught throw.
rows, _, _, _ = run("in-place", "tmp", code=3)
order(rows, "action 7", "p 18", "in-place: ")

# A failing web server: the archive kept under the name with the computer name and time,
# 11 kept archives of earlier runs become 10 with the new one, the foreign archive stays.
rows, log, before, _ = run("kept", "tmp", web_fails=True, code=3)
names = sorted(n for n in os.listdir(log) if n.lower().endswith(".zip"))  # the log is there too
new = [n for n in names if re.fullmatch(r"BugReport__[^_].*__\d{14}\.zip", n) and "OLD" not in n]
if len(new) != 1:
    failures.append("kept: no new kept archive in %r" % names)
else:
    with open(os.path.join(log, new[0]), "rb") as f:
        if f.read(2) != b"PK":
            failures.append("kept: %s is not an archive" % new[0])
# The new one is never among the pruned: of the others the two first by name go.
want = sorted(["BugReport__OLD__2020010100000%d.zip" % i for i in range(1, 10)] +
              ["Family.zip"] + new)
if names != want:
    failures.append("kept: log folder %r, want %r" % (names, want))

# The send thread: sent after the processing line returned; the user's terminate choice ends
# the process after the send. The object the events see outlived the caught exception.
rows, _, _, _ = run("thread", "tmp", code=1)
order(rows, "p 18", "action 4", "thread: ")
if "object the send child's throw" not in rows:
    failures.append("thread: the events' object %r" % [r for r in rows if r.startswith("object")])
if "end" in rows:
    failures.append("thread: the program went on to its end")

# The crash-rate rule restarts after the send, in the send thread.
rows, _, _, _ = run("restart", "tmp", code=1)
order(rows, "action 7", "restarted", "restart: ")

# The send progress dialog: one for the e-mail and one for the web upload, each showing its
# phases with the bar at 100 once the data is out, and closed before the result box.
rows, _, _, _ = run("dialog", "tmp", code=3, slow=True)
dialogs, current = [], None
for row in rows:
    if row.startswith("dialog up "):
        current = {"caption": row[10:], "status": [], "pos": []}
        dialogs.append(current)
    elif row == "dialog closed":
        current = None
    elif current is not None and row.startswith("status "):
        current["status"].append(row[7:])
    elif current is not None and row.startswith("pos "):
        current["pos"].append(int(row[4:]))
want_phases = [["Message 1/1: Connected with server.", "Message 1/1: Sending message..."],
               ["Sending message..."]]
if len(dialogs) != 2:
    failures.append("dialog: %d send dialogs in %r" % (len(dialogs), rows))
for d, phases in zip(dialogs, want_phases):
    if d["caption"] != "Send.":
        failures.append("dialog: caption %r" % d["caption"])
    if [p for p in d["status"] if p in phases] != phases:
        failures.append("dialog: phases %r, want %r among them" % (d["status"], phases))
    if d["pos"] != sorted(d["pos"]) or not d["pos"] or d["pos"][-1] != 100:
        failures.append("dialog: bar positions %r" % d["pos"])
closed = [i for i, r in enumerate(rows) if r == "dialog closed"]
boxes = [i for i, r in enumerate(rows) if r.startswith("box ")]
if len(closed) != 2 or not boxes or boxes[0] < closed[-1]:
    failures.append("dialog: the dialogs closed before the box? %r" % rows)
order(rows, "action 7", "p 18", "dialog: ")

# A temporary folder with a Cyrillic name under the 1251 code page (Wine takes it from the
# locale, which the machine must have).
cyrillic = "Временные файлы"
before = len(failures)
russian = {"LC_ALL": "ru_RU.UTF-8"}
if os.environ.get("VL_LOCPATH"):
    russian["LOCPATH"] = os.environ["VL_LOCPATH"]  # the build tree's own locale
rows, _, _, _ = run("in-place", cyrillic, environment=russian, code=3)
if "acp 1251" not in rows:
    del failures[before:]
    print("SKIP: no 1251 code page under ru_RU.UTF-8 (%r)" % [r for r in rows if r.startswith("acp")])

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)
