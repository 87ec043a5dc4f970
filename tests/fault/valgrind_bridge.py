#!/usr/bin/env python3
"""Runs the bridge under valgrind memcheck against the stand-in simulator and drives it from a
loopback peer: commands (among them a 1024-byte datagram, which is applied, and a 1025-byte one,
which is not), telemetry lines, exactly the expected events at the simulator, then SIGTERM.
Passes only when valgrind exits with 0: no invalid access, no uninitialised use, no definite leak.

Usage: valgrind_bridge.py BIN_DIR   (the directory holding skyhelm and skyhelm-sim)
"""
import os
import signal
import subprocess
import sys

sys.dont_write_bytecode = True  # keeps the source tree free of __pycache__
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback import Child, Fail, Peer, free_port, start_simulator  # noqa: E402

WAIT_S = 30  # generous: everything under valgrind runs many times slower
COMMANDS = [  # datagram, the events it gives
    (b"h270", ["event HEADING_BUG_SET 270"]),
    (b"v-500", ["event AP_VS_VAR_SET_ENGLISH -500"]),
    (b"FE", ["event TOGGLE_FLIGHT_DIRECTOR 0", "event AP_MASTER 0"]),
    (b"", []),
    (b"l900" + b" " * 1020, ["event AP_ALT_VAR_SET_ENGLISH 900"]),  # exactly 1024 bytes
    (b"h777" + b"7" * 1021, []),  # 1025 bytes: a failed receive, no command
    (b"g1", ["event GEAR_SET 1"]),
    (b"h1", ["event HEADING_BUG_SET 1"]),  # the marker: a stray event would come before it
]
EXPECTED_EVENTS = [event for _, events in COMMANDS for event in events]

def drive(bin_dir, children):
    sim, sim_address = start_simulator(os.path.join(bin_dir, "skyhelm-sim"), WAIT_S)
    children.append(sim)
    udp_port = free_port()
    bridge = Child(["valgrind", "--error-exitcode=99", "--leak-check=full",
                    "--errors-for-leak-kinds=definite", "--track-origins=yes", "--quiet",
                    os.path.join(bin_dir, "skyhelm"), str(udp_port)], WAIT_S,
                   env=dict(os.environ, SKYHELM_SIM_ADDRESS=sim_address), stderr=subprocess.PIPE)
    children.append(bridge)
    bridge.wait_line(lambda l: l == "Running...", "Running...")
    peer = Peer(udp_port, WAIT_S)
    for _ in range(3):
        peer.line()
    for datagram, expected in COMMANDS:
        peer.send(datagram)
        if expected:
            sim.wait_line(lambda l, e=expected[-1]: l == e, expected[-1])
    for _ in range(3):
        peer.line()
    events = [line for line in sim.seen if line.startswith("event ")]
    if events != EXPECTED_EVENTS:
        raise Fail(f"events at the simulator: {events}, expected {EXPECTED_EVENTS}")

    bridge.proc.send_signal(signal.SIGTERM)
    status = bridge.proc.wait(timeout=WAIT_S * 2)
    if status != 0:
        print(bridge.proc.stderr.read().decode("latin-1"))
        raise Fail(f"valgrind exit status {status} (99: memcheck errors)")
    print(f"valgrind memcheck clean: 6 telemetry lines checked, {len(events)} events as expected")


def main():
    children = []
    try:
        drive(sys.argv[1], children)
    except Fail as error:
        raise SystemExit(str(error))
    finally:
        for child in reversed(children):
            child.stop()


if __name__ == "__main__":
    main()
