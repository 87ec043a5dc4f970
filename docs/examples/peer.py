#!/usr/bin/env python3
"""A minimal Skyhelm peer (standard library only): claims the bridge with "1" until a line
arrives (so the bridge is known to listen), sends one command, listens for a second more while
keeping only the newest telemetry line, and prints it as name=value pairs.

Usage: peer.py HOST PORT [COMMAND]    (COMMAND defaults to "1", which commands nothing)
Exit code 0 with a line, 1 without one, 2 for bad arguments."""
import socket
import sys
import time

FIELDS = ("ground_speed altitude pitch bank fd_pitch fd_bank heading_bug heading_hold "
          "speed_setting speed_hold throttle_arm flight_director autopilot_master vs_setting "
          "vs_hold altitude_setting altitude_hold latitude longitude true_heading "
          "gear_position").split()


def decode(datagram):
    """The line's 21 values by name, or None for anything else (such as the bare b"\\r\\n")."""
    if not (datagram.startswith(b"v1.2,") and datagram.endswith(b",\n\r\n")):
        return None
    values = datagram[5:-4].decode("ascii").split(",")
    return dict(zip(FIELDS, values)) if len(values) == len(FIELDS) else None


def main():
    if len(sys.argv) not in (3, 4) or not sys.argv[2].isdigit():
        print("usage: peer.py HOST PORT [COMMAND]   e.g. peer.py 127.0.0.1 47001 h270",
              file=sys.stderr)
        return 2
    bridge = (sys.argv[1], int(sys.argv[2]))
    command = sys.argv[3] if len(sys.argv) > 3 else "1"
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setblocking(False)
    newest, sent, claimed, end = None, False, 0.0, time.monotonic() + 5.0
    while time.monotonic() < end:
        if newest is None and time.monotonic() - claimed > 0.2:
            sock.sendto(b"1", bridge)  # makes this socket the bridge's peer
            claimed = time.monotonic()
        if newest is not None and not sent:
            sock.sendto(command.encode(), bridge)
            sent, end = True, time.monotonic() + 1.0
        try:
            while True:  # drain: thousands of lines a second, most of them repeats
                line = decode(sock.recv(2048))
                newest = line or newest
        except (BlockingIOError, ConnectionRefusedError):
            time.sleep(0.01)
    if newest is None:
        print("no line from %s:%d" % bridge, file=sys.stderr)
        return 1
    print(" ".join("%s=%s" % item for item in newest.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
