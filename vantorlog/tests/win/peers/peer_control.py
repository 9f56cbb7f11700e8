"""The control server of the peer scripts on 127.0.0.1: runs the test program with the control
port in an environment variable; each request is one JSON line and gets one line back."""
import json
import os
import socketserver
import subprocess
import sys
import threading


class PeerTable:
    """The peers made so far, by port."""

    def __init__(self):
        self.lock = threading.Lock()
        self.by_port = {}

    def add(self, peer):
        """Keeps the peer; its port as the answer."""
        with self.lock:
            self.by_port[peer.port] = peer
        return str(peer.port)

    def get(self, port):
        with self.lock:
            return self.by_port.get(port)


class ControlServer(socketserver.ThreadingTCPServer):
    daemon_threads = True


def run(variable, respond, args=None):
    """Runs the command (the command line after "--") with the control port in the environment
    variable, answering each request with respond(request); returns the command's exit code."""
    if args is None:
        args = sys.argv[1:]
    if args and args[0] == "--":
        args = args[1:]

    class Control(socketserver.StreamRequestHandler):
        def handle(self):
            for line in self.rfile:
                self.wfile.write((respond(json.loads(line)) + "\n").encode())
                self.wfile.flush()

    server = ControlServer(("127.0.0.1", 0), Control)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    env = dict(os.environ, **{variable: str(server.server_address[1])})
    rc = subprocess.call(args, env=env)
    server.shutdown()
    return rc
