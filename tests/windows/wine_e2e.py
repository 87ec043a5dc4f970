#!/usr/bin/env python3
"""Runs the Windows bridge under Wine against the Linux stand-in simulator, loopback only.

Checks: start-up without a simulator (the four texts with Windows line ends, status 0, and the
three status messages through OutputDebugStringA); with a
frozen simulator, a "1" gets the same telemetry line the Linux bridge sends for the same
simulator state; "h270" becomes the simulator event HEADING_BUG_SET 270; a 1025-byte datagram
becomes no event. Every wait has a generous deadline; nothing asserts that anything was fast.

Usage: wine_e2e.py --wine WINE --exe skyhelm.exe --sim skyhelm-sim --linux-bridge skyhelm
The Wine environment (WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES) comes from the caller.
"""
import argparse
import os
import queue
import socket
import subprocess
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
WINE_TIMEOUT_S = 120  # one Wine process start and run, prefix already built
WAIT_S = 60  # any one expected reaction


class Fail(Exception):
    pass


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class Child:
    """A child process whose standard output is read line by line on a thread."""

    def __init__(self, name, argv, env=None):
        self.name = name
        self.lines = queue.Queue()
        self.seen = []
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("latin-1"))
        self.lines.put(None)

    def wait_line(self, predicate, what):
        deadline = time.monotonic() + WAIT_S
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Fail(f"{self.name}: no {what} within {WAIT_S} s; saw {self.seen[-5:]!r}")
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise Fail(f"{self.name} ended before {what}; saw {self.seen[-5:]!r}")
            self.seen.append(line)
            if predicate(line):
                return line

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def check_startup(args):
    nowhere = f"{LOOPBACK}:{free_port(socket.SOCK_STREAM)}"
    # Wine's debugstr channel shows what reaches OutputDebugStringA, on standard error.
    env = dict(os.environ, SKYHELM_SIM_ADDRESS=nowhere, WINEDEBUG="-all,+debugstr")
    result = subprocess.run([args.wine, args.exe], stdin=subprocess.DEVNULL, capture_output=True,
                            env=env, timeout=WINE_TIMEOUT_S)
    expected = (b"Initializing...\r\nPort is set to 47001\r\nSetting Up UDP Client...\r\n"
                b"Starting Skyhelm Setup...\r\n")
    if result.returncode != 0 or result.stdout != expected:
        raise Fail(f"start-up: status {result.returncode}, output {result.stdout!r}")
    debugger = [line.split(b"OutputDebugStringA ", 1)[1] for line in result.stderr.splitlines()
                if b"OutputDebugStringA " in line]
    expected_debugger = [b'"Initializing...\\n"', b'"Setting Up UDP Client...\\n"',
                         b'"Starting Skyhelm Setup...\\n"']
    if debugger != expected_debugger:
        raise Fail(f"start-up: debugger output {debugger!r}")


class Peer:
    """A UDP peer on 127.0.0.1 that talks to one bridge port."""

    def __init__(self, bridge_port):
        self.bridge = (LOOPBACK, bridge_port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((LOOPBACK, 0))
        self.sock.settimeout(0.2)

    def send(self, payload):
        self.sock.sendto(payload, self.bridge)

    def telemetry_line(self):
        """Sends "1" until a reply carries a line (the bridge may not be bound, or may have no
        data block yet); returns that reply."""
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            self.send(b"1")
            try:
                while True:
                    reply, sender = self.sock.recvfrom(2048)
                    if sender == self.bridge and len(reply) > 2:
                        return reply
            except socket.timeout:
                pass
        raise Fail(f"no telemetry line from the bridge on port {self.bridge[1]}")

    def close(self):
        self.sock.close()


def is_event(line):
    return line.startswith("event ")


def check_bridge(args):
    sim = Child("skyhelm-sim", [args.sim, "--port", "0", "--freeze"])
    children = [sim]
    peers = []
    try:
        listening = sim.wait_line(lambda l: l.startswith("listening on "), "listening line")
        sim_address = listening.split()[-1]
        win_port = free_port(socket.SOCK_DGRAM)
        linux_port = free_port(socket.SOCK_DGRAM)
        env = dict(os.environ, SKYHELM_SIM_ADDRESS=sim_address)
        windows = Child("skyhelm.exe", [args.wine, args.exe, str(win_port)], env)
        children.append(windows)
        linux = Child("skyhelm", [args.linux_bridge, str(linux_port)], env)
        children.append(linux)
        windows.wait_line(lambda l: l.startswith("Running..."), "Running...")

        win_peer, linux_peer = Peer(win_port), Peer(linux_port)
        peers += [win_peer, linux_peer]
        win_line = win_peer.telemetry_line()
        linux_line = linux_peer.telemetry_line()
        if win_line != linux_line or not win_line.endswith(b",\n\r\n"):
            raise Fail(f"telemetry differs:\n  windows {win_line!r}\n  linux   {linux_line!r}")

        win_peer.send(b"h270")
        event = sim.wait_line(is_event, "event for h270")
        if event.rstrip("\r\n") != "event HEADING_BUG_SET 270":
            raise Fail(f"h270 gave {event!r}")

        # A datagram one byte over the buffer fails the receive; the marker after it must be
        # the very next event.
        win_peer.send(b"h" + b"1" * 1024)
        win_peer.send(b"h90")
        event = sim.wait_line(is_event, "event for the marker h90")
        if event.rstrip("\r\n") != "event HEADING_BUG_SET 90":
            raise Fail(f"after the 1025-byte datagram the next event was {event!r}")
        print(f"telemetry line ({len(win_line)} bytes) identical on Windows and Linux")
    finally:
        for peer in peers:
            peer.close()
        for child in reversed(children):
            child.stop()


def main():
    parser = argparse.ArgumentParser()
    for option in ("--wine", "--exe", "--sim", "--linux-bridge"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    checks = [("start-up without simulator", check_startup),
              ("bridge against the stand-in simulator", check_bridge)]
    passed = failed = 0
    for name, check in checks:
        started = time.monotonic()
        try:
            check(args)
            passed += 1
            print(f"ok   {name} ({time.monotonic() - started:.1f} s)")
        except (Fail, subprocess.TimeoutExpired) as error:
            failed += 1
            print(f"FAIL {name}: {error}")
    print(f"wine: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
