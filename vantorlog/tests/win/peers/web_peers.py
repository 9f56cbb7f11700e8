#!/usr/bin/python3
"""Peers of the sender tests on 127.0.0.1: HTTP(S), FTP, SMTP and DNS, made on request.

Usage: web_peers.py -- command...
Runs the command with VL_WEB_PEERS=<control port>. Each request on the control port is one
JSON line and gets one line back: a port number, or for "report" the number of mismatches, a
tab and the mismatch texts separated by " | ".
  {"op": "http", "https": bool, "requests": [...]}  an HTTP server; request i gets item i (the
      last repeats): {"status", "reason", "headers": [[k, v]], "body", "expect": {"method",
      "path", "auth", "fields": [[name, value]], "files": [[name, filename, hex]]}, "delay":
      seconds before the answer}; the
      multipart body is parsed with the email module.
  {"op": "ftp", "user", "password", "deny": [names], "expect": {path: hex}, "archives": {path:
      spec of archive_check.py}}  pyftpdlib; STOR of a denied name is refused; the report
      compares the files that landed (exactly those of "expect" and "archives").
  {"op": "smtp", "sessions": [...]}  a real SMTP server (aiosmtpd), one item per connection:
      {"replies": {"RCPT": "550 no"}, "dialogue": [lines], "expect": {"subject" (bytes as
      latin-1), "subject_text", "to", "from", "text" (bytes as latin-1), "text_body" (decoded in
      the declared charset), "attachments": [[filename, type, hex]], "archive": spec of
      archive_check.py}, "delay": {"HELO" or "DATA": seconds before the reply}}; the data is
      parsed with the email module.
  {"op": "silent", "seconds": n}  accepts connections, reads and never answers; each
      connection is closed after n seconds.
  {"op": "udp", "replies": [...]}  a DNS responder (socket_peers.py).
  {"op": "closed"}  a port nothing listens on.
  {"op": "report", "port": n}
"""
import base64
import email
import email.policy
import http.server
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_control  # noqa: E402
from socket_peers import UdpPeer, closed_port  # noqa: E402
from archive_check import check_archive  # noqa: E402

peers = peer_control.PeerTable()
work = tempfile.mkdtemp(prefix="web-peers-")


def parse_multipart(content_type, body):
    msg = email.message_from_bytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body,
        policy=email.policy.compat32)
    fields, files = [], []
    if not msg.is_multipart():
        return None, None
    for part in msg.get_payload():
        name = part.get_param("name", header="content-disposition")
        filename = part.get_filename()
        data = part.get_payload(decode=True) or b""
        if filename is None:
            fields.append([name, data.decode("latin-1")])
        else:
            files.append([name, filename, data.hex()])
    return fields, files


