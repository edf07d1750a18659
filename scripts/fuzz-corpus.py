#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: valid messages of every layout the
tool sends or receives, with correct check values, and for the frame-list target
short scripts of datagrams, requests and sweeps built from them.

    scripts/fuzz-corpus.py DIRECTORY

creates DIRECTORY/MessageFuzzer, DIRECTORY/FrameListFuzzer,
DIRECTORY/ReplyChecksFuzzer, DIRECTORY/ServeRequestFuzzer and
DIRECTORY/FleetPayloadFuzzer (one file per seed; the last, a topic and a
broker's payload as a box sends them). The layouts are the tables of
docs/protocol.md (read by tools/testing/wireformat.py), not taken from the code
under test, so that a wrong offset or check value in either shows up as a seed
the code rejects.
"""

import struct
import sys
from pathlib import Path

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools" / "testing"))
import wireformat  # noqa: E402

WIRE = wireformat.load()
PRESENCE_DESTINATION = WIRE.constants["presenceDestinationId"]
TOOL_TYPE = WIRE.constants["toolType"]
TOOL_ID = 0x0000123400005678
DEVICE_ID = 0x0000000A0000000B


def message(key, sequence=0, source=DEVICE_ID, destination=TOOL_ID, source_type=2,
            destination_type=TOOL_TYPE, **fields):
    """A sealed message of the layout `key`, of its size in docs/protocol.md."""
    return bytes(WIRE.encode(key, sourceId=source, destinationId=destination,
                             sourceType=source_type, destinationType=destination_type,
                             sequence=sequence, **fields))


def presence(source=DEVICE_ID, mode_flags=0, device_type=10, source_type=2, marks=(0, 0)):
    return message("presence", 0, source, PRESENCE_DESTINATION, source_type, 0,
                   changeMarkA=marks[0], changeMarkB=marks[1], modeFlags=mode_flags,
                   deviceType=device_type, stationTag=struct.pack("<II", 0x11223344, 0x55667788))


def wrapped_presence(inner):
    return message("wrappedPresence", 0, 0xEE, PRESENCE_DESTINATION, 2, 0, count=1, presence=inner)


def board_record(serial):
    """64 bytes of a board record (every byte set), the serial number at its place."""
    record = bytearray((0xA0 + 3 * i) & 0xFF for i in range(64))
    record_at = WIRE.field("boardIdReply", "boardRecord").offset
    struct.pack_into("<I", record, WIRE.field("boardIdReply", "boardId").offset - record_at, serial)
    return bytes(record)


def config_reply(sequence, name="Stage left"):
    return message("deviceConfigReply", sequence, deviceName=name)


def board_id_reply(sequence, serial=4242):
    return message("boardIdReply", sequence, boardRecord=board_record(serial))


def acknowledgement(sequence, status=WIRE.constants["ackAccepted"]):
    return message("acknowledgement", sequence, ackStatus=status)


def requests():
    request = dict(source=TOOL_ID, destination=DEVICE_ID, source_type=TOOL_TYPE, destination_type=2)
    out = {
        "get-config": message("getDeviceConfig", 7, **request),
        "get-board-id": message("getBoardId", 8, **request),
        "select": message("selectMe", 9, **request, select=0xFFFF),
        "set-board-id": message("setBoardId", 10, **request, boardRecord=board_record(20261207)),
        "tool-presence": message("toolPresence", 11, TOOL_ID, PRESENCE_DESTINATION, TOOL_TYPE, 0),
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
    """The message with another length field, sealed anew."""
    changed = bytearray(data)
    wireformat.write(changed, WIRE.field("presence", "length"), length)
    wireformat.seal(changed)
    return bytes(changed)


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
        "head-page": b"HEAD /app.js\n" + host + b"\n",
        "metrics": b"HEAD /metrics\n" + host + bearer + b"\n",
    }

    outcome = (b'{"time":"2026-12-07T14:05:09.061Z","event":"outcome","entry":"6f1c",'
               b'"id":"00000100:00000001","result":"verified","acknowledged":true,'
               b'"readBack":20261207,"seq":2}')
    intent = (b'{"time":"2026-12-07T14:05:09.042Z","event":"intent","entry":"6f1c",'
              b'"operator":"kim","host":"bench-1","tool":"vornctl 1.0.0","interface":"127.0.0.1",'
              b'"id":"00000100:00000001","name":"Stage left","product":"Ondal 4",'
              b'"address":"127.0.0.2","old":100001,"new":20261207,"box":"bench-7","seq":1}')
    box = b"vorn/v1/box/bench-3/"
    fleet = {
        "intent": box + b"journal\n" + intent,
        "outcome": box + b"journal\n" + outcome,
        "status": box + b'status\n{"state":"online","session":3,"site":"Stage A",'
        + b'"version":"1.0.0","adapter":"eth0","devices":2,"time":"2026-12-07T14:05:09.042Z"}',
        "device": box + b'devices/0000010000000001\n{"id":"00000100:00000001","name":null,'
        + b'"product":"Ondal 4","address":"127.0.0.2","serial":20261207,"present":true,'
        + b'"firstSeen":"2026-12-07T14:05:09.042Z","lastSeen":"2026-12-07T14:05:09.042Z"}',
        "cleared": box + b"status\n",
    }

    for target, seeds in (("MessageFuzzer", messages), ("FrameListFuzzer", scripts),
                          ("ReplyChecksFuzzer", replies), ("ServeRequestFuzzer", serve),
                          ("FleetPayloadFuzzer", fleet)):
        directory = root / target
        directory.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (directory / name).write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
