#!/usr/bin/env python3
"""Holds everything that states the wire format to docs/protocol.md's tables:

- the C++ code: the codes, sizes and offsets wire_layout prints from Message.h and
  NetworkType.h, the requests Command<T> builds (byte for byte), and what the
  receiving code reads from one frame of every message encoded from the tables
  (and from one a byte shorter than the smallest size a reply may have);
- the dissector: tshark with vorn.lua reads the same frames; every field the
  tables name a dissector field for must be shown at the table's offset and
  size, with the value encoded; and every request the tables give a reply for,
  answered by a reply of the table's code, must be linked to it, flagged too
  short when the reply is a byte below the table's size and not otherwise;
- the generators: every seed of scripts/fuzz-corpus.py and every crafted frame
  of the dissector's test decodes as the message its code names, with the
  table's size and a correct check value.

The tables are read from docs/protocol.md next to this tree's tools/testing.

usage: wireformat_test.py WIRE_LAYOUT LUA FUZZ_CORPUS_SCRIPT WORK_DIR"""

import json
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "src", "apps", "dissector", "tests"))
import crafted  # noqa: E402  (the crafted frames and the pcap writer of the dissector's test)
import processes  # noqa: E402
import wireformat  # noqa: E402

# Header values of the frames encoded for the checks: halves of the ids that
# differ, a type word with its top two bits set (cleared on receipt).
SOURCE_ID = 0x0000000A0000000B
DESTINATION_ID = 0x0000123400005678
SOURCE_TYPE = 0xC00B
DESTINATION_TYPE = 0x0006
DEVICE_NAME = "Stage left"

# What wire_layout's requests carry (see network/tests/layout/WireLayout.cpp).
BUILT_SOURCE_ID = 0x0000000200000001
BUILT_DESTINATION_ID = 0x0000000400000003
BUILT_DESTINATION_TYPE = 1
BUILT_FIRST_SEQUENCE = 0x01020304
BUILT_ORDER = ["getDeviceConfig", "getBoardId", "selectMe", "setBoardId", "toolPresence"]

# Where the datagram starts in the crafted pcap's frames: Ethernet, IPv4, UDP.
PAYLOAD_AT = 14 + 20 + 8


def pattern(offset, size):
    """Bytes that differ from those of every other field (and from zero)."""
    return bytes((0x11 + 7 * (offset + i)) & 0xFF or 0x5A for i in range(size))


def sample(wire, key, index):
    """A frame of the message `key` with a value of its own in every field."""
    command = wire.command(key)
    data = bytearray(command.size)
    for field in wire.bodies[key]:
        if field.type == "cstring":
            wireformat.write(data, field, DEVICE_NAME)
        elif field.type == "message":
            data[field.offset:field.end] = sample(wire, "presence", 0x40 + index)
        elif field.type != "check":
            data[field.offset:field.end] = pattern(field.offset, field.size)
    if "count" in {f.name for f in wire.bodies[key]}:
        wireformat.write(data, wire.field(key, "count"), 1)  # above 0: a message is inside
    header = dict(sourceId=SOURCE_ID + index, destinationId=DESTINATION_ID, sourceType=SOURCE_TYPE,
                  destinationType=DESTINATION_TYPE, length=command.size, command=command.code,
                  sequence=0x100 + index)
    for field in wire.header:
        wireformat.write(data, field, header[field.name])
    wireformat.seal(data)
    return data


def samples(wire):
    return {key: sample(wire, key, index) for index, key in enumerate(wire.commands)}


# --------------------------------------------------------------------- C++ --

def check_cpp(wire, program, frames, failures):
    """frames: key -> frame; also sends every reply a byte short of its minimum."""
    short = {}
    for key, command in wire.commands.items():
        if command.at_least:
            data = bytearray(frames[key][:command.size - 1])
            wireformat.write(data, wire.field(key, "length"), len(data))
            wireformat.seal(data)
            short[key] = data
    inputs = list(frames.items()) + [(key + "-short", data) for key, data in short.items()]
    run = subprocess.run([program], input="".join(bytes(d).hex() + "\n" for _, d in inputs),
                         capture_output=True, text=True, timeout=60)
    if not failures.check(run.returncode == 0,
                          f"wire_layout failed ({run.returncode}): {run.stderr}"):
        return
    lines = [line.split(" ", 3) for line in run.stdout.splitlines()]
    before = failures.count
    facts = [line for line in lines if line[0] in ("code", "size", "offset", "end", "constant")]
    check_cpp_facts(wire, facts, failures)
    check_cpp_built(wire, {line[1]: bytes.fromhex(line[2]) for line in lines if line[0] == "built"},
                    failures)
    decoded = {}
    for line in lines:
        if line[0] == "decoded":
            decoded.setdefault(int(line[1]), {})[line[2]] = line[3]
    check_cpp_decoded(wire, inputs, decoded, failures)
    print(f"C++: {len(lines)} lines, {'ok' if failures.count == before else 'FAILED'}", flush=True)


