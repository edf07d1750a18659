#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: valid messages of every layout the
tool sends or receives, with correct check values, and for the frame-list target
short scripts of datagrams, requests and sweeps built from them.

    scripts/fuzz-corpus.py DIRECTORY

creates DIRECTORY/MessageFuzzer, DIRECTORY/FrameListFuzzer and
DIRECTORY/ReplyChecksFuzzer (one file per seed). The layouts are written out
here from the message tables, not taken from the code under test, so that a
wrong offset or check value in either shows up as a seed the code rejects.
"""

import struct
import sys
from pathlib import Path

HEADER_SIZE = 28
PRESENCE_DESTINATION = 0xFFFFFFFEFFFFFFFD
TOOL_ID = 0x0000123400005678
DEVICE_ID = 0x0000000A0000000B


def frame_id(value):
    """A frame id travels as two little-endian words, the high word first."""
    return struct.pack("<II", value >> 32, value & 0xFFFFFFFF)


def seal(message):
    """The check value over the declared length's words, in the last four bytes."""
    size = len(message)
    words = 0
    if size >= 22:
        (length,) = struct.unpack_from("<h", message, 20)
        words = (length >> 1) - 2
    words = min(words, (size - 4) // 2)
    message[size - 4:] = b"\0\0\0\0"
    g = 0
    for i in range(max(words, 0)):
        feedback = ((g >> 31) ^ (g >> 18)) & 1
        g = ((g << 1) | feedback) & 0xFFFFFFFF
        g ^= struct.unpack_from("<H", message, 2 * i)[0]
    struct.pack_into("<I", message, size - 4, g)
    return bytes(message)


def message(size, command, sequence=0, source=DEVICE_ID, destination=TOOL_ID, source_type=2,
            destination_type=6, body=()):
    """A sealed message: header, then (offset, bytes) pieces of the body."""
    data = bytearray(size)
    data[0:8] = frame_id(source)
    data[8:16] = frame_id(destination)
    struct.pack_into("<HHHHI", data, 16, source_type, destination_type, size, command, sequence)
    for offset, piece in body:
        data[offset:offset + len(piece)] = piece
    return seal(data)


def presence(source=DEVICE_ID, mode_flags=0, device_type=10, source_type=2, marks=(0, 0)):
    return message(100, 4, 0, source, PRESENCE_DESTINATION, source_type, 0, [
        (48, struct.pack("<i", marks[0])),
        (60, struct.pack("<i", marks[1])),
        (64, struct.pack("<I", mode_flags)),
        (72, bytes([device_type])),
        (80, struct.pack("<II", 0x11223344, 0x55667788)),
    ])


def wrapped_presence(inner):
    return message(436, 5, 0, 0xEE, PRESENCE_DESTINATION, 2, 0,
                   [(28, struct.pack("<h", 1)), (32, inner)])


def board_record(serial):
    record = bytearray((0xA0 + 3 * i) & 0xFF for i in range(64))
    struct.pack_into("<I", record, 28, serial)
    return bytes(record)


def config_reply(sequence, name=b"Stage left"):
    return message(512, 103, sequence, body=[(240, name + b"\0")])


def board_id_reply(sequence, serial=4242):
    return message(100, 813, sequence, body=[(32, board_record(serial))])


def acknowledgement(sequence, status=-2):
    return message(36, 2, sequence, body=[(28, struct.pack("<i", status))])


def requests():
    out = {
        "get-config": message(32, 102, 7, TOOL_ID, DEVICE_ID, 6, 2),
        "get-board-id": message(36, 814, 8, TOOL_ID, DEVICE_ID, 6, 2),
        "select": message(36, 115, 9, TOOL_ID, DEVICE_ID, 6, 2, [(28, struct.pack("<H", 0xFFFF))]),
        "set-board-id": message(100, 813, 10, TOOL_ID, DEVICE_ID, 6, 2,
                                [(32, board_record(20261207))]),
        "tool-presence": message(100, 9, 11, TOOL_ID, PRESENCE_DESTINATION, 6, 0),
    }
    return out


def record(kind, data):
    """One step of a frame-list script: kind, length, bytes."""
    return bytes([kind]) + struct.pack("<H", len(data)) + data


def receive(data, sender=0):
    return record(sender, data)


def request(sequence):
    """The frame-list target sends under sequence 1 + (byte & 15)."""
    return record(2, bytes([(sequence - 1) & 0x0F]))


def sweep(seconds):
    return record(3, bytes([seconds]))


def with_length(data, length):
    changed = bytearray(data)
    struct.pack_into("<h", changed, 20, length)
    return seal(changed)


def main():
    if len(sys.argv) != 2:
        print("usage: fuzz-corpus.py DIRECTORY", file=sys.stderr)
        return 2
    root = Path(sys.argv[1])

    messages = {
        "presence": presence(),
        "presence-mode2-tool": presence(TOOL_ID, 0x02, 10, 6),
        "presence-changed": presence(marks=(5, 9)),
        "wrapped-presence": wrapped_presence(presence(0x0000000A0000000C)),
        "config-reply": config_reply(1),
        "board-id-reply": board_id_reply(2),
        "acknowledgement": acknowledgement(3),
        "refusal": acknowledgement(4, 0),
    }
    messages.update(requests())

    scripts = {
        "read-serial": receive(presence()) + request(1) + receive(board_id_reply(1)) + sweep(11),
        "write-serial": receive(presence()) + request(2) + receive(board_id_reply(2))
        + request(3) + receive(acknowledgement(3)) + receive(acknowledgement(3), 1),
        "wrapped-and-name": receive(wrapped_presence(presence(0x0000000A0000000C)), 1)
        + request(4) + receive(config_reply(4), 1),
        "mismatch-and-malformed": receive(presence()) + request(5) + receive(board_id_reply(6))
        + receive(presence()[:20]) + receive(with_length(presence(), 120))
        + receive(with_length(board_id_reply(5), -1)) + receive(with_length(board_id_reply(5), 20))
        + sweep(5) + sweep(6),
        "replaced-request": receive(presence()) + request(7) + request(7)
        + receive(board_id_reply(7)) + receive(board_id_reply(7)),
    }

    replies = {
        "board-id-reply": bytes([0]) + struct.pack("<I", 20261207) + board_id_reply(1),
        "config-reply": bytes([0]) + struct.pack("<I", 0) + config_reply(1),
        "acknowledgement": bytes([0]) + struct.pack("<I", 0) + acknowledgement(1),
        "timed-out": bytes([1]) + struct.pack("<I", 5),
    }

    token = b"t" * 40
    host = b"Host: 127.0.0.1:8017\n"
    bearer = b"Authorization: Bearer " + token + b"\n"
    serve = {
        "list": b"GET /api/devices?all=1\n" + host + bearer + b"\n",
        "write": b"PUT /api/devices/00000100%3A00000001/serial\n" + host + bearer
        + b"Origin: http://127.0.0.1:8017\n\n" + b'{"serial": 20261207, "repeat": 20261207}',
        "write-differs": b"PUT /api/devices/00000100:00000001/serial\n" + host + bearer
        + b'\n{"serial": 1, "repeat": 2.5, "x": [null, {"y": "\\u00e9"}]}',
        "link": b"GET /?token=" + token + b"\n" + host + b"\n",
        "cookie-events": b"GET /api/events\nHost: localhost:8017\nUpgrade: websocket\n"
        + b"Cookie: a=1; vorn_token=" + token + b"\nOrigin: http://evil.example\n\n",
        "select": b"DELETE /api/devices/0001e240:000012ab/select\nHost: rack-pc:8017\n"
        + b"Cookie: vorn_token=" + token + b"\n\n",
        "program": b"POST /api/program?dry_run=1\n" + host + bearer + b"\n00000100:00000001,5\n",
    }

    for target, seeds in (("MessageFuzzer", messages), ("FrameListFuzzer", scripts),
                          ("ReplyChecksFuzzer", replies), ("ServeRequestFuzzer", serve)):
        directory = root / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
