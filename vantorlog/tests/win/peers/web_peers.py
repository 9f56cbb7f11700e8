#!/usr/bin/python3
"""Peers of the sender tests on 127.0.0.1: HTTP(S), FTP, SMTP and DNS, made on request.

Usage: web_peers.py -- command...
Runs the command with VL_WEB_PEERS=<control port>. Each request on the control port is one
JSON line and gets one line back: a port number, or for "report" the number of mismatches, a
tab and the mismatch texts separated by " | ".
  {"op": "http", "https": bool, "requests": [...]}  an HTTP server; request i gets item i (the
      last repeats): {"status", "reason", "headers": [[k, v]], "body", "expect": {"method",
      "path", "auth", "fields": [[name, value]], "files": [[name, filename, hex]]}}; the
      multipart body is parsed with the email module.
  {"op": "ftp", "user", "password", "deny": [names], "expect": {path: hex}}  pyftpdlib; STOR of
      a denied name is refused; the report compares the files that landed.
  {"op": "smtp", "sessions": [...]}  one item per connection: {"auth": [user, password] or
      null, "replies": {"RCPT": "550 no"}, "dialogue": [lines], "expect": {"subject", "to",
      "from", "text", "attachments": [[filename, type, hex]]}}; the data is parsed with
      email.parser.
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_control  # noqa: E402
from socket_peers import UdpPeer, closed_port  # noqa: E402

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
        if "fields" in expect or "files" in expect:
            fields, files = parse_multipart(handler.headers.get("Content-Type", ""), body)
            if fields is None:
                self.errors.append(where + "not multipart: %r" % handler.headers.get("Content-Type"))
                return
            if fields != expect.get("fields", []):
                self.errors.append(where + "fields %r" % fields)
            if files != expect.get("files", []):
                self.errors.append(where + "files %r" % [f[:2] + [len(f[2]) // 2] for f in files])

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
        if sorted(got) != sorted(self.expect):
            errors.append("files %r" % sorted(got))
        for name, data in self.expect.items():
            if name in got and got[name] != data:
                errors.append("%s: %d bytes differ from the %d sent" % (name, len(got[name]) // 2,
                                                                         len(data) // 2))
        return errors


class SmtpPeer:
    def __init__(self, request):
        self.sessions = request.get("sessions") or [{}]
        self.errors = []
        self.done = threading.Event()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        self.listener.settimeout(40)
        try:
            for n, session in enumerate(self.sessions):
                try:
                    conn, _ = self.listener.accept()
                except OSError as e:
                    self.errors.append("session %d: no connection (%s)" % (n, e))
                    return
                conn.settimeout(20)
                try:
                    self.serve(n, session, conn)
                except OSError as e:
                    self.errors.append("session %d: %s" % (n, e))
                finally:
                    conn.close()
        finally:
            self.listener.close()
            self.done.set()

    def serve(self, n, session, conn):
        reader = conn.makefile("rb")
        replies = session.get("replies", {})
        dialogue = []
        auth_step = None
        data = None

        def send(text):
            conn.sendall(text.encode("latin-1"))

        send("220 peer ready\r\n")
        while True:
            raw = reader.readline()
            if not raw:
                break
            line = raw.decode("latin-1")
            if not line.endswith("\r\n"):
                self.errors.append("session %d: line without CR LF %r" % (n, line))
            line = line[:-2] if line.endswith("\r\n") else line.rstrip("\n")
            if auth_step == "user":
                dialogue.append("USER " + base64.b64decode(line).decode("latin-1"))
                auth_step = "password"
                send("334 UGFzc3dvcmQ6\r\n")
                continue
            if auth_step == "password":
                dialogue.append("PASS " + base64.b64decode(line).decode("latin-1"))
                auth_step = None
                send(replies.get("PASS", "235 accepted") + "\r\n")
                continue
            word = line.split(" ")[0].upper()
            if word in ("HELO", "EHLO"):
                dialogue.append(word)
            elif word == "MAIL" or word == "RCPT":
                dialogue.append(line)
            else:
                dialogue.append(line)
            if word in replies:
                send(replies[word] + "\r\n")
                continue
            if word == "EHLO":
                send("250-peer greets you\r\n250 AUTH LOGIN\r\n")
            elif word == "AUTH":
                auth_step = "user"
                send("334 VXNlcm5hbWU6\r\n")
            elif word == "DATA":
                send("354 go ahead\r\n")
                chunks = []
                while True:
                    l = reader.readline()
                    if not l or l == b".\r\n":
                        break
                    chunks.append(l[1:] if l.startswith(b".") else l)
                data = b"".join(chunks)
                send("250 queued\r\n")
            elif word == "QUIT":
                send("221 bye\r\n")
                break
            else:
                send("250 ok\r\n")
        want = session.get("dialogue")
        if want is not None and dialogue != want:
            self.errors.append("session %d: dialogue %r" % (n, dialogue))
        if "expect" in session:
            if data is None:
                self.errors.append("session %d: no data" % n)
            else:
                self.check_message(n, session["expect"], data)

    def check_message(self, n, expect, data):
        where = "session %d: " % n
        msg = email.message_from_bytes(data, policy=email.policy.compat32)
        for key in ("subject", "to", "from"):
            if key in expect and msg[key] != expect[key]:
                self.errors.append(where + "%s %r" % (key, msg[key]))
        if msg.get_content_type() != "multipart/mixed":
            self.errors.append(where + "type %r" % msg.get_content_type())
            return
        parts = msg.get_payload()
        text = parts[0].get_payload(decode=True).decode("latin-1")
        if "text" in expect and text.rstrip("\r\n") != expect["text"]:
            self.errors.append(where + "text %r" % text)
        got = [[p.get_filename(), p.get_content_type(), p.get_payload(decode=True).hex()]
               for p in parts[1:]]
        if "attachments" in expect and got != expect["attachments"]:
            self.errors.append(where + "attachments %r" % [g[:2] + [len(g[2]) // 2] for g in got])

    def report(self):
        self.done.wait(45)
        errors = list(self.errors)
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
