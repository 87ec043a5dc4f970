#!/usr/bin/env python3
"""The Windows bridge under Wine against the Linux stand-in simulator, loopback only: its start-up
without a simulator, and with the frozen worked-example simulator: its line byte for byte the Linux
bridge's, "h270" becoming its event and a 1025-byte datagram none, and Ctrl+C ending it with 0.

Usage: wine_e2e.py --wine "WINE [ARG...]" --exe skyhelm.exe --sim skyhelm-sim --linux-bridge skyhelm
                   [--no-sigint]
--no-sigint kills the bridge instead: under qemu-user a host signal that reaches 32-bit Wine's
handlers corrupts the process.
"""
import argparse
import os
import queue
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time

LOOPBACK = "127.0.0.1"
WINE_TIMEOUT_S = 120  # one Wine process start and run, prefix already built
WAIT_S = 60  # any one expected reaction
# The simulator's start values that give the worked-example line, one "--set" per line.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e",
                       "worked_example.txt"), encoding="utf-8") as f:
    WORKED_EXAMPLE_SETTINGS = f.read().splitlines()


class Fail(Exception):
    pass


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class Child:
    """A child whose standard output lines are read on a thread, for wait_line."""

    def __init__(self, argv, env=None):
        self.name, self.seen, self.lines = " ".join(map(os.path.basename, argv)), [], queue.Queue()
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("latin-1").rstrip("\r\n"))
        self.lines.put(None)

    def wait_line(self, prefix):
        """Consumes lines until one starts with `prefix`; that line."""
        deadline = time.monotonic() + WAIT_S
        while True:
            try:
                line = self.lines.get(timeout=max(deadline - time.monotonic(), 0.01))
            except queue.Empty:
                line = None
            if line is None:
                raise Fail(f"{self.name}: no {prefix!r} within {WAIT_S} s; saw {self.seen[-5:]}")
            self.seen.append(line)
            if line.startswith(prefix):
                return line

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def telemetry_line(peer, port):
    """Sends "1" to the bridge on `port` until a datagram other than "\\r\\n" (all it has before the
    first record) comes back; that datagram."""
    peer.bind((LOOPBACK, 0))
    peer.settimeout(0.2)
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        peer.sendto(b"1", (LOOPBACK, port))  # the bridge binds on its first pass: may be lost
        try:
            while (data := peer.recv(2048)) == b"\r\n":
                pass
            return data
        except (socket.timeout, ConnectionRefusedError):
            pass
    raise Fail(f"no telemetry line from the bridge on port {port}")


def check_startup(args, children):
    nowhere = f"{LOOPBACK}:{free_port(socket.SOCK_STREAM)}"
    # Wine's debugstr channel shows what reaches OutputDebugStringA, on standard error.
    env = dict(os.environ, SKYHELM_SIM_ADDRESS=nowhere, WINEDEBUG="-all,+debugstr")
    result = subprocess.run(args.wine + [args.exe], stdin=subprocess.DEVNULL, capture_output=True,
                            env=env, timeout=WINE_TIMEOUT_S)
    expected = (b"Initializing...\r\nPort is set to 47001\r\nSetting Up UDP Client...\r\n"
                b"Starting Skyhelm Setup...\r\n")
    if result.returncode != 0 or result.stdout != expected:
        raise Fail(f"start-up: status {result.returncode}, output {result.stdout!r}")
    debugger = [line.split(b"OutputDebugStringA ", 1)[1] for line in result.stderr.splitlines()
                if b"OutputDebugStringA " in line]
    if debugger != [b'"Initializing...\\n"', b'"Setting Up UDP Client...\\n"',
                    b'"Starting Skyhelm Setup...\\n"']:
        raise Fail(f"start-up: debugger output {debugger!r}")


def check_bridge(args, children):
    sets = [a for s in WORKED_EXAMPLE_SETTINGS for a in ("--set", s)]
    sim = Child([args.sim, "--port", "0", "--freeze"] + sets)
    children.append(sim)
    env = dict(os.environ, SKYHELM_SIM_ADDRESS=sim.wait_line("listening on ").split()[-1])
    win_port, linux_port = free_port(), free_port()
    bridge = Child(args.wine + [args.exe, str(win_port)], env)
    children += [bridge, Child([args.linux_bridge, str(linux_port)], env)]
    bridge.wait_line("Running...")
    with socket.socket(type=socket.SOCK_DGRAM) as win_peer, \
            socket.socket(type=socket.SOCK_DGRAM) as linux_peer:
        win_line, linux_line = telemetry_line(win_peer, win_port), telemetry_line(
            linux_peer, linux_port)
        if win_line != linux_line or not win_line.startswith(b"v1.2,"):
            raise Fail(f"telemetry differs:\n  windows {win_line!r}\n  linux   {linux_line!r}")
        # A datagram one byte over the buffer fails the receive: the marker h90 is the very next
        # event.
        for datagrams, expected in (([b"h270"], "270"), ([b"h" + b"1" * 1024, b"h90"], "90")):
            for datagram in datagrams:
                win_peer.sendto(datagram, (LOOPBACK, win_port))
            event = sim.wait_line("event ")
            if event != f"event HEADING_BUG_SET {expected}":
                raise Fail(f"{datagrams[-1][:8]!r} gave {event!r}")
    print(f"worked-example line ({len(win_line)} bytes) byte for byte from Windows and Linux")
    if args.no_sigint:
        return bridge.proc.kill()
    # Wine turns SIGINT into the console's Ctrl+C event.
    bridge.proc.send_signal(signal.SIGINT)
    status = bridge.proc.wait(timeout=WAIT_S)
    if status != 0:
        raise Fail(f"Ctrl+C ended the bridge with status {status}")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--wine", "--exe", "--sim", "--linux-bridge"):
        parser.add_argument(option, required=True)
    parser.add_argument("--no-sigint", action="store_true")
    args = parser.parse_args()
    args.wine = shlex.split(args.wine)
    checks = [("start-up without simulator", check_startup),
              ("bridge against the stand-in simulator", check_bridge)]
    failed = 0
    for name, check in checks:
        started, children = time.monotonic(), []
        try:
            check(args, children)
            print(f"ok   {name} ({time.monotonic() - started:.1f} s)")
        except (Fail, subprocess.TimeoutExpired) as error:
            failed += 1
            print(f"FAIL {name}: {error}")
        finally:
            for child in reversed(children):
                child.stop()
    print(f"wine: {len(checks) - failed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
