#include "SimulatedDevice.h"

#include "DeviceWire.h"
#include "SimText.h"

#include <cstring>
#include <utility>

namespace VornSim {

namespace {

namespace Wire = DeviceWire;

constexpr std::uint16_t malformedShift = 1000;
constexpr std::int32_t ackRefused = 0;

// The smallest size the tool accepts for each reply code.
std::size_t replyMinimum(std::uint16_t code) {
    switch (code) {
    case Wire::deviceConfigReply:
        return Wire::deviceConfigReplySize;
    case Wire::setBoardId:
        return Wire::boardIdReplySize;
    default:
        return Wire::acknowledgementSize;
    }
}

// The reply to `request` with `code`, from the device with `id` and
// `typeWord`: addressed to the request's sender, its sequence echoed.
std::vector<char> startReply(std::uint64_t id, std::uint16_t typeWord, const char* request,
                             std::uint16_t code, std::size_t size) {
    return Wire::message(size, id, Wire::readFrameId(request + Wire::sourceIdAt), typeWord,
                         Wire::readU16(request + Wire::sourceTypeAt), code,
                         Wire::readU32(request + Wire::sequenceAt));
}

SimEvent replyEvent(EventKind kind, std::uint64_t device, const std::vector<char>& bytes,
                    Endpoint to) {
    SimEvent event;
    event.kind = kind;
    event.device = device;
    event.command = Wire::readU16(bytes.data() + Wire::commandAt);
    event.sequence = Wire::readU32(bytes.data() + Wire::sequenceAt);
    event.address = to.address;
    event.port = to.port;
    return event;
}

void writeSerial(BoardRecord& record, std::uint32_t serial) {
    Wire::writeU32(reinterpret_cast<char*>(record.data()) + boardIdInRecord, serial);
}

} // namespace

BoardRecord defaultBoardRecord(std::uint64_t id, std::uint32_t serial) {
    BoardRecord record{};
    char* p = reinterpret_cast<char*>(record.data());
    Wire::writeFrameId(p, id);
    for (std::size_t i = 8; i < record.size(); ++i)
        record[i] = static_cast<unsigned char>((id & 0xFF) + 0x11 * i);
    writeSerial(record, serial);
    return record;
}

SimulatedDevice::SimulatedDevice(const DeviceSetup& setup)
    : address_(parseAddress(setup.address).value_or(0)) {
    state_.setup = setup;
    state_.boardRecord =
        setup.boardRecord ? *setup.boardRecord : defaultBoardRecord(setup.id, setup.serial);
    writeSerial(state_.boardRecord, setup.serial);
}

void SimulatedDevice::count(const char* data, std::size_t size) {
    ++state_.requestCounts[Wire::readU16(data + Wire::commandAt)];
    state_.lastRequest.assign(data, data + size);
}

void SimulatedDevice::act(const Faults& faults, const char* data, std::size_t size, Endpoint from,
                          std::vector<SimEvent>& events, std::vector<Datagram>& out) {
    const std::uint16_t command = Wire::readU16(data + Wire::commandAt);
    SimEvent done;
    done.device = state_.setup.id;
    done.command = command;
    done.sequence = Wire::readU32(data + Wire::sequenceAt);
    done.address = from.address;
    done.port = from.port;
    const auto answer = [&](std::uint16_t code, std::size_t minimum) {
        return startReply(state_.setup.id, state_.setup.typeWord, data, code, minimum);
    };
    switch (command) {
    case Wire::getDeviceConfig: {
        std::vector<char> message = answer(Wire::deviceConfigReply, Wire::deviceConfigReplySize);
        std::memcpy(message.data() + Wire::deviceNameAt, state_.setup.name.data(),
                    state_.setup.name.size());
        reply(faults, std::move(message), from, events, out);
        break;
    }
    case Wire::getBoardId: {
        std::vector<char> message = answer(Wire::setBoardId, Wire::boardIdReplySize);
        std::memcpy(message.data() + Wire::boardRecordAt, state_.boardRecord.data(),
                    state_.boardRecord.size());
        reply(faults, std::move(message), from, events, out);
        break;
    }
    case Wire::setBoardId: {
        if (size < Wire::setBoardIdSize) {
            done.kind = EventKind::Ignored;
            events.push_back(done);
            return;
        }
        BoardRecord received;
        std::memcpy(received.data(), data + Wire::boardRecordAt, received.size());
        state_.lastWrittenRecord = received;
        done.value = Wire::readU32(data + Wire::boardIdAt);
        const bool accept = !faults.refuseWrites;
        if (accept && !faults.keepSerial)
            setSerial(done.value);
        done.kind = accept && !faults.keepSerial ? EventKind::SerialSet : EventKind::WriteRefused;
        events.push_back(done);
        std::vector<char> message = answer(Wire::acknowledgement, Wire::acknowledgementSize);
        Wire::writeU32(message.data() + Wire::ackStatusAt,
                       static_cast<std::uint32_t>(accept ? Wire::ackAccepted : ackRefused));
        reply(faults, std::move(message), from, events, out);
        if (faults.muteAfterWrite)
            state_.mutedByWrite = true;
        break;
    }
    case Wire::selectMe: {
        if (size < Wire::selectAt + 2) {
            done.kind = EventKind::Ignored;
            events.push_back(done);
            return;
        }
        state_.selectMark = Wire::readU16(data + Wire::selectAt);
        done.kind = EventKind::Select;
        done.value = *state_.selectMark;
        events.push_back(done);
        break;
    }
    default:
        // Counted already; a device answers nothing it does not know.
        break;
    }
}

void SimulatedDevice::reply(const Faults& faults, std::vector<char> bytes, Endpoint to,
                            std::vector<SimEvent>& events, std::vector<Datagram>& out) {
    std::vector<char> message = std::move(bytes);
    const std::uint16_t code = Wire::readU16(message.data() + Wire::commandAt);
    if (faults.shortReplies) {
        message.resize(replyMinimum(code) - 1);
        Wire::writeU16(message.data() + Wire::lengthAt, static_cast<std::uint16_t>(message.size()));
    }
    if (faults.malformed)
        Wire::writeU16(message.data() + Wire::commandAt,
                       static_cast<std::uint16_t>(code + malformedShift));
    Wire::seal(message);
    if (faults.silent)
        return;
    if (state_.mutedByWrite) {
        if (faults.muteAfterWrite) {
            events.push_back(replyEvent(EventKind::ReplyLost, state_.setup.id, message, to));
            return;
        }
        state_.mutedByWrite = false; // the fault was switched off
    }
    if (state_.repliesToLose > 0 && (state_.loseCode == 0 || state_.loseCode == code)) {
        --state_.repliesToLose;
        events.push_back(replyEvent(EventKind::ReplyLost, state_.setup.id, message, to));
        return;
    }

    Datagram datagram;
    datagram.from = address_;
    datagram.to = to;
    datagram.delayMs = faults.delayMs;
    datagram.copies = faults.duplicate ? 2 : 1;
    datagram.device = state_.setup.id;
    SimEvent report = replyEvent(EventKind::Reply, state_.setup.id, message, to);
    report.value = static_cast<std::uint32_t>(message.size());
    datagram.report = report;
    datagram.bytes = std::make_shared<const std::vector<char>>(std::move(message));
    if (state_.holdingReplies) {
        held_.push_back(std::move(datagram));
        return;
    }
    state_.repliesSent += static_cast<std::uint64_t>(datagram.copies);
    out.push_back(std::move(datagram));
}

std::vector<Datagram> SimulatedDevice::release() {
    state_.holdingReplies = false;
    std::vector<Datagram> out;
    out.swap(held_);
    for (const Datagram& datagram : out)
        state_.repliesSent += static_cast<std::uint64_t>(datagram.copies);
    return out;
}

void SimulatedDevice::loseReplies(std::uint32_t count, std::uint16_t code) {
    state_.repliesToLose = count;
    state_.loseCode = code;
}

void SimulatedDevice::setSerial(std::uint32_t serial) {
    state_.setup.serial = serial;
    writeSerial(state_.boardRecord, serial);
}

void SimulatedDevice::setChangeMarks(std::int32_t a, std::int32_t b) {
    state_.setup.changeMarkA = a;
    state_.setup.changeMarkB = b;
}

std::shared_ptr<const std::vector<char>> SimulatedDevice::presenceMessage() const {
    // Presence carries sequence 0: it answers no request, and a non-zero value
    // could be taken for the reply to one.
    std::vector<char> presence =
        Wire::message(Wire::presenceSize, state_.setup.id, Wire::presenceDestination,
                      state_.setup.typeWord, 0, Wire::presence, 0);
    char* p = presence.data();
    Wire::writeU32(p + Wire::changeMarkAAt, static_cast<std::uint32_t>(state_.setup.changeMarkA));
    Wire::writeU32(p + Wire::changeMarkBAt, static_cast<std::uint32_t>(state_.setup.changeMarkB));
    Wire::writeU32(p + Wire::modeFlagsAt, state_.setup.modeFlags);
    p[Wire::deviceTypeAt] = static_cast<char>(state_.setup.deviceType);
    Wire::writeU32(p + Wire::stationTagAt, state_.setup.stationTag[0]);
    Wire::writeU32(p + Wire::stationTagAt + 4, state_.setup.stationTag[1]);
    Wire::seal(presence);
    if (!state_.setup.wrapped)
        return std::make_shared<const std::vector<char>>(std::move(presence));

    std::vector<char> wrapped =
        Wire::message(Wire::wrappedPresenceSize, state_.setup.id, Wire::presenceDestination,
                      state_.setup.typeWord, 0, Wire::wrappedPresence, 0);
    char* w = wrapped.data();
    Wire::writeU16(w + Wire::wrappedCountAt, 1);
    std::memcpy(w + Wire::wrappedPresenceAt, presence.data(), presence.size());
    Wire::seal(wrapped);
    return std::make_shared<const std::vector<char>>(std::move(wrapped));
}

void SimulatedDevice::presenceTo(const Faults& faults, Endpoint to, std::vector<Datagram>& out) {
    if (faults.silent || faults.gone)
        return;
    Datagram datagram;
    datagram.from = address_;
    datagram.to = to;
    datagram.device = state_.setup.id;
    datagram.bytes = presenceMessage();
    ++state_.presenceSent;
    out.push_back(std::move(datagram));
}

DeviceReport SimulatedDevice::report(const Faults& globalFaults) const {
    DeviceReport report = state_;
    report.faults = faults_.value_or(globalFaults);
    report.ownFaults = faults_.has_value();
    report.repliesHeld = held_.size();
    return report;
}

} // namespace VornSim
