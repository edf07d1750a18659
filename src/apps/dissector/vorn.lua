-- Wireshark dissector for the device protocol of the Vorn service tool (UDP,
-- devices at port 6017).
--
-- Install: copy this file into the personal Lua plugins folder (Wireshark:
-- Help > About > Folders > "Personal Lua Plugins", on Linux
-- ~/.local/lib/wireshark/plugins/), or load it for one run with
-- `tshark -X lua_script:vorn.lua`. Filter with `vorn`.
--
-- Shows the 28-byte header (frame ids high word first, as the tool writes
-- them), recomputes the check value of the last four bytes, decodes the bodies
-- of presence, wrapped presence, the name request and reply, the board-id
-- read, reply and write, the acknowledgement and the selection mark, and links
-- requests and replies by their sequence number. Devices answer from ports of
-- their own to the tool's port: a datagram to or from a tool endpoint seen
-- talking to port 6017 is taken as well (a heuristic dissector; with
-- `-o udp.try_heuristic_first:TRUE` no other dissector claims it first).
-- Unanswered requests are marked once the whole capture has been read (the
-- second pass: `tshark -2`, or any redisplay in Wireshark).

local vorn = Proto("vorn", "Vorn device protocol")

local DEVICE_PORT = 6017
local HEADER = 28
local TOOL_TYPE = 6

-- Every command the dissector knows, by code: its name, and for a request
-- the reply it expects with the reply's smallest size. The body dissectors are
-- added below, where they are defined. Code 813 is both the write (from the
-- tool) and the reply to a read (from a device).
local commands = {
    [2] = { key = "ack", name = "Acknowledgement" },
    [4] = { key = "presence", name = "Presence" },
    [5] = { key = "wrapped", name = "Wrapped presence" },
    [9] = { key = "toolPresence", name = "Tool presence" },
    [102] = { key = "getConfig", name = "GetDeviceConfig",
              reply = { code = 103, minimum = 512, name = "Configuration reply" } },
    [103] = { key = "configReply", name = "Configuration reply" },
    [115] = { key = "selectMe", name = "SelectMe" },
    [813] = { key = "setBoardId", name = "SetBoardID / board-id reply",
              reply = { code = 2, minimum = 36, name = "Acknowledgement" } },
    [814] = { key = "getBoardId", name = "GetBoardID",
              reply = { code = 813, minimum = 100, name = "Board-id reply" } },
}

-- Codes by key, and names by code (for the command field).
local CODE, commandNames = {}, {}
for code, command in pairs(commands) do
    CODE[command.key] = code
    commandNames[code] = command.name
end

-- Product names by device type code.
local products = {
    [1] = "Tavik", [2] = "Tavik", [3] = "Tavik", [5] = "Tavik",
    [4] = "Brenn Q1", [6] = "Brenn S1", [7] = "Corvet", [8] = "Merrow", [9] = "Brenn Q2",
    [10] = "Ondal 2", [11] = "Ondal 2", [12] = "Ondal 4", [13] = "Ondal 4", [14] = "Brenn D2",
    [16] = "Slotcard", [17] = "Slotcard", [18] = "Slotcard", [19] = "Brenn X1", [20] = "Brenn X2",
}

local function productName(code)
    return products[code] or "Unknown"
end

