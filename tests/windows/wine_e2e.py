#!/usr/bin/env python3
"""The Windows bridge under Wine against the Linux stand-in simulator, loopback only: start-up
without a simulator (Windows line ends, status 0, the debugger texts); with a frozen simulator set
to the worked example, its telemetry line byte for byte and equal to the Linux bridge's, "h270"
becoming its event, a 1025-byte datagram becoming none, and Ctrl+C ending the bridge with status 0.

Usage: wine_e2e.py --wine "WINE [ARG...]" --exe skyhelm.exe --sim skyhelm-sim --linux-bridge skyhelm
                   [--no-sigint]
WINE (split at spaces) runs a Windows program; WINEPREFIX and the like come from the caller.
--no-sigint kills the bridge instead: under qemu-user a host signal that reaches 32-bit Wine's
handlers corrupts the process.
"""
import argparse
import os
import shlex
import signal
import socket
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keeps the source tree free of __pycache__
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback import LOOPBACK, Child, Fail, Peer, free_port, start_simulator  # noqa: E402

WINE_TIMEOUT_S = 120  # one Wine process start and run, prefix already built
WAIT_S = 60  # any one expected reaction

# The worked example: the simulator's values and the line the bridge makes of them.
WORKED_EXAMPLE_SETTINGS = (
    "Ground Velocity=120|Plane Altitude=350|Plane Pitch Degrees=2.5|Plane Bank Degrees=-10.25|"
    "Autopilot Flight Director Pitch=3|Autopilot Flight Director Bank=-5|"
    "Autopilot Heading Lock Dir=270|Autopilot Heading Lock=1|Autopilot Airspeed Hold Var=140|"
    "Autopilot Airspeed Hold=0|Autopilot Throttle Arm=1|Autopilot Flight Director Active=1|"
    "Autopilot Master=1|Autopilot Vertical Hold Var=700|Autopilot Vertical Hold=1|"
    "Autopilot Altitude Lock Var=900|Autopilot Altitude Lock=0|Plane Latitude=47.25|"
    "Plane Longitude=-122.5|Plane Heading Degrees True=268|Gear Center Position=1").split("|")
WORKED_EXAMPLE_LINE = (b"v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,"
                       b"700,1,900,0,47.250000,-122.500000,268,1.000000,\n\r\n")


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
    sim, sim_address = start_simulator(args.sim, WAIT_S, WORKED_EXAMPLE_SETTINGS)
    children.append(sim)
    env = dict(os.environ, SKYHELM_SIM_ADDRESS=sim_address)
    win_port, linux_port = free_port(), free_port()
    bridge = Child(args.wine + [args.exe, str(win_port)], WAIT_S, env)
    children.append(bridge)
    children.append(Child([args.linux_bridge, str(linux_port)], WAIT_S, env))
    bridge.wait_line(lambda l: l == "Running...", "Running...")

    win_peer, linux_peer = Peer(win_port, WAIT_S), Peer(linux_port, WAIT_S)
    win_line, linux_line = win_peer.line(), linux_peer.line()
    if win_line != WORKED_EXAMPLE_LINE or win_line != linux_line:
        raise Fail(f"telemetry differs:\n  windows {win_line!r}\n  linux   {linux_line!r}\n"
                   f"  example {WORKED_EXAMPLE_LINE!r}")

    # A datagram one byte over the buffer fails the receive: the marker h90 is the very next event.
    for datagrams, expected in (([b"h270"], "270"), ([b"h" + b"1" * 1024, b"h90"], "90")):
        for datagram in datagrams:
            win_peer.send(datagram)
        event = sim.wait_line(lambda l: l.startswith("event "), f"event after {datagrams[-1]!r}")
        if event != f"event HEADING_BUG_SET {expected}":
            raise Fail(f"{datagrams[-1][:8]!r} gave {event!r}")
    print(f"worked-example line ({len(win_line)} bytes) byte for byte from Windows and Linux")

    if args.no_sigint:
        bridge.proc.kill()
        return
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
