#!/usr/bin/python3
"""The shell mail sender: the test program opens the registered mailto handler (a child of
ours that writes its command line to a file); the URL is taken apart with urllib.parse and
compared with the inputs, for a short message and for a report too long for one command line.
Usage: check_mailto.py <scratch folder> <command that runs the test program...>"""
import os
import re
import shutil
import subprocess
import sys
import urllib.parse

scratch, program = sys.argv[1], sys.argv[2:]
shutil.rmtree(scratch, ignore_errors=True)
os.makedirs(scratch)
failures = []
MAX_COMMAND_LINE = 32766


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(name, recipients, subject, text, report):
    inputs = os.path.join(scratch, name + ".in")
    log = os.path.join(scratch, name + ".log")
    with open(inputs, "wb") as f:
        f.write(b"\0".join([recipients, subject, text, report]) + b"\0")
    env = dict(os.environ, VL_MAIL_SHELL_INPUT=windows_path(inputs),
               VL_MAIL_CLIENT_LOG=windows_path(log), VL_MAIL_WORD="expanded")
    r = subprocess.run(program + ["--gtest_filter=ShellSend.StartsTheRegisteredHandler*"],
                       env=env, capture_output=True, timeout=120)
    out = r.stdout.decode("latin-1")
    if r.returncode != 0 or "[  PASSED  ] 1 test" not in out:
        failures.append("%s: test program failed (%d): %s" % (name, r.returncode, out[-1500:]))
        return None
    with open(log, "rb") as f:
        line = f.read()
    m = re.fullmatch(rb'"[^"]*vantorlog_mail_client_child\.exe" "(mailto:[^"]*)"', line)
    if not m:
        failures.append("%s: command line %r" % (name, line[:300]))
        return None
    return line, m.group(1)


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got[:300], want[:300]))


def parts(url):
    """Recipients and the decoded query fields; the escaped forms must be the plain ones."""
    # Parsed as Latin-1 text (one character a byte); the escapes decoded to bytes.
    split = urllib.parse.urlsplit(url.decode("latin-1"))
    check("scheme", split.scheme, "mailto")
    fields = {}
    for item in split.query.split("&"):
        key, _, value = (x.encode("latin-1") for x in item.partition("="))
        # Only "-", digits, letters, high bytes and whole upper-case escapes remain.
        if not re.fullmatch(rb"(?:[-0-9A-Za-z\x80-\xff]|%[0-9A-F]{2})*", value):
            failures.append("escaping of %r: %r" % (key, value[:200]))
        fields[key] = urllib.parse.unquote_to_bytes(value)
    return urllib.parse.unquote_to_bytes(split.path.encode("latin-1")), list(fields), fields


# A short message: the subject's colon, blank and slash escaped, 0xE9 kept as it is; environment
# references expanded in subject and text; the report behind three line breaks.
subject = b"Bug: a/b caf\xe9 %VL_MAIL_WORD%"
text = b"Hello %VL_MAIL_WORD%,\r\nline 2 & more?=#+100%"
report = b"Exception: EAccessViolation\r\nAddress: 0040100A\r\n"
got = run("short", b"first@example.org;second@example.net", subject, text, report)
if got:
    line, url = got
    recipients, keys, fields = parts(url)
    check("recipients", recipients, b"first@example.org;second@example.net")
    check("fields", keys, [b"Subject", b"Body"])
    check("subject", fields.get(b"Subject"), b"Bug: a/b caf\xe9 expanded")
    check("body", fields.get(b"Body"),
          b"Hello expanded,\r\nline 2 & more?=#+100%\r\n\r\n\r\n" + report)
    if b"Subject=Bug%3A%20a%2Fb%20caf\xe9%20" not in url:
        failures.append("subject escapes: %r" % url[:120])

# A report far beyond one command line: the body is cut at a whole escape so that the line
# fits, and what arrives is the start of the text.
report = bytes(range(32, 127)) * 600
got = run("long", b"a@example.org", b"long", b"text", report)
if got:
    line, url = got
    if len(line) > MAX_COMMAND_LINE or len(line) < MAX_COMMAND_LINE - 2:
        failures.append("long: command line of %d characters" % len(line))
    recipients, keys, fields = parts(url)
    body = fields.get(b"Body", b"")
    full = b"text\r\n\r\n\r\n" + report
    check("long body is the text's start", full[:len(body)], body)
    if len(body) < 9000:
        failures.append("long: only %d bytes of the body arrived" % len(body))

for f in failures:
    print("FAIL:", f)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
