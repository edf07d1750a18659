"""Datagrams no well-behaved peer sends, written into a classic pcap file with
Ethernet, IPv4 and UDP headers around them, and what the dissector must say
about each."""

import struct

DEVICE_PORT = 6017
TOOL = ("127.0.0.1", 40001)
DEVICE = ("127.0.0.2", 40002)


def seal(message):
    """The sender's check value over (length >> 1) - 2 little-endian words."""
    length = struct.unpack_from("<h", message, 20)[0]
    words = min((length >> 1) - 2, (len(message) - 4) // 2)
    g = 0
    for i in range(max(words, 0)):
        g = ((g << 1) & 0xFFFFFFFF) | (((g >> 31) ^ (g >> 18)) & 1)
        g ^= struct.unpack_from("<H", message, 2 * i)[0]
    return g


def message(size, command, sequence=0, source=0x0000000200000001, destination=0x0000000400000003,
            source_type=2, destination_type=6, length=None, sealed=True):
    data = bytearray(size)
    struct.pack_into("<IIIIHHhHI", data, 0, source >> 32, source & 0xFFFFFFFF,
                     destination >> 32, destination & 0xFFFFFFFF, source_type, destination_type,
                     size if length is None else length, command, sequence)
    if sealed:
        struct.pack_into("<I", data, size - 4, seal(data))
    return data


def presence(device_type, mode_flags, size=100):
    data = message(size, 4, sealed=False)
    if size >= 88:
        struct.pack_into("<i", data, 48, 3)
        struct.pack_into("<i", data, 60, 7)
        struct.pack_into("<I", data, 64, mode_flags)
        data[72] = device_type
    struct.pack_into("<I", data, size - 4, seal(data))
    return data


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

    worked = message(32, 102, sequence=1, source_type=6, destination_type=1)
    bad_check = message(36, 814, sequence=5, source_type=6)
    bad_check[32] ^= 0xFF
    too_long = message(36, 814, sequence=6, source_type=6, length=40)
    trailing = bytes(message(32, 102, sequence=7, source_type=6)) + b"\xAA\xBB\xCC\xDD"
    negative = message(36, 814, sequence=8, source_type=6, length=-32768)
    wrapped = message(436, 5, sealed=False)
    struct.pack_into("<h", wrapped, 28, 1)
    wrapped[32:132] = presence(12, 0x48)
    struct.pack_into("<I", wrapped, 432, seal(wrapped))
    not_wrapped = message(436, 5, sealed=False)
    struct.pack_into("<I", not_wrapped, 432, seal(not_wrapped))
    unterminated = message(512, 103, sealed=False)
    unterminated[240:368] = b"N" * 128
    struct.pack_into("<I", unterminated, 508, seal(unterminated))

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