local statusNames = { [0] = "Not verified", [1] = "Good", [2] = "Bad" }
local selectNames = { [0xFFFF] = "Selected", [0] = "Selection cleared" }
local f = {
    src = ProtoField.string("vorn.src", "Source frame id"),
    dst = ProtoField.string("vorn.dst", "Destination frame id"),
    id = ProtoField.string("vorn.id", "Frame id"),
    srcType = ProtoField.uint16("vorn.src_type", "Source type", base.HEX),
    srcTypeNormal = ProtoField.uint16("vorn.src_type.normalized", "Source type after clearing the top two bits", base.DEC),
    dstType = ProtoField.uint16("vorn.dst_type", "Destination type", base.HEX),
    length = ProtoField.int16("vorn.length", "Length", base.DEC),
    command = ProtoField.uint16("vorn.command", "Command", base.DEC, commandNames),
    kind = ProtoField.string("vorn.kind", "Message"),
    seq = ProtoField.uint32("vorn.seq", "Sequence", base.DEC),
    check = ProtoField.uint32("vorn.check", "Check value", base.HEX),
    checkComputed = ProtoField.uint32("vorn.check.computed", "Computed check value", base.HEX),
    checkStatus = ProtoField.uint8("vorn.check.status", "Check value status", base.DEC, statusNames),
    -- presence
    changeMarkA = ProtoField.int32("vorn.presence.change_mark_a", "Change mark A", base.DEC),
    changeMarkB = ProtoField.int32("vorn.presence.change_mark_b", "Change mark B", base.DEC),
    changeMark = ProtoField.int32("vorn.presence.change_mark", "Change mark (the larger)", base.DEC),
    modeFlags = ProtoField.uint32("vorn.presence.mode_flags", "Mode flags", base.HEX),
    mode = ProtoField.uint8("vorn.presence.mode", "Node mode", base.DEC),
    broadcast = ProtoField.bool("vorn.presence.via_broadcast", "Reached by broadcast"),
    deviceType = ProtoField.uint8("vorn.presence.device_type", "Device type", base.DEC),
    product = ProtoField.string("vorn.presence.product", "Product"),
    stationTag = ProtoField.bytes("vorn.presence.station_tag", "Station tag"),
    stationTag0 = ProtoField.uint32("vorn.presence.station_tag.0", "Station tag word 0", base.HEX),
    stationTag1 = ProtoField.uint32("vorn.presence.station_tag.1", "Station tag word 1", base.HEX),
    wrappedCount = ProtoField.int16("vorn.wrapped.count", "Wrapped count", base.DEC),
    -- bodies
    name = ProtoField.string("vorn.name", "Device name"),
    boardRecord = ProtoField.bytes("vorn.board_record", "Board record"),
    serial = ProtoField.uint32("vorn.serial", "Serial number (board id)", base.DEC),
    ackStatus = ProtoField.int32("vorn.ack.status", "Acknowledgement status", base.DEC),
    accepted = ProtoField.bool("vorn.ack.accepted", "New board id accepted"),
    select = ProtoField.uint16("vorn.select", "Selection mark", base.HEX, selectNames),
    word0 = ProtoField.uint16("vorn.body.word0", "Body word at 28", base.HEX),
    word1 = ProtoField.uint16("vorn.body.word1", "Body word at 30", base.HEX),
    data = ProtoField.bytes("vorn.data", "Data"),
    -- request and reply
    responseIn = ProtoField.framenum("vorn.response_in", "Reply in", base.NONE, frametype.RESPONSE),
    requestIn = ProtoField.framenum("vorn.request_in", "Request in", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("vorn.time", "Reply time (since the first send)"),
    retransmissionOf = ProtoField.framenum("vorn.retransmission_of", "Retransmission of", base.NONE, frametype.REQUEST),
    duplicateOf = ProtoField.framenum("vorn.duplicate_of", "Duplicate of", base.NONE, frametype.RESPONSE),
    unanswered = ProtoField.bool("vorn.unanswered", "No reply in the capture"),
}
vorn.fields = f

local e = {
    short = ProtoExpert.new("vorn.expert.short", "Datagram shorter than a message header",
        expert.group.MALFORMED, expert.severity.ERROR),
    length = ProtoExpert.new("vorn.expert.length", "Length field does not match the datagram",
        expert.group.MALFORMED, expert.severity.WARN),
    check = ProtoExpert.new("vorn.expert.check", "Check value is wrong",
        expert.group.CHECKSUM, expert.severity.WARN),
    tooShort = ProtoExpert.new("vorn.expert.too_short", "Reply too short: the tool counts it as failed",
        expert.group.MALFORMED, expert.severity.WARN),
    unexpected = ProtoExpert.new("vorn.expert.unexpected_command",
        "Reply carries another command: the tool counts it as failed",
        expert.group.PROTOCOL, expert.severity.WARN),
    unterminated = ProtoExpert.new("vorn.expert.name_unterminated",
        "Device name not terminated within 128 bytes: the tool counts the reply as failed",
        expert.group.MALFORMED, expert.severity.WARN),
    refused = ProtoExpert.new("vorn.expert.refused", "The device refused the new board id",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    retransmission = ProtoExpert.new("vorn.expert.retransmission", "Retransmission",
        expert.group.SEQUENCE, expert.severity.NOTE),
    duplicate = ProtoExpert.new("vorn.expert.duplicate_reply", "Duplicate reply",
        expert.group.SEQUENCE, expert.severity.NOTE),
    unanswered = ProtoExpert.new("vorn.expert.unanswered", "No reply to this request in the capture",
        expert.group.SEQUENCE, expert.severity.WARN),
    shortPresence = ProtoExpert.new("vorn.expert.short_presence",
        "Presence shorter than 88 bytes: the missing fields read as zero",
        expert.group.MALFORMED, expert.severity.NOTE),
    notWrapped = ProtoExpert.new("vorn.expert.not_wrapped",
        "Code 5 without an embedded presence message: handled as an ordinary message",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
vorn.experts = { e.short, e.length, e.check, e.tooShort, e.unexpected, e.unterminated, e.refused,
    e.retransmission, e.duplicate, e.unanswered, e.shortPresence, e.notWrapped }

-- State of one pass over the capture, rebuilt from the first frame.
local tools      -- "address:port" of every tool endpoint seen
local requests   -- key "tool address:port:sequence" -> request record
local frames     -- frame number -> what the first pass learnt about the frame

local function reset()
    tools, requests, frames = {}, {}, {}
end
reset()
vorn.init = reset

local function frameId(tvb, offset)
    return string.format("%08x:%08x", tvb(offset, 4):le_uint(), tvb(offset + 4, 4):le_uint())
end

local function endpoint(address, port)
    return tostring(address) .. ":" .. tostring(port)
end

-- The check value over the message's words, as the sender's seal computes it:
-- n = (length >> 1) - 2 little-endian words, never reaching into the last four bytes.
local function checkValue(tvb, length)
    local words = bit32.arshift(length, 1) - 2
    local available = math.floor((length - 4) / 2)
    if available < words then words = available end
    local g = 0
    for i = 0, words - 1 do
        local feedback = bit32.band(bit32.bxor(bit32.rshift(g, 31), bit32.rshift(g, 18)), 1)
        g = bit32.bor(bit32.lshift(g, 1), feedback)
        g = bit32.bxor(g, tvb(2 * i, 2):le_uint())
    end
    return g
end

local function modeFromFlags(flags)
    if bit32.btest(flags, 0x02) then return 2 end
    if bit32.btest(flags, 0x08) then return 3 end
    if bit32.btest(flags, 0x10) then return 4 end
    if bit32.btest(flags, 0x20) then return 5 end
    if bit32.btest(flags, 0x40) then return 6 end
    if bit32.btest(flags, 0xFFFFFFFA) then return 1 end
    return 0
end

local function typeText(normal)
    if normal == TOOL_TYPE then return "tool" end
    if normal == 1 then return "type 1, not a device" end
    return "device"
end

local function serialText(serial)
    if serial > 0x7FFFFFFF then
        return string.format("%u (the tool's window shows %d)", serial, serial - 0x100000000)
    end
    return tostring(serial)
end

-- The body dissectors. Each gets the message `m`: its bytes (`m.tvb`, cut to
-- the declared length when the datagram holds it), `m.length` (those bytes'
-- count), `m.has(offset, count)`, the tree, and `m.info`, the texts for the info
-- column; `m.kind` says what the message was taken for.

local function presenceBody(m)
    local tvb, tree, has = m.tvb, m.tree, m.has
    if m.length < 88 then tree:add_proto_expert_info(e.shortPresence) end
    local a, b = 0, 0
    if has(48, 4) then
        a = tvb(48, 4):le_int()
        tree:add_le(f.changeMarkA, tvb(48, 4))
    end
    if has(60, 4) then
        b = tvb(60, 4):le_int()
        tree:add_le(f.changeMarkB, tvb(60, 4))
    end
    tree:add(f.changeMark, math.max(a, b)):set_generated()
    local flags = has(64, 4) and tvb(64, 4):le_uint() or 0
    if has(64, 4) then tree:add_le(f.modeFlags, tvb(64, 4)) end
    local mode = modeFromFlags(flags)
    tree:add(f.mode, mode):set_generated()
    tree:add(f.broadcast, mode ~= 0):set_generated()
    local deviceType = has(72, 1) and tvb(72, 1):uint() or 0
    if has(72, 1) then
        tree:add(f.deviceType, tvb(72, 1)):append_text(" (" .. productName(deviceType) .. ")")
    end
    tree:add(f.product, productName(deviceType)):set_generated()
    if has(80, 8) then
        local tag = tree:add(f.stationTag, tvb(80, 8))
        tag:add_le(f.stationTag0, tvb(80, 4))
        tag:add_le(f.stationTag1, tvb(84, 4))
    end
    m.info[#m.info + 1] = string.format("%s, mode %d", productName(deviceType), mode)
end

-- Header, check value and body of one message at the start of `tvb`
-- (a datagram, or the presence message inside a wrapped one). Returns the
-- command, the sequence and the text for the info column.
local dissectMessage

-- The presence message inside: from the whole datagram, as the tool reads it.
local function wrappedBody(m)
    if m.has(30, 0) then m.tree:add_le(f.wrappedCount, m.tvb(28, 2)) end
    if m.datagram:len() >= 436 and m.datagram(28, 2):le_int() > 0 then
        local inner = m.tree:add(vorn, m.datagram(32, 100), "Embedded presence message")
        local _, _, innerInfo = dissectMessage(m.datagram(32, 100):tvb(), m.pinfo, inner, true)
        m.info[#m.info + 1] = innerInfo
    else
        m.tree:add_proto_expert_info(e.notWrapped)
    end
end

-- A request without a body of its own: its two words are shown as they are.
local function plainRequestBody(m)
    if m.has(28, 2) then m.tree:add_le(f.word0, m.tvb(28, 2)) end
    if m.has(30, 2) then m.tree:add_le(f.word1, m.tvb(30, 2)) end
end

local function selectBody(m)
    if m.has(28, 2) then
        local mark = m.tvb(28, 2):le_uint()
        m.tree:add_le(f.select, m.tvb(28, 2))
        m.info[#m.info + 1] = selectNames[mark] or string.format("mark 0x%04x", mark)
    end
    if m.has(30, 2) then m.tree:add_le(f.word1, m.tvb(30, 2)) end
end

-- The board record of a write or of the reply to a read.
local function boardIdBody(m)
    if m.kind == "SetBoardID" and m.has(28, 4) then
        m.tree:add_le(f.word0, m.tvb(28, 2))
        m.tree:add_le(f.word1, m.tvb(30, 2))
    end
    if m.has(32, 64) then
        local recordItem = m.tree:add(f.boardRecord, m.tvb(32, 64))
        local serial = m.tvb(60, 4):le_uint()
        recordItem:add_le(f.serial, m.tvb(60, 4)):append_text(
            serial > 0x7FFFFFFF and string.format(" (the tool's window shows %d)", serial - 0x100000000) or "")
        m.info[#m.info + 1] = "serial " .. serialText(serial)
    end
end

-- The device name: up to 128 bytes from 240, ended by a zero byte.
local function configReplyBody(m)
    if not m.has(240, 1) then return end
    local span = math.min(128, m.length - 240)
    local bytes = m.tvb(240, span):bytes()
    for i = 0, span - 1 do
        if bytes:get_index(i) == 0 then
            local name = i > 0 and m.tvb(240, i):string() or ""
            m.tree:add(f.name, m.tvb(240, i + 1), name)
            m.info[#m.info + 1] = string.format("name \"%s\"", name)
            return
        end
    end
    m.tree:add_proto_expert_info(e.unterminated)
end

local function ackBody(m)
    if not m.has(32, 0) then return end
    local status = m.tvb(28, 4):le_int()
    -- -2 is the one status that accepts; every other value refuses (a value
    -- string would show those as "Unknown").
    m.tree:add_le(f.ackStatus, m.tvb(28, 4)):set_text(string.format(
        "Acknowledgement status: %s (%d)", status == -2 and "Accepted" or "Refused", status))
    m.tree:add(f.accepted, status == -2):set_generated()
    m.info[#m.info + 1] = status == -2 and "accepted" or string.format("refused (status %d)", status)
    if status ~= -2 then m.tree:add_proto_expert_info(e.refused) end
end

-- Any other message: what lies between the header and the check value.
local function otherBody(m)
    if m.length > HEADER + 4 then
        m.tree:add(f.data, m.tvb(HEADER, m.length - HEADER - 4))
    end
end

commands[CODE.presence].body = presenceBody
commands[CODE.wrapped].body = wrappedBody
commands[CODE.getBoardId].body = plainRequestBody
commands[CODE.selectMe].body = selectBody
commands[CODE.setBoardId].body = boardIdBody
commands[CODE.configReply].body = configReplyBody
commands[CODE.ack].body = ackBody

-- Request and reply bookkeeping of the first pass; later passes read `frames`.
local function track(pinfo, command, sequence, isRequest, toolKey)
    local n = pinfo.number
    if pinfo.visited or frames[n] then return frames[n] end
    local record = {}
    if isRequest and sequence ~= 0 and commands[command] and commands[command].reply then
        local key = toolKey .. ":" .. sequence
        local request = requests[key]
        if request and request.command == command then
            record.retransmissionOf = request.first
        else
            request = { first = n, command = command, time = pinfo.abs_ts }
            requests[key] = request
        end
        record.request = request
    elseif not isRequest and sequence ~= 0 then
        local request = requests[toolKey .. ":" .. sequence]
        if request then
            record.answers = request
            if request.reply then
                record.duplicateOf = request.reply
            else
                request.reply = n
                request.replyTime = pinfo.abs_ts - request.time
            end
        end
    end
    frames[n] = record
    return record
end

local function nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

-- The header fields; returns the declared length, the command, the sequence
-- and the normalised source type.
local function dissectHeader(tvb, tree)
    local normal = bit32.band(tvb(16, 2):le_uint(), 0x3FFF)
    tree:add(f.src, tvb(0, 8), frameId(tvb, 0))
    tree:add(f.dst, tvb(8, 8), frameId(tvb, 8))
    tree:add(f.id, tvb(0, 8), frameId(tvb, 0)):set_hidden()
    tree:add(f.id, tvb(8, 8), frameId(tvb, 8)):set_hidden()
    tree:add_le(f.srcType, tvb(16, 2)):append_text(string.format(" (%d, %s)", normal, typeText(normal)))
    tree:add(f.srcTypeNormal, normal):set_generated()
    tree:add_le(f.dstType, tvb(18, 2))
    local lengthItem = tree:add_le(f.length, tvb(20, 2))
    tree:add_le(f.command, tvb(22, 2))
    tree:add_le(f.seq, tvb(24, 4))
    return tvb(20, 2):le_int(), tvb(22, 2):le_uint(), tvb(24, 4):le_uint(), normal, lengthItem
end

-- How many bytes the message has: the declared length when the datagram holds it.
local function messageLengthOf(length, size, lengthItem)
    if length < HEADER or length > size then
        lengthItem:add_proto_expert_info(e.length, string.format(
            "Length field %d does not match the datagram of %d bytes%s", length, size,
            length > size and ": the message is cut short, the tool drops it" or ""))
        if length >= 0 and length < size then return math.max(length, HEADER) end
        return size
    elseif length < size then
        lengthItem:add_proto_expert_info(e.length, string.format(
            "Length field %d is below the datagram of %d bytes: the tool ignores the %d bytes after it",
            length, size, size - length))
        return length
    end
    return size
end

-- The check value in the last four bytes of a complete message.
local function dissectCheck(message, tree, length, size)
    if length < HEADER or length > size then
        tree:add(f.checkStatus, 0):set_generated()
        return
    end
    local stored = message(length - 4, 4):le_uint()
    local computed = checkValue(message, length)
    local item = tree:add_le(f.check, message(length - 4, 4))
    tree:add(f.checkComputed, computed):set_generated()
    tree:add(f.checkStatus, stored == computed and 1 or 2):set_generated()
    if stored ~= computed then
        item:add_proto_expert_info(e.check, string.format(
            "Check value 0x%08x is wrong: the message's words give 0x%08x", stored, computed))
    end
end

-- What the message is taken for, with its place among requests and replies
-- (nothing for an embedded message); flags a reply that does not fit its request.
local function classify(m, command, sequence, fromTool, toolKey, embedded)
    local kind = commandNames[command] or string.format("Unknown command %d", command)
    local record = {}
    if not embedded then
        record = track(m.pinfo, command, sequence, fromTool, toolKey)
    end
    if command == CODE.setBoardId then
        kind = (record and record.request) and "SetBoardID" or (fromTool and "SetBoardID" or "Board-id reply")
    end
    local answers = record and record.answers
    if answers then
        local expected = commands[answers.command].reply
        kind = expected.name
        if command ~= expected.code then
            kind = string.format("Reply with command %d", command)
            m.tree:add_proto_expert_info(e.unexpected, string.format(
                "Reply carries command %d, a %s carries %d: the tool counts it as failed",
                command, expected.name, expected.code))
        elseif m.size < expected.minimum or m.declared < expected.minimum then
            m.tree:add_proto_expert_info(e.tooShort, string.format(
                "%s of %d bytes is below its %d bytes: the tool counts it as failed",
                expected.name, math.min(m.size, m.declared), expected.minimum))
            m.info[#m.info + 1] = "too short"
        end
    end
    m.tree:add(f.kind, kind):set_generated()
    return kind, record
end

-- Links between requests and replies.
local function dissectLinks(m, record)
    local answers = record and record.answers
    if record and record.request then
        local request = record.request
        if record.retransmissionOf then
            m.tree:add(f.retransmissionOf, record.retransmissionOf)
            m.tree:add_proto_expert_info(e.retransmission,
                string.format("Retransmission of frame %d", record.retransmissionOf))
            m.info[#m.info + 1] = "retransmission"
        end
        if request.reply then
            m.tree:add(f.responseIn, request.reply)
        elseif m.pinfo.visited then
            m.tree:add(f.unanswered, true):set_generated()
            m.tree:add_proto_expert_info(e.unanswered)
            m.info[#m.info + 1] = "no reply"
        end
    elseif answers then
        m.tree:add(f.requestIn, answers.first)
        if record.duplicateOf then
            m.tree:add(f.duplicateOf, record.duplicateOf)
            m.tree:add_proto_expert_info(e.duplicate,
                string.format("Duplicate reply (first in frame %d)", record.duplicateOf))
            m.info[#m.info + 1] = "duplicate"
        elseif answers.replyTime then
            m.tree:add(f.time, nstime(answers.replyTime)):set_generated()
        end
    end
end

dissectMessage = function(tvb, pinfo, tree, embedded)
    local size = tvb:len()
    if size < HEADER then
        tree:add(f.data, tvb())
        tree:add_proto_expert_info(e.short, string.format(
            "Datagram of %d bytes is shorter than a message header (28 bytes)", size))
        return nil, nil, string.format("Shorter than a header (%d bytes)", size)
    end

    local length, command, sequence, normal, lengthItem = dissectHeader(tvb, tree)
    local messageLength = messageLengthOf(length, size, lengthItem)
    local message = tvb(0, messageLength):tvb()
    dissectCheck(message, tree, length, size)

    local m = {
        datagram = tvb, tvb = message, length = messageLength, size = size, declared = length,
        tree = tree, pinfo = pinfo, info = {},
        has = function(offset, count) return offset + count <= messageLength end,
    }
    -- Who talks: the tool sends requests to the device port; replies go to a tool endpoint.
    local fromTool = (pinfo.dst_port == DEVICE_PORT) or normal == TOOL_TYPE
    local toolKey = fromTool and endpoint(pinfo.src, pinfo.src_port) or endpoint(pinfo.dst, pinfo.dst_port)
    local record
    m.kind, record = classify(m, command, sequence, fromTool, toolKey, embedded)

    local known = commands[command]
    local body = known and known.body or otherBody
    body(m)
    dissectLinks(m, record)

    local text = string.format("%s %s > %s seq=%d", m.kind, frameId(tvb, 0), frameId(tvb, 8), sequence)
    if #m.info > 0 then text = text .. " (" .. table.concat(m.info, "; ") .. ")" end
    return command, sequence, text
end

function vorn.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "VORN"
    local subtree = tree:add(vorn, tvb())
    if tvb:len() >= HEADER and pinfo.dst_port == DEVICE_PORT then
        local normal = bit32.band(tvb(16, 2):le_uint(), 0x3FFF)
        local command = tvb(22, 2):le_uint()
        if normal == TOOL_TYPE or command == CODE.toolPresence then
            tools[endpoint(pinfo.src, pinfo.src_port)] = true
        end
    end
    local _, _, text = dissectMessage(tvb, pinfo, subtree, false)
    pinfo.cols.info = text
    return tvb:len()
end

-- Datagrams between a device's own port and a tool endpoint, or anything that
-- looks like a whole message of a known command.
local function heuristic(tvb, pinfo, tree)
    local size = tvb:len()
    local known = tools[endpoint(pinfo.dst, pinfo.dst_port)] or tools[endpoint(pinfo.src, pinfo.src_port)]
    if not known then
        if pinfo.dst_port == DEVICE_PORT or pinfo.src_port == DEVICE_PORT then
            known = true
        elseif size >= HEADER and tvb(20, 2):le_int() == size and commandNames[tvb(22, 2):le_uint()] then
            known = true
        end
    end
    if not known then return false end
    vorn.dissector(tvb, pinfo, tree)
    return true
end

DissectorTable.get("udp.port"):add(DEVICE_PORT, vorn)
vorn:register_heuristic("udp", heuristic)
