"""The device protocol's wire format as docs/protocol.md states it: its tables read
into codes, sizes and field layouts, with an encoder that builds a message from
field values and a decoder that reads one back.

The tables are the one statement of the format for the programs that make
messages without the tool's own code (the fuzz seed corpus, the crafted captures
of the dissector's test); the test `wire_format` holds the tool's C++ code and the
dissector to them.

    import wireformat
    wire = wireformat.load()
    data = wire.encode("getBoardId", sourceId=0x100000001, sequence=7)
    key, fields = wire.decode(data)
"""

import os
import re
import struct

DEFAULT_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                            "protocol.md")

HEADER_SIZE = 28

# Type -> (size in bytes or None when the table gives it, byte order, struct format).
TYPES = {
    "frameid": (8, "high word first", None),
    "u8": (1, "-", "<B"),
    "u16": (2, "little-endian", "<H"),
    "i16": (2, "little-endian", "<h"),
    "u32": (4, "little-endian", "<I"),
    "i32": (4, "little-endian", "<i"),
    "check": (4, "little-endian", "<I"),
    "bytes": (None, "-", None),
    "cstring": (None, "-", None),
    "message": (None, "-", None),
}

FIELD_COLUMNS = ["Offset", "Size", "Type", "Byte order", "Field", "Dissector field", "Meaning"]
COMMAND_COLUMNS = ["Code", "Message", "Direction", "Size", "Reply"]
CONSTANT_COLUMNS = ["Name", "Value", "Meaning"]


class FormatError(Exception):
    """docs/protocol.md does not hold the tables as this module reads them, or
    they contradict themselves."""


class Field:
    def __init__(self, offset, size, type_, order, name, dissector, meaning):
        self.offset, self.size, self.type, self.order = offset, size, type_, order
        self.name, self.dissector, self.meaning = name, dissector, meaning

    @property
    def end(self):
        return self.offset + self.size

    def __repr__(self):
        return f"Field({self.name} {self.type} at {self.offset}, {self.size} bytes)"


class Command:
    def __init__(self, code, key, direction, size, at_least, reply):
        self.code, self.key, self.direction = code, key, direction
        self.size, self.at_least, self.reply = size, at_least, reply

    @property
    def from_tool(self):
        return self.direction.startswith("tool")

    def __repr__(self):
        return f"Command({self.key} {self.code}, {'>=' if self.at_least else ''}{self.size})"


def _cells(line):
    return [cell.strip().strip("`").strip() for cell in line.strip().strip("|").split("|")]


def _tables(text):
    """heading -> the rows (lists of cells) of the first table under it."""
    found, heading, rows, fenced = {}, None, None, False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        if fenced:
            continue
        match = re.match(r"^(#+)\s+(.*)", line)
        if match:
            heading, rows = match.group(2).strip(), None
        elif line.startswith("|"):
            if rows is None and heading is not None and heading not in found:
                rows = found[heading] = []
            if rows is not None:
                rows.append(_cells(line))
        elif rows is not None:
            rows, heading = None, None  # only the first table under a heading
    return found


def _table(rows, columns, where):
    if not rows or rows[0] != columns:
        raise FormatError(f"{where}: a table with the columns {columns} is expected, "
                          f"found {rows[0] if rows else 'none'}")
    if len(rows) < 2 or not set(rows[1]) <= {"---", ":---", "---:", ":---:"}:
        raise FormatError(f"{where}: the table has no separator row")
    body = rows[2:]
    for row in body:
        if len(row) != len(columns):
            raise FormatError(f"{where}: row {row} has {len(row)} cells, not {len(columns)}")
    return [dict(zip(columns, row)) for row in body]


def _number(text, where):
    try:
        return int(text, 0)
    except ValueError:
        raise FormatError(f"{where}: {text!r} is not a number") from None


def _fields(rows, where):
    fields = []
    for row in _table(rows, FIELD_COLUMNS, where):
        name = row["Field"]
        type_ = row["Type"]
        if type_ not in TYPES:
            raise FormatError(f"{where}: {name}: unknown type {type_!r}")
        size, order, _ = TYPES[type_]
        field = Field(_number(row["Offset"], where), _number(row["Size"], where), type_,
                      row["Byte order"], name, None if row["Dissector field"] == "-"
                      else row["Dissector field"], row["Meaning"])
        if size is not None and field.size != size:
            raise FormatError(f"{where}: {name}: a {type_} has {size} bytes, not {field.size}")
        if field.order != order:
            raise FormatError(f"{where}: {name}: a {type_} is {order}, not {field.order}")
        fields.append(field)
    return fields


