"""Datagrams no well-behaved peer sends, written into a classic pcap file with
Ethernet, IPv4 and UDP headers around them, and what the dissector must say
about each."""

import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..", "tools",
                                "testing"))
import wireformat  # noqa: E402

WIRE = wireformat.load()
DEVICE_PORT = WIRE.constants["alternateDevicePort"]
TOOL = ("127.0.0.1", 40001)
DEVICE = ("127.0.0.2", 40002)

# The sequence number of the one crafted request whose check value is spoiled.
SPOILED_CHECK_SEQUENCE = 5

# The sender's check value over (length >> 1) - 2 little-endian words.
seal = wireformat.check_value


def message(key, size=None, sequence=0, source=0x0000000200000001, destination=0x0000000400000003,
            source_type=2, destination_type=6, length=None, sealed=True, **fields):
    """A message of the layout `key` of docs/protocol.md, of `size` bytes (its
    table's size unless given), `length` in its length field (the size unless given)."""
    return WIRE.encode(key, size, length, sealed, sourceId=source, destinationId=destination,
                       sourceType=source_type, destinationType=destination_type,
                       sequence=sequence, **fields)


def presence(device_type, mode_flags, size=None):
    """A presence of `size` bytes: with change marks 3 and 7 when it has room for
    all its fields, none of them when it is shorter."""
    if size is not None and size < WIRE.field("presence", "stationTag").end:
        return message("presence", size)
    return message("presence", size, changeMarkA=3, changeMarkB=7, modeFlags=mode_flags,
                   deviceType=device_type)


def _ip(address):
    return bytes(int(part) for part in address.split("."))


def _frame(payload, source, destination):
    udp = struct.pack(">HHHH", source[1], destination[1], 8 + len(payload), 0) + payload
    ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0x4000, 64, 17, 0,
                     _ip(source[0]), _ip(destination[0])) + udp
    return b"\0" * 12 + b"\x08\x00" + ip


def write_pcap(path, datagrams):
    """datagrams: (payload, source, destination) in order, a millisecond apart."""
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for index, (payload, source, destination) in enumerate(datagrams):
            frame = _frame(bytes(payload), source, destination)
            out.write(struct.pack("<IIII", 1796652000, index * 1000, len(frame), len(frame)))
            out.write(frame)


def cases():
    """(payload, source, destination, check) per frame; check(frame, failures)
    holds the expectations, with `first` and the expert texts given."""
    to_device = (TOOL, (DEVICE[0], DEVICE_PORT))
    to_tool = (DEVICE, TOOL)

    tool = dict(source_type=WIRE.constants["toolType"])
    worked = message("getDeviceConfig", sequence=1, destination_type=1, **tool)
    bad_check = message("getBoardId", sequence=SPOILED_CHECK_SEQUENCE, **tool)
    bad_check[32] ^= 0xFF
    too_long = message("getBoardId", sequence=6, length=40, **tool)
    trailing = bytes(message("getDeviceConfig", sequence=7, **tool)) + b"\xAA\xBB\xCC\xDD"
    negative = message("getBoardId", sequence=8, length=-32768, **tool)
    wrapped = message("wrappedPresence", count=1, presence=presence(12, 0x48))
    not_wrapped = message("wrappedPresence")
    unterminated = message("deviceConfigReply", deviceName=b"N" * 128)
    def expert(text):
        return lambda frame, f: f.check(any(text in m for m in frame.get("_ws.expert.message", [])),
                                        f"expected expert info '{text}', got {frame.get('_ws.expert.message')}")

    def fields(**wanted):
        def check(frame, f):
            for name, value in wanted.items():
                name = name.replace("__", ".")
                got = frame.get(name)
                f.equal(got[-1] if got else None, value, name)
        return check

    def both(*checks):
        return lambda frame, f: [c(frame, f) for c in checks]

    return [
        (b"\x01" * 20, *to_device, expert("Datagram of 20 bytes is shorter than a message header")),
        (worked, *to_device,
         fields(vorn__check="0x000041ca", vorn__check__status="1", vorn__src="00000002:00000001",
                vorn__dst="00000004:00000003")),
        (bad_check, *to_device, both(expert("Check value"), fields(
            vorn__check__status="2", vorn__check__computed=f"0x{seal(bad_check):08x}"))),
        (too_long, *to_device, expert("Length field 40 does not match the datagram of 36 bytes")),
        (trailing, *to_device, both(expert("the tool ignores the 4 bytes after it"),
                                    fields(vorn__check__status="1"))),
        (negative, *to_device, expert("Length field -32768 does not match")),
        (wrapped, *to_tool, fields(vorn__presence__product="Ondal 4", vorn__presence__mode="3",
                                   vorn__presence__change_mark="7", vorn__wrapped__count="1")),
        (not_wrapped, *to_tool, expert("Code 5 without an embedded presence message")),
        (presence(10, 0x05, size=60), *to_tool,
         both(expert("Presence shorter than 88 bytes"), fields(vorn__presence__mode="0"))),
        (presence(0, 0x01), *to_tool, fields(vorn__presence__mode="0", vorn__presence__product="Unknown")),
        (presence(21, 0x80), *to_tool, fields(vorn__presence__mode="1", vorn__presence__product="Unknown")),
        (presence(5, 0x42), *to_tool, fields(vorn__presence__mode="2", vorn__presence__product="Tavik")),
        (presence(13, 0x100), *to_tool, fields(vorn__presence__mode="1", vorn__presence__product="Ondal 4")),
        (unterminated, *to_tool, expert("Device name not terminated within 128 bytes")),
    ]