def check_cpp_facts(wire, facts, failures):
    seen = set()
    for kind, message, field, text in facts:
        value = int(text)
        seen.add((kind, message, field))
        what = f"C++ {kind} of {message}{'' if field == '-' else '.' + field}"
        try:
            if kind == "constant":
                expected = wire.constants[field]
            elif kind == "code":
                expected = wire.code(message)
            elif kind == "size" and field == "-":
                expected = wireformat.HEADER_SIZE if message == "header" else wire.size(message)
            else:
                f = next(f for f in wire.header if f.name == field) if message == "header" \
                    else wire.field(message, field)
                expected = {"offset": f.offset, "size": f.size, "end": f.end}[kind]
        except (KeyError, StopIteration):
            failures.check(False, f"{what}: {value}, not in docs/protocol.md")
            continue
        failures.equal(value, expected, f"{what} (docs/protocol.md: {expected})")
    for key in wire.commands:
        failures.check(("code", key, "-") in seen and ("size", key, "-") in seen,
                       f"wire_layout names no code or size for {key}")
    for field in wire.header:
        failures.check(("offset", "header", field.name) in seen,
                       f"wire_layout names no offset for the header's {field.name}")


def check_cpp_built(wire, built, failures):
    failures.equal(sorted(built), sorted(BUILT_ORDER), "requests built by wire_layout")
    for index, key in enumerate(BUILT_ORDER):
        if key not in built:
            continue
        presence = key == "toolPresence"
        destination = wire.constants["presenceDestinationId"] if presence else BUILT_DESTINATION_ID
        expected = wire.encode(
            key, sourceId=BUILT_SOURCE_ID, destinationId=destination,
            sourceType=wire.constants["toolType"],
            destinationType=0 if presence else BUILT_DESTINATION_TYPE,
            sequence=BUILT_FIRST_SEQUENCE + index + 1)
        got = built[key]
        if got == bytes(expected):
            continue
        failures.check(False, f"C++ Command<> of {key}: {got.hex()} != docs/protocol.md "
                              f"{bytes(expected).hex()}")
        if len(got) >= wireformat.HEADER_SIZE:
            _, fields = wire.decode(got, key)
            for name, value in wire.decode(expected, key)[1].items():
                failures.equal(fields.get(name), value, f"  {key}.{name} as C++ builds it")


def check_cpp_decoded(wire, inputs, decoded, failures):
    mask = wire.constants["sourceTypeMask"]
    for n, (name, data) in enumerate(inputs):
        got = decoded.get(n, {})
        key = name[:-len("-short")] if name.endswith("-short") else name
        short = key != name
        _, fields = wire.decode(data, key)

        def expect(what, value):
            failures.equal(got.get(what), None if value is None else str(value),
                           f"C++ reads {what} of {name}")

        expect("valid", 1)
        expect("receivedSize", len(data))
        for what in ("sourceId", "length", "command", "sequence"):
            expect(what, fields[what])
        normalized = fields["sourceType"] & mask
        expect("normalizedSourceType", normalized)
        expect("isDevice", int(normalized not in (wire.constants["toolType"], 1)))

        inner = None
        if key == "wrappedPresence":
            inner_field = wire.field(key, "presence")
            expect("unwrappedAt", -1 if short else inner_field.offset)
            if not short:
                inner = wire.decode(fields["presence"], "presence")[1]
        else:
            expect("unwrappedAt", -1)
        if key == "presence":
            inner = fields
        if inner is not None:
            for what in ("changeMarkA", "changeMarkB", "modeFlags", "deviceType"):
                expect(what, inner[what])
            tag = struct.unpack("<II", inner["stationTag"])
            expect("stationTag0", tag[0])
            expect("stationTag1", tag[1])
        if key == "deviceConfigReply":
            expect("deviceNameFailed" if short else "deviceName", 1 if short else DEVICE_NAME)
        if key in ("boardIdReply", "setBoardId"):
            expect("boardIdFailed" if short else "boardId", 1 if short else fields["boardId"])
        if key == "acknowledgement":
            expect("ackStatusFailed" if short else "ackStatus", 1 if short else fields["ackStatus"])