class Description:
    """The wire format read from docs/protocol.md."""

    def __init__(self, text):
        tables = _tables(text)

        def rows(heading):
            if heading not in tables:
                raise FormatError(f"no table under the heading {heading!r}")
            return tables[heading]

        self.constants = {row["Name"]: _number(row["Value"], "constants")
                          for row in _table(rows("Ports and constants"), CONSTANT_COLUMNS,
                                            "constants")}
        self.header = _fields(rows("Header"), "header")
        if max(f.end for f in self.header) != HEADER_SIZE:
            raise FormatError(f"the header does not end at {HEADER_SIZE}")

        self.commands = {}
        for row in _table(rows("Commands"), COMMAND_COLUMNS, "commands"):
            size = row["Size"]
            at_least = size.startswith("at least ")
            command = Command(_number(row["Code"], "commands"), row["Message"], row["Direction"],
                              _number(size[len("at least "):] if at_least else size, "commands"),
                              at_least, None if row["Reply"] == "-" else row["Reply"])
            if command.key in self.commands:
                raise FormatError(f"commands: {command.key} twice")
            self.commands[command.key] = command
        for command in self.commands.values():
            if command.reply is not None and command.reply not in self.commands:
                raise FormatError(f"commands: {command.key} expects the unknown {command.reply}")

        self.bodies = {}
        for heading, table in tables.items():
            match = re.match(r"^(\w+) \((\d+)\):", heading)
            if not match:
                continue
            key, code = match.group(1), int(match.group(2))
            where = f"body of {key}"
            if key not in self.commands:
                raise FormatError(f"{where}: not in the commands table")
            if self.commands[key].code != code:
                raise FormatError(f"{where}: code {code}, the commands table says "
                                  f"{self.commands[key].code}")
            self.bodies[key] = _fields(table, where)
        for key, command in self.commands.items():
            if key not in self.bodies:
                raise FormatError(f"{key} has no body table")
            self._check_layout(command)

    def _check_layout(self, command):
        where = f"body of {command.key}"
        fields = self.fields(command.key)
        names = [f.name for f in fields]
        if len(set(names)) != len(names):
            raise FormatError(f"{where}: a field name twice")
        checks = [f for f in fields if f.type == "check"]
        if len(checks) != 1 or checks[0].end != command.size:
            raise FormatError(f"{where}: the check value is not the last four of "
                              f"{command.size} bytes")
        body = self.bodies[command.key]
        for field in body:
            if field.offset < HEADER_SIZE or field.end > command.size:
                raise FormatError(f"{where}: {field} lies outside 28..{command.size}")

        def within(inner, outer):
            return outer.type == "bytes" and outer.offset <= inner.offset and inner.end <= outer.end

        for a in body:
            for b in body:
                overlap = a is not b and a.offset < b.end and b.offset < a.end
                if overlap and not within(a, b) and not within(b, a):
                    raise FormatError(f"{where}: {a} and {b} overlap")

    # ------------------------------------------------------------ look-ups --

    def command(self, key):
        return self.commands[key]

    def code(self, key):
        return self.commands[key].code

    def size(self, key):
        return self.commands[key].size

    def fields(self, key):
        """Header and body fields of a message, in offset order."""
        return self.header + self.bodies[key]

    def field(self, key, name):
        for field in self.fields(key):
            if field.name == name:
                return field
        raise KeyError(f"{key} has no field {name}")

    def keys_of(self, code):
        return [key for key, command in self.commands.items() if command.code == code]

    def key_of(self, code, from_tool=None):
        """The message a code names; for a code both sides use (813), the side
        `from_tool` says."""
        keys = self.keys_of(code)
        if len(keys) > 1 and from_tool is not None:
            keys = [k for k in keys if self.commands[k].from_tool == from_tool]
        if len(keys) != 1:
            raise KeyError(f"code {code} names {keys or 'no message'}")
        return keys[0]

    # ------------------------------------------------------------ encoding --

    def encode(self, key, size=None, length=None, sealed=True, **values):
        """A message of `key`: `size` bytes (the table's size unless given), the
        header and body fields from `values` (the others zero, `command` the
        code, `length` the size unless given), then, when `sealed`, the check
        value over the declared length. A field that does not fit is left out."""
        command = self.commands[key]
        size = command.size if size is None else size
        data = bytearray(size)
        values.setdefault("command", command.code)
        values.setdefault("length", size if length is None else length)
        known = {f.name for f in self.fields(key)}
        unknown = set(values) - known
        if unknown:
            raise KeyError(f"{key} has no field(s) {sorted(unknown)}")
        for field in self.fields(key):
            if field.name in values and field.type != "check" and field.end <= size:
                write(data, field, values[field.name])
        if sealed:
            seal(data)
        return data

    # ------------------------------------------------------------ decoding --

    def decode(self, data, key=None, from_tool=None):
        """(key, {field: value}) of a message of at least a header: the message
        its code names (or `key`), every field that lies within the datagram (the
        check value: its last four bytes)."""
        if len(data) < HEADER_SIZE:
            raise ValueError(f"{len(data)} bytes are no message")
        if key is None:
            key = self.key_of(read(data, self.header[[f.name for f in self.header]
                                                        .index("command")]), from_tool)
        fields = {f.name: read(data, f) for f in self.fields(key)
                  if f.type != "check" and f.end <= len(data)}
        if len(data) >= HEADER_SIZE + 4:  # the check value ends the datagram, whatever its size
            fields["check"] = struct.unpack_from("<I", data, len(data) - 4)[0]
        return key, fields


