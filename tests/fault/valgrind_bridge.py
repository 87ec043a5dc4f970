#!/usr/bin/env python3
"""Runs the bridge under valgrind memcheck against the stand-in simulator and drives it from a
loopback peer: the peer registers, sends commands (a 1024-byte datagram, which is applied, and a
1025-byte one, which is not), checks that telemetry lines arrive and that the simulator sees
exactly the expected events, then stops the bridge with SIGTERM. Passes only when valgrind exits
with 0: no invalid read or write, no use of uninitialised values, no definite leak.

Usage: valgrind_bridge.py BIN_DIR   (the directory holding skyhelm and skyhelm-sim)
"""
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time

WAIT_S = 30  # generous: everything under valgrind runs many times slower


def reader(stream, lines):
    for line in iter(stream.readline, ""):
        lines.put(line.rstrip("\n"))


def wait_for(lines, seen, wanted, timeout_s=WAIT_S):
    deadline = time.monotonic() + timeout_s
    while wanted not in seen:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        try:
            seen.append(lines.get(timeout=left))
        except queue.Empty:
            return False
    return True


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def expect_lines(peer, count):
    """Receives `count` telemetry lines; fails on a timeout or a malformed datagram."""
    for _ in range(count):
        data = peer.recv(2048)
        if not (data.startswith(b"v1.2,") and data.endswith(b",\n\r\n")):
            raise SystemExit("unexpected datagram from the bridge: %r" % data[:80])


def register(peer, target):
    """Sends "1" until the first line comes back: "Running..." is printed before the first pass
    binds the port, and a datagram that arrives before the bind is lost."""
    deadline = time.monotonic() + WAIT_S
    peer.settimeout(0.5)
    try:
        while time.monotonic() < deadline:
            peer.sendto(b"1", target)
            try:
                peer.recv(2048)
                return
            except (TimeoutError, ConnectionRefusedError):
                continue
        raise SystemExit("no telemetry line from the bridge")
    finally:
        peer.settimeout(WAIT_S)


def main():
    bin_dir = sys.argv[1]
    sim = subprocess.Popen([os.path.join(bin_dir, "skyhelm-sim"), "--port", "0", "--freeze"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    bridge = None
    try:
        sim_lines, sim_seen = queue.Queue(), []
        threading.Thread(target=reader, args=(sim.stdout, sim_lines), daemon=True).start()
        first = sim_lines.get(timeout=WAIT_S)
        sim_port = int(first.rsplit(":", 1)[1])

        udp_port = free_udp_port()
        env = dict(os.environ, SKYHELM_SIM_ADDRESS="127.0.0.1:%d" % sim_port)
        bridge = subprocess.Popen(
            ["valgrind", "--error-exitcode=99", "--leak-check=full",
             "--errors-for-leak-kinds=definite", "--track-origins=yes", "--quiet",
             os.path.join(bin_dir, "skyhelm"), str(udp_port)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, text=True)
        bridge_lines, bridge_seen = queue.Queue(), []
        threading.Thread(target=reader, args=(bridge.stdout, bridge_lines), daemon=True).start()
        if not wait_for(bridge_lines, bridge_seen, "Running..."):
            raise SystemExit("the bridge did not start under valgrind")

        peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        peer.bind(("127.0.0.1", 0))
        peer.settimeout(WAIT_S)
        target = ("127.0.0.1", udp_port)
        register(peer, target)
        expect_lines(peer, 3)

        commands = [
            (b"h270", "event HEADING_BUG_SET 270"),
            (b"v-500", "event AP_VS_VAR_SET_ENGLISH -500"),
            (b"FE", "event AP_MASTER 0"),
            (b"", None),
            (b"l900" + b" " * 1020, "event AP_ALT_VAR_SET_ENGLISH 900"),  # exactly 1024 bytes
            (b"h777" + b"7" * 1021, None),  # 1025 bytes: a failed receive, no command
            (b"g1", "event GEAR_SET 1"),
        ]
        for datagram, event in commands:
            peer.sendto(datagram, target)
            if event is not None and not wait_for(sim_lines, sim_seen, event):
                raise SystemExit("the simulator never saw %r; it saw %r" % (event, sim_seen))
        expect_lines(peer, 3)
        time.sleep(0.5)  # let a stray event (there must be none) reach the simulator's output
        while not sim_lines.empty():
            sim_seen.append(sim_lines.get())
        events = [line for line in sim_seen if line.startswith("event ")]
        expected = ["event HEADING_BUG_SET 270", "event AP_VS_VAR_SET_ENGLISH -500",
                    "event TOGGLE_FLIGHT_DIRECTOR 0", "event AP_MASTER 0",
                    "event AP_ALT_VAR_SET_ENGLISH 900", "event GEAR_SET 1"]
        if events != expected:
            raise SystemExit("events at the simulator: %r, expected %r" % (events, expected))

        bridge.send_signal(signal.SIGTERM)
        status = bridge.wait(timeout=WAIT_S * 2)
        report = bridge.stderr.read()
        if status != 0:
            print(report)
            raise SystemExit("valgrind exit status %d (99: memcheck errors)" % status)
        print("valgrind memcheck clean: %d telemetry lines checked, %d events as expected"
              % (6, len(events)))
    finally:
        if bridge is not None and bridge.poll() is None:
            bridge.kill()
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            sim.kill()


if __name__ == "__main__":
    main()