# --------------------------------------------------------------- dissector --

def occurrences(tree, found):
    """Every (field, value, raw) of a tshark JSON tree, nested ones included."""
    for name, value in tree.items():
        if name.endswith("_raw"):
            continue
        if isinstance(value, dict):
            occurrences(value, found)
            continue
        raw = tree.get(name + "_raw")
        values = value if isinstance(value, list) else [value]
        raws = raw if raw and isinstance(raw[0], list) else [raw] * len(values)
        for one, one_raw in zip(values, raws):
            if isinstance(one, dict):
                occurrences(one, found)
            else:
                found.setdefault(name, []).append((one, one_raw))
    return found


def shown(field, value):
    """How tshark's JSON shows a value the dissector decodes as this field."""
    if field.type == "frameid":
        return wireformat.format_frame_id(value)
    if field.type in ("bytes", "message"):
        return value.hex(":")
    return value


def matches(field, value, text):
    if field.type in ("frameid", "bytes", "cstring"):
        return text == shown(field, value)
    try:
        return int(text, 0) == value
    except ValueError:
        return False


def check_dissector(wire, lua, frames, work, failures):
    tshark = shutil.which("tshark")
    if tshark is None:
        return "tshark is not installed (scripts/setup.sh installs it)"
    version = subprocess.run([tshark, "--version"], capture_output=True, text=True).stdout
    if "with Lua" not in version:
        return "this tshark has no Lua"
    tool = ("127.0.0.1", 40001)
    device = ("127.0.0.2", wire.constants["alternateDevicePort"])
    order = sorted(frames, key=lambda k: not wire.command(k).from_tool)  # requests first
    path = os.path.join(work, "wireformat.pcap")
    crafted.write_pcap(path, [(frames[k], tool, device) if wire.command(k).from_tool
                              else (frames[k], device, tool) for k in order])
    run = subprocess.run([tshark, "-n", "-X", f"lua_script:{lua}", "-o",
                          "udp.try_heuristic_first:TRUE", "-r", path, "-T", "json", "-x",
                          "--no-duplicate-keys"], capture_output=True, text=True, timeout=120)
    if not failures.check(run.returncode == 0 and "Lua Error" not in run.stdout + run.stderr,
                          f"tshark failed ({run.returncode}): {run.stderr}"):
        return None
    packets = json.loads(run.stdout)
    failures.equal(len(packets), len(order), "frames tshark read")
    before = failures.count
    checked = 0
    for key, packet in zip(order, packets):
        found = occurrences(packet["_source"]["layers"], {})
        errors = [name for name in found if name.startswith(("_ws.lua.text", "_ws.malformed"))]
        failures.check(not errors, f"dissector: {key}: {errors}")
        kinds = [text for text, _ in found.get("vorn.kind", [])]
        failures.check(kinds and not any(k.startswith("Unknown command") for k in kinds),
                       f"dissector: {key} (code {wire.code(key)}) taken for {kinds}")
        _, fields = wire.decode(frames[key], key)
        expected = [(f, fields[f.name], 0) for f in wire.fields(key)]
        if key == "wrappedPresence":  # the embedded presence message is shown as well
            inner = wire.field(key, "presence")
            _, fields = wire.decode(frames[key][inner.offset:inner.end], "presence")
            expected += [(f, fields[f.name], inner.offset) for f in wire.fields("presence")]
        for field, value, base in expected:
            if field.dissector is None:
                continue
            at = PAYLOAD_AT + base + field.offset
            size = len(value.encode()) + 1 if field.type == "cstring" else field.size
            places = [(text, raw[1], raw[2]) for text, raw in found.get(field.dissector, [])
                      if raw is not None]
            right = [p for p in places if p[1] == at and p[2] == size]
            checked += 1
            where = f"dissector: {key}.{field.name} ({field.dissector})"
            if not failures.check(right, f"{where} not shown at {base + field.offset}, "
                                         f"{size} bytes; shown at "
                                         f"{[(p[1] - PAYLOAD_AT, p[2]) for p in places]}"):
                continue
            failures.check(any(matches(field, value, p[0]) for p in right),
                           f"{where}: {[p[0] for p in right]} != {shown(field, value)!r}")
    print(f"dissector: {len(packets)} frames, {checked} fields, "
          f"{'ok' if failures.count == before else 'FAILED'}", flush=True)
    check_dissector_replies(wire, tshark, lua, frames, work, failures)
    return None


