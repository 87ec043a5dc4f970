#!/usr/bin/env python3
"""Writes the small seed corpora of the fuzz targets (fuzz/corpus/<target>/). Re-run after a
change of the wire format; the fuzzers start from these and find the rest themselves."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def text(s):
    raw = s.encode()[:255]
    return raw + b"\0" * (256 - len(raw))


PROTOCOL = 4


def request(kind, send_id, payload, protocol=PROTOCOL):
    return struct.pack("<IIII", 16 + len(payload), protocol, 0xF0000000 | kind, send_id) + payload


def message(recv_id, body):
    return struct.pack("<III", 12 + len(body), PROTOCOL, recv_id) + body


def open_request(send_id, name, protocol=PROTOCOL):
    block = {2: (b"XSF", 0, 0, 60905, 0), 3: (b"XSF", 10, 0, 61355, 0),
             4: (b"XSF", 10, 0, 61259, 0), 5: (b"HK\0", 11, 0, 62651, 3),
             6: (b"RS\0", 12, 2, 282174, 999)}.get(protocol, (b"XSF", 10, 0, 61259, 0))
    payload = text(name) + struct.pack("<IB", 0, 0) + block[0] + struct.pack("<4I", *block[1:])
    return request(1, send_id, payload, protocol)


def record(values):
    title = text("Stand-in Aircraft")
    ints = [120, 350]
    floats_a = [2.5, -10.25, 3.0, -5.0]
    ints_b = [270, 1, 140, 0, 1, 1, 1, 700, 1, 900, 0]
    out = title + struct.pack("<2i", *ints) + struct.pack("<4f", *floats_a)
    out += struct.pack("<11i", *ints_b) + struct.pack("<2f", 47.25, -122.5)
    out += struct.pack("<i", 268) + struct.pack("<f", values)
    assert len(out) == 340
    return out


def data_message(request_id, block):
    return message(8, struct.pack("<7I", request_id, 0, 0, 0, 1, 1, 22) + block)


def write(target, name, data):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    for name, data in {
        "heading": b"h270", "vs_negative": b"v-500", "value_unused": b"H45",
        "altitude": b"l900", "gear": b"g1", "speed_space": b"k 250", "chain": b"FE",
        "out_of_order": b"EF", "all_letters": b"hHkKTFEvVlg", "peer_only": b"1",
        "empty": b"", "overflow": b"h2147483648", "no_letter": b"x100",
        "zero_inside": b"l9\x0000", "full": b"g" + b"9" * 1023,
    }.items():
        write("command_protocol_fuzzer", name, data)

    zero = b"\0" * 340
    for name, data in {
        "all_zero": data_message(0, zero), "worked_example": data_message(0, record(1.0)),
        "other_request": data_message(1, record(0.5)), "short": data_message(0, zero)[:379],
        "quit": message(3, b""), "exception": message(1, struct.pack("<3I", 7, 3, 1)),
        "nan_gear": data_message(0, record(float("nan"))),
    }.items():
        write("sim_message_fuzzer", name, data)

    open_req = open_request(0, "Request Data")
    add = request(0x0C, 1, struct.pack("<I", 0) + text("Plane Altitude") + text("feet")
                  + struct.pack("<IfI", 1, 0.0, 0xFFFFFFFF))
    req_data = request(0x0E, 2, struct.pack("<8I", 0, 0, 0, 3, 0, 0, 0, 0))
    map_ev = request(0x04, 3, struct.pack("<I", 1) + text("HEADING_BUG_SET"))
    transmit = request(0x05, 4, struct.pack("<5I", 0, 1, 270, 1900000000, 0x10))
    unsupported = request(0x0B, 5, struct.pack("<3I", 1, 0, 0))  # not served
    # The general calls, as an add-on makes them: system events and states, notification
    # groups, SetDataOnSimObject (plain and tagged), client data shared under a name.
    general = [
        request(0x17, 7, struct.pack("<I", 1) + text("1sec")),
        request(0x17, 8, struct.pack("<I", 2) + text("Pause")),
        request(0x06, 9, struct.pack("<2I", 1, 0)),
        request(0x18, 10, struct.pack("<I", 2)),
        request(0x35, 11, struct.pack("<I", 5) + text("AircraftLoaded")),
        request(0x04, 12, struct.pack("<I", 9) + text("Skyhelm.CustomEvent")),
        request(0x04, 13, struct.pack("<I", 10) + text("")),
        request(0x07, 14, struct.pack("<3I", 1, 9, 0)),
        request(0x09, 15, struct.pack("<2I", 1, 1)),
        request(0x05, 16, struct.pack("<5I", 0, 9, 42, 1, 0)),
        request(0x08, 17, struct.pack("<2I", 1, 9)),
        request(0x0A, 18, struct.pack("<I", 1)),
        request(0x10, 19, struct.pack("<5I", 0, 0, 0, 1, 8) + struct.pack("<d", 3500.0)),
        request(0x10, 20, struct.pack("<5I", 0, 0, 1, 1, 12) + struct.pack("<Id", 0xFFFFFFFF, 1.0)),
        request(0x37, 21, text("Skyhelm.Shared") + struct.pack("<I", 3)),
        request(0x38, 22, struct.pack("<3I", 3, 16, 0)),
        request(0x39, 23, struct.pack("<3IfI", 4, 0xFFFFFFFF, 16, 0.0, 1)),
        request(0x3B, 24, struct.pack("<8I", 3, 6, 4, 3, 3, 0, 0, 0)),
        request(0x3C, 25, struct.pack("<5I", 3, 4, 0, 1, 16) + b"sixteen bytes ok"),
        request(0x0E, 26, struct.pack("<8I", 7, 0, 0, 3, 1, 2, 10, 5)),
        request(0x0D, 27, struct.pack("<I", 0)),
    ]
    short_add = request(0x0C, 6, struct.pack("<I", 0))  # a known type of the wrong size
    session = open_req + add + req_data + map_ev + transmit + unsupported
    for name, data in {
        "session": session, "add": add, "transmit": transmit, "unsupported": unsupported,
        "short_add": short_add, "open_v6": open_request(0, "x", 6),
        "broken_size": struct.pack("<I", 0x7FFFFFFF) + b"\0" * 12, "partial": session[:100],
        "general_calls": b"".join(general),
        "short_set_data": request(0x10, 7, struct.pack("<4I", 0, 0, 0, 1)),
    }.items():
        write("wire_request_fuzzer", name, data)
    # The session fuzzer opens the session itself; its input is what follows the handshake.
    for name, data in {
        "bridge_session": add + req_data + map_ev + transmit + transmit + unsupported + short_add,
        "second_open": open_req + add + req_data, "bad_open": open_request(7, "x", 9),
        "unknown_event": request(4, 4, struct.pack("<I", 2) + text("NO_SUCH_EVENT")) + transmit,
        "add_on_session": add + req_data + b"".join(general),
    }.items():
        write("sim_session_fuzzer", name, data)

    stream = data_message(0, record(1.0)) + message(1, struct.pack("<3I", 7, 3, 1))
    for name, data in {
        "data_then_quit": stream + message(3, b""), "data_then_eof": stream,
        "broken_size": stream + struct.pack("<III", 0xFFFFFFF0, 1, 8),
        "partial": stream[:200], "unaligned": message(2, b"\0\0\0") + stream,
    }.items():
        for split in (0, 1, 7, 64):  # first byte: the chunk size the server writes in
            write("client_framing_fuzzer", "%s_%d" % (name, split), bytes([split]) + data)


if __name__ == "__main__":
    main()
