"""Test support for the scripts that drive the real programs on 127.0.0.1: a child whose standard
output is read line by line, free loopback ports, and a UDP peer of the bridge."""
import os
import queue
import socket
import subprocess
import threading
import time

LOOPBACK = "127.0.0.1"


class Fail(Exception):
    pass


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class Child:
    """A child process; its standard output lines (line ends stripped) are read on a thread and
    kept in `seen` as the waits consume them."""

    def __init__(self, argv, wait_s, env=None, stderr=subprocess.DEVNULL):
        self.name, self.wait_s, self.seen = " ".join(map(os.path.basename, argv)), wait_s, []
        self.lines = queue.Queue()
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=stderr, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("latin-1").rstrip("\r\n"))
        self.lines.put(None)

    def wait_line(self, predicate, what):
        """Consumes lines until one satisfies `predicate`; that line. Fails after wait_s."""
        deadline = time.monotonic() + self.wait_s
        while True:
            try:
                line = self.lines.get(timeout=max(deadline - time.monotonic(), 0.01))
            except queue.Empty:
                raise Fail(f"{self.name}: no {what} within {self.wait_s} s; saw {self.seen[-5:]}")
            if line is None:
                raise Fail(f"{self.name} ended before {what}; saw {self.seen[-5:]}")
            self.seen.append(line)
            if predicate(line):
                return line

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def start_simulator(sim, wait_s, settings=()):
    """The frozen stand-in simulator on a free port, its variables set by `settings` ("Name=value"
    each), and its "127.0.0.1:port" address."""
    child = Child([sim, "--port", "0", "--freeze"] + [a for s in settings for a in ("--set", s)],
                  wait_s)
    return child, child.wait_line(lambda l: l.startswith("listening on "), "address").split()[-1]


class Peer:
    """A UDP socket on 127.0.0.1 that talks to the bridge on `port`."""

    def __init__(self, port, wait_s):
        self.bridge, self.wait_s = (LOOPBACK, port), wait_s
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((LOOPBACK, 0))

    def send(self, payload):
        self.sock.sendto(payload, self.bridge)

    def line(self):
        """Sends "1" until a datagram other than "\\r\\n" (all the bridge has before the first
        record) comes back; that datagram, which must be a telemetry line."""
        deadline = time.monotonic() + self.wait_s
        self.sock.settimeout(0.2)
        while time.monotonic() < deadline:
            self.send(b"1")  # the bridge binds its port on its first pass, so "1" may be lost
            try:
                while True:
                    data, sender = self.sock.recvfrom(2048)
                    if sender != self.bridge or data == b"\r\n":
                        continue
                    if not (data.startswith(b"v1.2,") and data.endswith(b",\n\r\n")):
                        raise Fail(f"unexpected datagram from the bridge: {data[:80]!r}")
                    return data
            except (socket.timeout, ConnectionRefusedError):
                pass
        raise Fail(f"no telemetry line from the bridge on port {self.bridge[1]}")