def check_dissector_replies(wire, tshark, lua, frames, work, failures):
    """Every request the tables give a reply for, answered once by a reply a byte
    short of its smallest size (flagged as too short) and once by a whole one
    (linked to its request, not flagged): the dissector's reply codes and sizes."""
    tool = ("127.0.0.1", 40001)
    device = ("127.0.0.2", wire.constants["alternateDevicePort"])
    datagrams, replies = [], []
    for key, command in wire.commands.items():
        if command.reply is None:
            continue
        reply = wire.command(command.reply)
        for short in (True, False):
            sequence = 0x2000 + len(datagrams)
            request = bytearray(frames[key])
            wireformat.write(request, wire.field(key, "sequence"), sequence)
            wireformat.write(request, wire.field(key, "sourceType"), wire.constants["toolType"])
            wireformat.seal(request)
            answer = bytearray(frames[reply.key][:reply.size - 1] if short else frames[reply.key])
            wireformat.write(answer, wire.field(reply.key, "sequence"), sequence)
            wireformat.write(answer, wire.field(reply.key, "length"), len(answer))
            wireformat.seal(answer)
            datagrams += [(request, tool, device), (answer, device, tool)]
            replies.append((len(datagrams), key, reply, short))
    path = os.path.join(work, "replies.pcap")
    crafted.write_pcap(path, datagrams)
    run = subprocess.run([tshark, "-n", "-X", f"lua_script:{lua}", "-o",
                          "udp.try_heuristic_first:TRUE", "-r", path, "-T", "json",
                          "--no-duplicate-keys"], capture_output=True, text=True, timeout=120)
    if not failures.check(run.returncode == 0, f"tshark failed ({run.returncode}): {run.stderr}"):
        return
    packets = json.loads(run.stdout)
    failures.equal(len(packets), len(datagrams), "reply frames tshark read")
    before = failures.count
    for number, key, reply, short in replies:
        if number > len(packets):
            break
        found = occurrences(packets[number - 1]["_source"]["layers"], {})
        experts = [text for text, _ in found.get("_ws.expert.message", [])]
        what = f"dissector: {'short ' if short else ''}{reply.key} ({reply.code}) to {key}"
        failures.equal([text for text, _ in found.get("vorn.request_in", [])], [str(number - 1)],
                       f"{what}: request linked")
        failures.check(not any("Reply carries command" in text for text in experts),
                       f"{what}: taken for a reply of another code: {experts}")
        too_short = any(f"below its {reply.size} bytes" in text for text in experts)
        failures.check(too_short == short, f"{what}: {len(frames[reply.key]) - short} bytes "
                                           f"{'not ' if short else ''}flagged too short: {experts}")
    print(f"dissector replies: {len(replies)}, {'ok' if failures.count == before else 'FAILED'}",
          flush=True)


# -------------------------------------------------------------- generators --

def check_message(wire, data, what, failures, exact=True):
    """A frame decodes as the message its code names, of the table's size, sealed."""
    if not failures.check(len(data) >= wireformat.HEADER_SIZE, f"{what}: {len(data)} bytes"):
        return None
    _, header = wire.decode(data, "getDeviceConfig")  # any key: the header
    keys = wire.keys_of(header["command"])
    if not failures.check(keys, f"{what}: code {header['command']} is not in docs/protocol.md"):
        return None
    normalized = header["sourceType"] & wire.constants["sourceTypeMask"]
    from_tool = normalized == wire.constants["toolType"]
    key = wire.key_of(header["command"], from_tool)
    command = wire.command(key)
    if exact:
        failures.equal(header["length"], len(data), f"{what}: length field")
        if command.at_least:
            failures.check(len(data) >= command.size, f"{what}: {len(data)} bytes, a {key} "
                                                      f"has at least {command.size}")
        else:
            failures.equal(len(data), command.size, f"{what}: size of a {key}")
    # The check value ends the message: the datagram, or its first `length` bytes.
    message = data[:header["length"]] \
        if wireformat.HEADER_SIZE <= header["length"] < len(data) else data
    failures.check(wireformat.sealed_correctly(message), f"{what}: wrong check value")
    return key, wire.decode(data, key)[1]