def write(data, field, value):
    """Writes one field's value at its offset."""
    at = field.offset
    if field.type == "frameid":
        struct.pack_into("<II", data, at, value >> 32, value & 0xFFFFFFFF)
    elif TYPES[field.type][2] is not None:
        struct.pack_into(TYPES[field.type][2], data, at, value)
    else:
        piece = value.encode() + b"\0" if field.type == "cstring" and isinstance(value, str) \
            else bytes(value)
        if len(piece) > field.size:
            raise ValueError(f"{field}: {len(piece)} bytes do not fit")
        data[at:at + len(piece)] = piece


def read(data, field):
    """One field's value: an int, the bytes, or for a cstring the text before its
    zero byte (None without one)."""
    at = field.offset
    if field.type == "frameid":
        high, low = struct.unpack_from("<II", data, at)
        return (high << 32) | low
    if TYPES[field.type][2] is not None:
        return struct.unpack_from(TYPES[field.type][2], data, at)[0]
    piece = bytes(data[at:at + field.size])
    if field.type == "cstring":
        end = piece.find(b"\0")
        return None if end < 0 else piece[:end].decode("latin-1")
    return piece


def check_value(data):
    """The check value of a message: over (length >> 1) - 2 little-endian words,
    never reaching into the last four bytes; 0 when the length field is cut off."""
    size = len(data)
    words = 0
    if size >= 22:
        words = (struct.unpack_from("<h", data, 20)[0] >> 1) - 2
    words = min(words, (size - 4) // 2)
    g = 0
    for i in range(max(words, 0)):
        g = ((g << 1) & 0xFFFFFFFF) | (((g >> 31) ^ (g >> 18)) & 1)
        g ^= struct.unpack_from("<H", data, 2 * i)[0]
    return g


def seal(data):
    """Writes the check value into the last four bytes; returns it."""
    data[len(data) - 4:] = b"\0\0\0\0"
    value = check_value(data)
    struct.pack_into("<I", data, len(data) - 4, value)
    return value


def sealed_correctly(data):
    return len(data) >= 4 and struct.unpack_from("<I", data, len(data) - 4)[0] == check_value(data)


def format_frame_id(value):
    """A frame id as the tools and the dissector show it."""
    return f"{value >> 32:08x}:{value & 0xFFFFFFFF:08x}"


_loaded = {}


def load(path=DEFAULT_PATH):
    path = os.path.normpath(path)
    if path not in _loaded:
        with open(path, encoding="utf-8") as text:
            _loaded[path] = Description(text.read())
    return _loaded[path]
