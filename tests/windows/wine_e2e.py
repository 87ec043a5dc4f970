#!/usr/bin/env python3
"""Runs the Windows bridge under Wine against the Linux stand-in simulator, loopback only:
start-up without a simulator (texts with Windows line ends, status 0, the debugger messages); with
a frozen simulator, the same telemetry line as the Linux bridge, "h270" becoming its event, and a
1025-byte datagram becoming none. Every wait has a generous deadline.

Usage: wine_e2e.py --wine WINE --exe skyhelm.exe --sim skyhelm-sim --linux-bridge skyhelm
The Wine environment (WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES) comes from the caller.
"""
import argparse
import os
import socket
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keeps the source tree free of __pycache__
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback import LOOPBACK, Child, Fail, Peer, free_port, start_simulator  # noqa: E402

WINE_TIMEOUT_S = 120  # one Wine process start and run, prefix already built
WAIT_S = 60  # any one expected reaction


def check_startup(args, children):
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
    if debugger != [b'"Initializing...\\n"', b'"Setting Up UDP Client...\\n"',
                    b'"Starting Skyhelm Setup...\\n"']:
        raise Fail(f"start-up: debugger output {debugger!r}")


def check_bridge(args, children):
    sim, sim_address = start_simulator(args.sim, WAIT_S)
    children.append(sim)
    env = dict(os.environ, SKYHELM_SIM_ADDRESS=sim_address)
    win_port, linux_port = free_port(), free_port()
    children.append(Child([args.wine, args.exe, str(win_port)], WAIT_S, env))
    children.append(Child([args.linux_bridge, str(linux_port)], WAIT_S, env))
    children[-2].wait_line(lambda l: l == "Running...", "Running...")

    win_peer, linux_peer = Peer(win_port, WAIT_S), Peer(linux_port, WAIT_S)
    win_line, linux_line = win_peer.line(), linux_peer.line()
    if win_line != linux_line:
        raise Fail(f"telemetry differs:\n  windows {win_line!r}\n  linux   {linux_line!r}")

    # A datagram one byte over the buffer fails the receive: the marker h90 is the very next event.
    for datagrams, expected in (([b"h270"], "270"), ([b"h" + b"1" * 1024, b"h90"], "90")):
        for datagram in datagrams:
            win_peer.send(datagram)
        event = sim.wait_line(lambda l: l.startswith("event "), f"event after {datagrams[-1]!r}")
        if event != f"event HEADING_BUG_SET {expected}":
            raise Fail(f"{datagrams[-1][:8]!r} gave {event!r}")
    print(f"telemetry line ({len(win_line)} bytes) identical on Windows and Linux")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--wine", "--exe", "--sim", "--linux-bridge"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
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