class HttpPeer:
    def __init__(self, request):
        self.items = request.get("requests") or [{}]
        self.errors = []
        self.count = 0
        peer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def handle_any(self):
                item = peer.items[min(peer.count, len(peer.items) - 1)]
                n = peer.count
                peer.count += 1
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                peer.check(n, item.get("expect"), self, body)
                time.sleep(item.get("delay", 0))
                out = item.get("body", "").encode("latin-1")
                self.send_response(item.get("status", 200), item.get("reason"))
                for k, v in item.get("headers", []):
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(out)))
                self.end_headers()
                self.wfile.write(out)

            do_GET = do_POST = handle_any

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        if request.get("https"):
            cert = os.path.join(work, "cert.pem")
            key = os.path.join(work, "key.pem")
            with peers.lock:
                if not os.path.exists(cert):
                    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                    "-keyout", key, "-out", cert, "-days", "1", "-subj",
                                    "/CN=peer.invalid"], check=True, capture_output=True)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def check(self, n, expect, handler, body):
        if not expect:
            return
        where = "request %d: " % n
        if "method" in expect and handler.command != expect["method"]:
            self.errors.append(where + "method %s" % handler.command)
        if "path" in expect and handler.path != expect["path"]:
            self.errors.append(where + "path %r" % handler.path)
        if handler.headers.get("User-Agent") != "VantorLog":
            self.errors.append(where + "agent %r" % handler.headers.get("User-Agent"))
        if "auth" in expect and handler.headers.get("Authorization") != expect["auth"]:
            self.errors.append(where + "authorization %r" % handler.headers.get("Authorization"))
        if "fields" in expect or "files" in expect or "archive" in expect or "file_names" in expect:
            fields, files = parse_multipart(handler.headers.get("Content-Type", ""), body)
            if fields is None:
                self.errors.append(where + "not multipart: %r" % handler.headers.get("Content-Type"))
                return
            strict = "fields" in expect or "files" in expect
            if strict and fields != expect.get("fields", []):
                self.errors.append(where + "fields %r" % fields)
            if strict and files != expect.get("files", []):
                self.errors.append(where + "files %r" % [f[:2] + [len(f[2]) // 2] for f in files])
            if "file_names" in expect and [f[:2] for f in files] != expect["file_names"]:
                self.errors.append(where + "file names %r" % [f[:2] for f in files])
            if "archive" in expect:
                if len(files) != 1:
                    self.errors.append(where + "%d files" % len(files))
                else:
                    self.errors += check_archive(bytes.fromhex(files[0][2]), expect["archive"], where)

    def report(self):
        errors = list(self.errors)
        want = self.items[-1].get("count") if self.items else None
        if self.count == 0:
            errors.append("no request")
        if want is not None and self.count != want:
            errors.append("%d requests" % self.count)
        return errors


class FtpPeer:
    def __init__(self, request):
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import ThreadedFTPServer
        import logging
        logging.getLogger("pyftpdlib").setLevel(logging.ERROR)
        self.home = tempfile.mkdtemp(dir=work)
        self.expect = request.get("expect", {})
        self.archives = request.get("archives", {})
        for folder in request.get("folders", []):
            os.makedirs(os.path.join(self.home, folder), exist_ok=True)
        deny = set(request.get("deny", []))
        authorizer = DummyAuthorizer()
        authorizer.add_user(request.get("user", "joe"), request.get("password", "pw"),
                            self.home, perm="elradfmw")

        class Handler(FTPHandler):
            def ftp_STOR(self, file, mode="w"):
                if os.path.basename(file) in deny:
                    self.respond("550 Not allowed here.")
                    return
                return super().ftp_STOR(file, mode)

        Handler.authorizer = authorizer
        Handler.passive_ports = None
        self.server = ThreadedFTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.address[1]
        threading.Thread(target=self.server.serve_forever, kwargs={"timeout": 0.2},
                         daemon=True).start()

    def report(self):
        got = {}
        for root, _, names in os.walk(self.home):
            for name in names:
                path = os.path.join(root, name)
                got[os.path.relpath(path, self.home)] = open(path, "rb").read().hex()
        errors = []
        if sorted(got) != sorted(list(self.expect) + list(self.archives)):
            errors.append("files %r" % sorted(got))
        for name, spec in self.archives.items():
            if name in got:
                errors += check_archive(bytes.fromhex(got[name]), spec, name + ": ")
        for name, data in self.expect.items():
            if name in got and got[name] != data:
                errors.append("%s: %d bytes differ from the %d sent" % (name, len(got[name]) // 2,
                                                                         len(data) // 2))
        return errors


class SmtpPeer:
    """A real SMTP server (aiosmtpd) on a fresh port, one session item per connection, that
    records the dialogue as its hooks see it and parses the data with the email module. A
    strict server: a message with a bare CR or LF is refused, as servers that forbid them do."""

    def __init__(self, request):
        import asyncio
        from aiosmtpd.smtp import SMTP, AuthResult

        self.sessions = request.get("sessions") or [{}]
        self.errors = []
        self.dialogues = [None] * len(self.sessions)
        self.count = 0
        self.finished = 0
        self.done = threading.Event()
        peer = self

        class Handler:
            def __init__(self, n):
                self.n = n
                self.session = peer.sessions[min(n, len(peer.sessions) - 1)]
                self.dialogue = []
                peer.dialogues[min(n, len(peer.sessions) - 1)] = self.dialogue
                self.replies = self.session.get("replies", {})
                self.delay = self.session.get("delay", {})

            async def handle_HELO(self, server, session, envelope, hostname):
                self.dialogue.append("HELO")
                session.host_name = hostname
                await asyncio.sleep(self.delay.get("HELO", 0))
                return "250 peer"

            async def handle_EHLO(self, server, session, envelope, hostname, responses):
                self.dialogue.append("EHLO")
                session.host_name = hostname
                return responses

            async def handle_RSET(self, server, session, envelope):
                self.dialogue.append("RSET")
                return "250 OK"

            async def handle_MAIL(self, server, session, envelope, address, options):
                self.dialogue.append("MAIL FROM:<%s>" % address)
                envelope.mail_from = address
                return self.replies.get("MAIL", "250 OK")

            async def handle_RCPT(self, server, session, envelope, address, options):
                self.dialogue.append("RCPT TO:<%s>" % address)
                reply = self.replies.get("RCPT", "250 OK")
                if reply.startswith("25"):
                    envelope.rcpt_tos.append(address)
                return reply

            async def handle_DATA(self, server, session, envelope):
                self.dialogue.append("DATA")
                await asyncio.sleep(self.delay.get("DATA", 0))
                data = envelope.original_content
                if b"\r" in data.replace(b"\r\n", b"") or b"\n" in data.replace(b"\r\n", b""):
                    peer.errors.append("session %d: bare CR or LF in the data" % self.n)
                    return "550 5.6.0 Bare CR or LF is not allowed"
                if "expect" in self.session:
                    peer.check_message(self.n, self.session["expect"], data)
                return "250 queued"

        def authenticate(server, session, envelope, mechanism, auth_data):
            handler = server.event_handler
            handler.dialogue += ["AUTH " + mechanism,
                                 "USER " + auth_data.login.decode("latin-1"),
                                 "PASS " + auth_data.password.decode("latin-1")]
            return AuthResult(success=True)

        def factory():
            n = peer.count
            peer.count += 1
            server = SMTP(Handler(n), hostname="peer", authenticator=authenticate,
                          auth_require_tls=False, auth_exclude_mechanism=["PLAIN"],
                          decode_data=False)
            lost = server.connection_lost

            def connection_lost(error):
                lost(error)
                peer.finished += 1
                if peer.finished >= len(peer.sessions):
                    peer.done.set()
            server.connection_lost = connection_lost
            return server

        self.loop = asyncio.new_event_loop()
        self.server = self.loop.run_until_complete(
            self.loop.create_server(factory, "127.0.0.1", 0))
        self.port = self.server.sockets[0].getsockname()[1]
        threading.Thread(target=self.loop.run_forever, daemon=True).start()

    def check_message(self, n, expect, data):
        import email.header
        where = "session %d: " % n
        msg = email.message_from_bytes(data, policy=email.policy.compat32)

        def header_bytes(value):
            out = b""
            for piece, charset in email.header.decode_header(value or ""):
                out += piece if isinstance(piece, bytes) else piece.encode("latin-1")
            return out

        for key in ("to", "from"):
            if key in expect and msg[key] != expect[key]:
                self.errors.append(where + "%s %r" % (key, msg[key]))
        if "subject" in expect and header_bytes(msg["subject"]) != expect["subject"].encode("latin-1"):
            self.errors.append(where + "subject %r" % msg["subject"])
        if "subject_text" in expect:
            subject = str(email.header.make_header(email.header.decode_header(msg["subject"])))
            if subject != expect["subject_text"]:
                self.errors.append(where + "subject text %r" % subject)
        if msg.get_content_type() != "multipart/mixed":
            self.errors.append(where + "type %r" % msg.get_content_type())
            return
        parts = msg.get_payload()
        text = parts[0].get_payload(decode=True)
        if "text" in expect and text.rstrip(b"\r\n") != expect["text"].encode("latin-1"):
            self.errors.append(where + "text %r" % text)
        if "text_body" in expect:
            charset = parts[0].get_content_charset() or "ascii"
            body = text.decode(charset).rstrip("\r\n")
            if body != expect["text_body"]:
                self.errors.append(where + "text in %s %r" % (charset, body))
        got = [[p.get_filename(), p.get_content_type(), p.get_payload(decode=True).hex()]
               for p in parts[1:]]
        if "attachments" in expect and got != expect["attachments"]:
            self.errors.append(where + "attachments %r" % [g[:2] + [len(g[2]) // 2] for g in got])
        if "archive" in expect:
            zips = [bytes.fromhex(g[2]) for g in got if g[0] and g[0].lower().endswith(".zip")]
            if len(zips) != 1:
                self.errors.append(where + "%d archives among %r" % (len(zips), [g[0] for g in got]))
            else:
                self.errors += check_archive(zips[0], expect["archive"], where)

    def report(self):
        self.done.wait(45)
        errors = list(self.errors)
        for n, session in enumerate(self.sessions):
            want = session.get("dialogue")
            got = self.dialogues[n]
            if got is None:
                errors.append("session %d: no connection" % n)
            elif want is not None and got != want:
                errors.append("session %d: dialogue %r" % (n, got))
        if not self.done.is_set():
            errors.append("sessions still open")
        return errors


class SilentPeer:
    def __init__(self, request):
        self.seconds = request.get("seconds", 60)
        self.accepted = 0
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self.hold, args=(conn,), daemon=True).start()

    def hold(self, conn):
        conn.settimeout(self.seconds)
        try:
            while conn.recv(4096):
                pass
        except OSError:
            pass
        conn.close()

    def report(self):
        return [] if self.accepted else ["no connection"]


def respond(request):
    op = request["op"]
    try:
        if op == "report":
            peer = peers.get(request["port"])
            errors = peer.report() if peer else ["no such peer"]
            if isinstance(errors, dict):  # the DNS responder's report
                errors = errors.get("errors", [])
            return "%d\t%s" % (len(errors), " | ".join(errors))
        if op == "closed":
            return str(closed_port())
        peer = {"http": HttpPeer, "ftp": FtpPeer, "smtp": SmtpPeer, "silent": SilentPeer}.get(op)
        peer = peer(request) if peer else UdpPeer(request["replies"])
    except Exception as e:  # a broken request answers 0
        sys.stderr.write("web_peers: %s\n" % e)
        return "0"
    return peers.add(peer)


def main():
    rc = peer_control.run("VL_WEB_PEERS", respond)
    subprocess.call(["rm", "-rf", work])
    sys.exit(rc)


if __name__ == "__main__":
    main()