def check_generators(wire, corpus_script, crafted_cases, work, failures):
    before = failures.count
    corpus = os.path.join(work, "corpus")
    shutil.rmtree(corpus, ignore_errors=True)
    run = subprocess.run([sys.executable, corpus_script, corpus], capture_output=True, text=True,
                         timeout=60)
    if not failures.check(run.returncode == 0, f"fuzz-corpus.py failed: {run.stderr}"):
        return
    covered = set()
    seeds = 0
    for directory, prefix in (("MessageFuzzer", 0), ("ReplyChecksFuzzer", 5)):
        for name in sorted(os.listdir(os.path.join(corpus, directory))):
            data = open(os.path.join(corpus, directory, name), "rb").read()[prefix:]
            if not data:
                continue
            seeds += 1
            decoded = check_message(wire, data, f"seed {directory}/{name}", failures)
            if decoded is None:
                continue
            key, fields = decoded
            covered.add(key)
            if key in ("presence", "wrappedPresence", "toolPresence"):
                failures.equal(fields["destinationId"], wire.constants["presenceDestinationId"],
                               f"seed {directory}/{name}: destination of a {key}")
            if key == "wrappedPresence":
                check_message(wire, fields["presence"], f"seed {directory}/{name}: embedded",
                              failures)
    failures.equal(sorted(set(wire.commands) - covered), [], "messages without a seed")
    # Frame-list scripts: (kind, u16 length, bytes); kinds 0 and 1 receive a datagram.
    for name in sorted(os.listdir(os.path.join(corpus, "FrameListFuzzer"))):
        script = open(os.path.join(corpus, "FrameListFuzzer", name), "rb").read()
        at = 0
        while at + 3 <= len(script):
            kind, length = script[at], struct.unpack_from("<H", script, at + 1)[0]
            data = script[at + 3:at + 3 + length]
            at += 3 + length
            if kind in (0, 1) and len(data) >= wireformat.HEADER_SIZE:
                seeds += 1
                check_message(wire, data, f"seed FrameListFuzzer/{name}", failures, exact=False)
        failures.equal(at, len(script), f"seed FrameListFuzzer/{name}: records end")

    spoiled = crafted_cases.SPOILED_CHECK_SEQUENCE
    frames = [bytes(case[0]) for case in crafted_cases.cases()]
    for index, data in enumerate(frames):
        what = f"crafted frame {index + 1}"
        if len(data) < wireformat.HEADER_SIZE:
            continue
        _, header = wire.decode(data, "getDeviceConfig")
        if header["sequence"] == spoiled:
            failures.check(not wireformat.sealed_correctly(data),
                           f"{what}: check value not spoiled")
            continue
        # Crafted lengths and sizes are wrong on purpose; the code and check value are not.
        decoded = check_message(wire, data, what, failures, exact=False)
        if decoded and decoded[0] == "wrappedPresence" and decoded[1]["count"] > 0:
            check_message(wire, decoded[1]["presence"], what + ": embedded", failures)
    print(f"generators: {seeds} seeds, {len(frames)} crafted frames, "
          f"{'ok' if failures.count == before else 'FAILED'}", flush=True)


def main():
    program, lua, corpus_script, work = processes.arguments(__doc__, 4)
    failures = processes.Failures()
    try:
        wire = wireformat.load()
    except (wireformat.FormatError, OSError) as error:
        failures.check(False, f"docs/protocol.md: {error}")
        failures.finish()
    os.makedirs(work, exist_ok=True)
    frames = samples(wire)
    check_cpp(wire, program, frames, failures)
    check_generators(wire, corpus_script, crafted, work, failures)
    cannot = check_dissector(wire, lua, frames, work, failures)
    if cannot is not None:
        if failures.count:
            failures.finish()
        processes.skip("the dissector is not checked: " + cannot)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
