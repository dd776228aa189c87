#!/usr/bin/env python3
"""Writes the seed inputs of wire_fuzz to fuzz_corpus/: get packages, a set package with a
table, and request and reply frames. Run from anywhere; it overwrites the seeds."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_corpus")
NONE, BINARY, STRING, INT, TABLE = 0, 2, 4, 8, 20


def packed_oid(oid):
    return struct.pack("<H", len(oid)) + oid.encode()


def string16(text):
    data = text.encode("utf-16-le")
    return struct.pack("<I", len(data) // 2) + data


def variable(oid, kind, value=b"", restriction=0):
    return packed_oid(oid) + struct.pack("<BI", kind, restriction) + value


def table(column_types, rows):
    out = struct.pack("<H", len(column_types))
    out += b"".join(struct.pack("<I", t) for t in column_types)
    out += struct.pack("<I", len(rows))
    for row in rows:
        for kind, (flags, value) in zip(column_types, row):
            out += struct.pack("<I", flags)
            out += string16(value) if kind in (3, 4) else struct.pack("<i", value)
    return out


def frame(kind, request_id, message_id, body):
    return struct.pack("<IB3xII", 12 + len(body), kind, request_id, message_id) + body


MANAGER = "1.3.6.1.4.1.8642.11.1.15"
get_int = variable(MANAGER + ".2.1", INT, struct.pack("<i", 42))
get_string = variable("1.3.6.1.4.1.8642.11.2.7", STRING, string16("h\u00e9llo \U0001F600"), 1)
users = table([8, 4, 3, 10], [[(0, 1), (2, "admin"), (0, ""), (0, -1)],
                              [(0x10, 2), (0, "guest"), (1, "x"), (0, 7)]])
set_table = struct.pack("<I", 2) + variable("1.2.3.4", TABLE, users, 0x10) + \
    variable("1.2.3.5", BINARY, struct.pack("<I", 3) + b"\0\1\2")
seeds = {
    "get_int": get_int,
    "get_string": get_string,
    "get_none": variable("7", NONE),
    "set_table": set_table,
    "frame_get_request": frame(1, 1, 0x24030001, packed_oid(MANAGER) + packed_oid(MANAGER + ".2.1")),
    "frame_get_reply": frame(2, 1, 0x24030001, struct.pack("<I", 0) + get_int),
    "frame_notification": frame(3, 0, 0x24030006, packed_oid("1.2.3.4")),
}
os.makedirs(HERE, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(HERE, name), "wb") as out:
        out.write(data)
