#!/usr/bin/python3
"""Peers of the socket tests on 127.0.0.1, made on request of the test program.

Usage: socket_peers.py -- command...
Runs the command with VL_SOCKET_PEERS=<control port>. Each request on the control port is one
JSON line and gets one line back (a port number, or the report's tab-separated fields):
  {"op": "tcp", "script": [...]}  a line server on a fresh port, for one connection; steps:
      {"send": text}             send the text
      {"expect": line}           read one line (up to CR LF) and check it
      {"read": n}                read n bytes
      {"sleep": seconds}
      {"close": true}            close the connection now
      {"hold": seconds}          keep the connection open and silent
      {"flood": seconds}         send without a pause
      {"drip": [seconds, gap]}   send one byte after every gap
    after the script the server reads until the client closes (10 s at most).
  {"op": "udp", "replies": [...]} a DNS responder on a fresh port; per query the next item
      (the last one repeats): {"mx": [[preference, host], ...], "compress": bool},
      {"raw": hex}, {"silent": true}.
  {"op": "closed"}                a port that nothing listens on.
  {"op": "report", "port": n}    once the server's connection ended (10 s at most): the
      number of mismatches, the received bytes in hex, the queries in hex separated by ",",
      the mismatch texts separated by " | ".
"""
import os
import socket
import sys
import threading
import time

import dnslib  # at start: an import at the first query would miss its short timeout

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_control  # noqa: E402

peers = peer_control.PeerTable()


class TcpPeer:
    def __init__(self, script):
        self.script = script
        self.received = b""
        self.errors = []
        self.done = threading.Event()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def read_line(self, conn):
        line = b""
        while not line.endswith(b"\r\n"):
            c = conn.recv(1)
            if not c:
                break
            line += c
        self.received += line
        return line

    def run(self):
        self.listener.settimeout(30)
        try:
            conn, _ = self.listener.accept()
        except OSError as e:
            self.errors.append("no connection: %s" % e)
            self.done.set()
            return
        finally:
            self.listener.close()
        conn.settimeout(10)
        try:
            for step in self.script:
                if "send" in step:
                    conn.sendall(step["send"].encode("latin-1"))
                elif "expect" in step:
                    line = self.read_line(conn)
                    if line != step["expect"].encode("latin-1"):
                        self.errors.append("expected %r, got %r" % (step["expect"], line))
                elif "read" in step:
                    data = b""
                    while len(data) < step["read"]:
                        chunk = conn.recv(step["read"] - len(data))
                        if not chunk:
                            break
                        data += chunk
                    self.received += data
                elif "sleep" in step:
                    time.sleep(step["sleep"])
                elif "hold" in step:
                    end = time.time() + step["hold"]
                    conn.settimeout(0.05)
                    while time.time() < end:
                        try:
                            chunk = conn.recv(4096)
                            if not chunk:
                                break
                            self.received += chunk
                        except socket.timeout:
                            pass
                    conn.settimeout(10)
                elif "flood" in step:
                    end = time.time() + step["flood"]
                    block = b"f" * 4096
                    while time.time() < end:
                        conn.sendall(block)
                elif "drip" in step:
                    seconds, gap = step["drip"]
                    end = time.time() + seconds
                    while time.time() < end:
                        conn.sendall(b"d")
                        time.sleep(gap)
                elif "close" in step:
                    break
            else:
                while True:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    self.received += chunk
        except OSError as e:
            self.errors.append("connection: %s" % e)
        finally:
            conn.close()
            self.done.set()

    def report(self):
        self.done.wait(10)
        errors = list(self.errors)
        if not self.done.is_set():
            errors.append("connection still open")
        return {"received": self.received.decode("latin-1"), "errors": errors}


class FullNameMX(dnslib.MX):
    def pack(self, buffer):
        buffer.pack("!H", self.preference)
        buffer.encode_name_nocompress(self.label)


def mx_reply(query, records, compress):
    """The MX answer a DNS library (dnslib) builds for the query it parsed; without compress
    the exchangers' names are written out in full."""
    request = dnslib.DNSRecord.parse(query)
    if request.q.qtype != dnslib.QTYPE.MX or request.q.qclass != dnslib.CLASS.IN:
        raise ValueError("not an MX query: %s" % request.q)
    reply = request.reply()
    for preference, host in records:
        mx = (dnslib.MX if compress else FullNameMX)(host, preference)
        reply.add_answer(dnslib.RR(request.q.qname, dnslib.QTYPE.MX, rdata=mx, ttl=3600))
    return reply.pack()


class UdpPeer:
    def __init__(self, replies):
        self.replies = replies
        self.queries = []
        self.errors = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                query, peer = self.sock.recvfrom(4096)
            except OSError:
                return
            n = len(self.queries)
            self.queries.append(query.hex())
            item = self.replies[min(n, len(self.replies) - 1)] if self.replies else {"silent": 1}
            if "mx" in item:
                try:
                    reply = mx_reply(query, item["mx"], item.get("compress", False))
                except Exception as e:  # dnslib's parse errors name what is wrong
                    self.errors.append("query %d: %s" % (n, e))
                    continue
                self.sock.sendto(reply, peer)
            elif "raw" in item:
                self.sock.sendto(bytes.fromhex(item["raw"]), peer)

    def report(self):
        return {"queries": list(self.queries), "errors": list(self.errors)}


def closed_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def respond(request):
    op = request["op"]
    if op == "tcp":
        return peers.add(TcpPeer(request["script"]))
    if op == "udp":
        return peers.add(UdpPeer(request["replies"]))
    if op == "closed":
        return str(closed_port())
    if op == "report":
        peer = peers.get(request["port"])
        r = peer.report() if peer else {"errors": ["no such peer"]}
        errors = r.get("errors", [])
        return "\t".join([str(len(errors)), r.get("received", "").encode("latin-1").hex(),
                          ",".join(r.get("queries", [])), " | ".join(errors)])
    return "0"


def main():
    sys.exit(peer_control.run("VL_SOCKET_PEERS", respond))


if __name__ == "__main__":
    main()
