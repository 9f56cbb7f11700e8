#!/usr/bin/python3
"""Checks the composed mail message and upload body with Python's email parser and base64.

Usage: mime_check.py <work folder> [runner...] <mime_writer>
"""
import base64
import email
import email.policy
import os
import random
import subprocess
import sys

BOUNDARY = "=_xcjvnxkbhvfkxzhfdbvzldjhfv"


def run(cmd, args):
    subprocess.run(cmd + args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def check_mail(work, cmd, errors):
    rnd = random.Random(7)
    sizes = [0, 1, 2, 3, 59, 60, 61, 160, 4096, 70001]
    files = []
    for i, size in enumerate(sizes):
        name = "Screenshot.png" if i == 1 else "file%d.bin" % i
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(bytes(rnd.randrange(256) for _ in range(size)))
        files.append(path)
    text = b"First line\r\n.\r\n.dot line\r\nend"
    text_path = os.path.join(work, "text.txt")
    with open(text_path, "wb") as f:
        f.write(text)
    out = os.path.join(work, "mail.eml")
    run(cmd, ["mail", out, "Crash in\r\nmodule", text_path] + files)
    raw = open(out, "rb").read()
    if not raw.endswith(b"\r\n."):
        errors.append("message does not end with the dot line")
    body = raw[:-1]
    # The server removes the doubled dots of the data before the parser sees them.
    lines = body.split(b"\r\n")
    body = b"\r\n".join(l[1:] if l.startswith(b"..") else l for l in lines)
    msg = email.message_from_bytes(body, policy=email.policy.compat32)
    if msg.get_content_type() != "multipart/mixed" or msg.get_boundary() != BOUNDARY:
        errors.append("content type %r" % msg["Content-Type"])
    if msg["Subject"] != "Crash in module":
        errors.append("subject %r" % msg["Subject"])
    if msg["To"] != "<desk@example.org>" or msg["From"] != '"Bug Owner" <bugs@example.org>':
        errors.append("addresses %r %r" % (msg["To"], msg["From"]))
    if msg["Date"] != "Tue, 3 Mar 2009 14:05:09 +0530" or msg["MIME-Version"] != "1.0":
        errors.append("date or version")
    parts = msg.get_payload()
    if len(parts) != 1 + len(files):
        errors.append("%d parts" % len(parts))
        return
    if parts[0].get_content_type() != "text/plain" or parts[0].get_payload(decode=True).rstrip(b"\r\n") != text:
        errors.append("text part %r" % parts[0].get_payload(decode=True))
    for part, path in zip(parts[1:], files):
        name = os.path.basename(path)
        want_type = "image/png" if name.endswith(".png") else "application/octet-stream"
        if part.get_content_type() != want_type:
            errors.append("%s: type %s" % (name, part.get_content_type()))
        if part.get_filename() != name or part.get_param("name") != name:
            errors.append("%s: names %r %r" % (name, part.get_filename(), part.get_param("name")))
        if part.get_content_disposition() != "attachment":
            errors.append("%s: disposition" % name)
        payload = part.get_payload()
        data = open(path, "rb").read()
        if part.get_payload(decode=True) != data:
            errors.append("%s: decoded bytes differ" % name)
        b64 = base64.b64encode(data).decode()
        want = "\r\n".join(b64[i:i + 80] for i in range(0, len(b64), 80))
        if payload.replace("\n", "\r\n").replace("\r\r", "\r").rstrip("\r\n") != want:
            errors.append("%s: base64 lines differ" % name)


def check_mail_8bit(work, cmd, errors):
    """Russian subject and text in windows-1251 with bare line breaks, the sender as a name with
    an address in angle brackets: a strict real server (aiosmtpd refusing bare CR or LF) takes
    the message under the envelope sender, and the email module decodes the Russian texts."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "win", "peers"))
    from web_peers import SmtpPeer
    subject = "Ошибка в программе"
    text = "Отчёт\nстрока\rконец.\n.\n"
    text_path = os.path.join(work, "text1251.txt")
    with open(text_path, "wb") as f:
        f.write(text.encode("cp1251"))
    out = os.path.join(work, "mail1251.eml")
    env = dict(os.environ, VL_MIME_SENDER="Bug Desk <bugs@example.org>",
               VL_MIME_CHARSET="windows-1251")
    subprocess.run(cmd + ["mail", out, subject.encode("cp1251"), text_path], check=True, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    raw = open(out, "rb").read()
    envelope = open(out + ".envelope", "rb").read().decode("latin-1")
    if envelope != "bugs@example.org":
        errors.append("envelope %r" % envelope)
    if b"\n" in raw.replace(b"\r\n", b"") or b"\r" in raw.replace(b"\r\n", b""):
        errors.append("bare CR or LF in the message")
    want_text = "Отчёт\r\nстрока\r\nконец.\r\n.\r\n"
    peer = SmtpPeer({"sessions": [{
        "dialogue": ["HELO", "MAIL FROM:<bugs@example.org>", "RCPT TO:<desk@example.org>", "DATA"],
        "expect": {"subject_text": subject, "text_body": want_text.rstrip("\r\n"),
                   "from": "Bug Desk <bugs@example.org>"}}]})
    import socket
    s = socket.create_connection(("127.0.0.1", peer.port), timeout=10)
    reader = s.makefile("rb")

    def reply():
        line = reader.readline()
        while line[3:4] == b"-":
            line = reader.readline()
        return line

    replies = [reply()]
    for line in [b"HELO here", b"MAIL FROM:<" + envelope.encode() + b">",
                 b"RCPT TO:<desk@example.org>", b"DATA", raw]:
        s.sendall(line + b"\r\n")
        replies.append(reply())
    reader.close()
    s.close()
    if [r[:3] for r in replies] != [b"220", b"250", b"250", b"250", b"354", b"250"]:
        errors.append("server replies %r" % replies)
    errors.extend(peer.report())


def check_upload(work, cmd, errors):
    rnd = random.Random(9)
    boundary = "---------------------------0A0B0C0D0E0F"
    files = []
    for i, size in enumerate([5000, 0, 17]):
        path = os.path.join(work, "up%d.dat" % i)
        with open(path, "wb") as f:
            f.write(bytes(rnd.randrange(256) for _ in range(size)))
        files.append(path)
    missing = os.path.join(work, "missing.zip")
    files.insert(1, missing)
    out = os.path.join(work, "upload.txt")
    run(cmd, ["upload", out, boundary, "build=7", "user=Anne Smith"] + ["--"] + files)
    body = open(out, "rb").read()
    head = ("Content-Type: multipart/form-data; boundary=%s\r\n\r\n" % boundary).encode()
    msg = email.message_from_bytes(head + body, policy=email.policy.compat32)
    parts = msg.get_payload()
    got = [(p.get_param("name", header="content-disposition"), p.get_filename(),
            p.get_payload(decode=True)) for p in parts]
    want = [("build", None, b"7"), ("user", None, b"Anne Smith")]
    for i, path in enumerate(files):
        if path != missing:
            want.append(("vl_upload_file_%d" % i, os.path.basename(path), open(path, "rb").read()))
    if got != want:
        errors.append("upload parts %r" % [(n, f, len(d or b"")) for n, f, d in got])


def main():
    work = sys.argv[1]
    cmd = sys.argv[2:]
    os.makedirs(work, exist_ok=True)
    errors = []
    check_mail(work, cmd, errors)
    check_mail_8bit(work, cmd, errors)
    check_upload(work, cmd, errors)
    for e in errors:
        print("FAIL:", e)
    print("mime checks: %d failures" % len(errors))
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()
