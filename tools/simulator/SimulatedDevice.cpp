#include "SimulatedDevice.h"

#include "Message.h"
#include "SimText.h"
#include "Wire.h"

#include <cstring>
#include <utility>

namespace VornSim {

namespace {

// Offsets of the reply bodies a device writes.
constexpr std::size_t selectOffset = Vorn::MSG_SelectMe::select;
constexpr std::size_t ackStatusOffset = Vorn::Header::size;
constexpr std::size_t wrappedCountOffset = Vorn::Header::size;
constexpr std::uint16_t malformedShift = 1000;
constexpr std::int32_t ackRefused = 0;

// A message of `size` bytes with the tool's own header (Message.h) and the
// sequence a device gives it: a reply echoes its request's, presence carries 0.
Vorn::Message deviceMessage(std::size_t size, std::uint64_t sourceId, std::uint64_t destinationId,
                            std::uint16_t sourceType, std::uint16_t destinationType,
                            std::uint16_t command, std::uint32_t sequence) {
    Vorn::Message message;
    Vorn::detail::buildHeader(message, size, sourceId, destinationId, sourceType, destinationType,
                              command);
    Wire::writeU32(message.data() + Vorn::Header::sequence, sequence);
    return message;
}

// The smallest size the tool accepts for each reply code.
std::size_t replyMinimum(std::uint16_t code) {
    switch (code) {
    case Vorn::Code::deviceConfigReply:
        return Vorn::deviceConfigReplyMinimum;
    case Vorn::Code::boardIdReply:
        return Vorn::boardIdReplyMinimum;
    default:
        return Vorn::acknowledgementMinimum;
    }
}

// The reply to `request` with `code`, from the device with `id` and `typeWord`.
Vorn::Message startReply(std::uint64_t id, std::uint16_t typeWord, const char* request,
                         std::uint16_t code, std::size_t size) {
    return deviceMessage(size, id, Wire::readFrameId(request + Vorn::Header::sourceId), typeWord,
                         Wire::readU16(request + Vorn::Header::sourceType), code,
                         Wire::readU32(request + Vorn::Header::sequence));
}

SimEvent replyEvent(EventKind kind, std::uint64_t device, const std::vector<char>& bytes,
                    Endpoint to) {
    SimEvent event;
    event.kind = kind;
    event.device = device;
    event.command = Wire::readU16(bytes.data() + Vorn::Header::command);
    event.sequence = Wire::readU32(bytes.data() + Vorn::Header::sequence);
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
    ++state_.requestCounts[Wire::readU16(data + Vorn::Header::command)];
    state_.lastRequest.assign(data, data + size);
}

void SimulatedDevice::act(const Faults& faults, const char* data, std::size_t size, Endpoint from,
                          std::vector<SimEvent>& events, std::vector<Datagram>& out) {
    const std::uint16_t command = Wire::readU16(data + Vorn::Header::command);
    SimEvent done;
    done.device = state_.setup.id;
    done.command = command;
    done.sequence = Wire::readU32(data + Vorn::Header::sequence);
    done.address = from.address;
    done.port = from.port;
    const auto answer = [&](std::uint16_t code, std::size_t minimum) {
        return startReply(state_.setup.id, state_.setup.typeWord, data, code, minimum);
    };
    switch (command) {
    case Vorn::Code::getDeviceConfig: {
        Vorn::Message message =
            answer(Vorn::Code::deviceConfigReply, Vorn::deviceConfigReplyMinimum);
        std::memcpy(message.data() + Vorn::deviceNameOffset, state_.setup.name.data(),
                    state_.setup.name.size());
        reply(faults, std::move(message.bytes), from, events, out);
        break;
    }
    case Vorn::Code::getBoardId: {
        Vorn::Message message = answer(Vorn::Code::boardIdReply, Vorn::boardIdReplyMinimum);
        std::memcpy(message.data() + Vorn::BoardRecord::offset, state_.boardRecord.data(),
                    state_.boardRecord.size());
        reply(faults, std::move(message.bytes), from, events, out);
        break;
    }
    case Vorn::Code::setBoardId: {
        if (size < Vorn::MSG_SetBoardID::size) {
            done.kind = EventKind::Ignored;
            events.push_back(done);
            return;
        }
        BoardRecord received;
        std::memcpy(received.data(), data + Vorn::BoardRecord::offset, received.size());
        state_.lastWrittenRecord = received;
        done.value = Wire::readU32(data + Vorn::BoardRecord::boardId);
        const bool accept = !faults.refuseWrites;
        if (accept)
            setSerial(done.value);
        done.kind = accept ? EventKind::SerialSet : EventKind::WriteRefused;
        events.push_back(done);
        Vorn::Message message = answer(Vorn::Code::acknowledgement, Vorn::acknowledgementMinimum);
        Wire::writeU32(message.data() + ackStatusOffset,
                       static_cast<std::uint32_t>(accept ? Vorn::ackAccepted : ackRefused));
        reply(faults, std::move(message.bytes), from, events, out);
        break;
    }
    case Vorn::Code::selectMe: {
        if (size < selectOffset + 2) {
            done.kind = EventKind::Ignored;
            events.push_back(done);
            return;
        }
        state_.selectMark = Wire::readU16(data + selectOffset);
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
    Vorn::Message message;
    message.bytes = std::move(bytes);
    const std::uint16_t code = message.command();
    if (faults.shortReplies) {
        message.bytes.resize(replyMinimum(code) - 1);
        Wire::writeU16(message.data() + Vorn::Header::length,
                       static_cast<std::uint16_t>(message.size()));
    }
    if (faults.malformed)
        Wire::writeU16(message.data() + Vorn::Header::command,
                       static_cast<std::uint16_t>(code + malformedShift));
    Vorn::seal(message);
    if (faults.silent)
        return;
    if (state_.repliesToLose > 0 && (state_.loseCode == 0 || state_.loseCode == code)) {
        --state_.repliesToLose;
        events.push_back(replyEvent(EventKind::ReplyLost, state_.setup.id, message.bytes, to));
        return;
    }

    Datagram datagram;
    datagram.from = address_;
    datagram.to = to;
    datagram.delayMs = faults.delayMs;
    datagram.copies = faults.duplicate ? 2 : 1;
    datagram.device = state_.setup.id;
    SimEvent report = replyEvent(EventKind::Reply, state_.setup.id, message.bytes, to);
    report.value = static_cast<std::uint32_t>(message.size());
    datagram.report = report;
    datagram.bytes = std::make_shared<const std::vector<char>>(std::move(message.bytes));
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
    using namespace Vorn::PresenceField;
    // Presence carries sequence 0: it answers no request, and a non-zero value
    // could be taken for the reply to one.
    Vorn::Message presence =
        deviceMessage(Vorn::presenceSize, state_.setup.id, Vorn::presenceDestinationId,
                      state_.setup.typeWord, 0, Vorn::Code::presence, 0);
    char* p = presence.data();
    Wire::writeU32(p + changeMarkA, static_cast<std::uint32_t>(state_.setup.changeMarkA));
    Wire::writeU32(p + changeMarkB, static_cast<std::uint32_t>(state_.setup.changeMarkB));
    Wire::writeU32(p + modeFlags, state_.setup.modeFlags);
    p[deviceType] = static_cast<char>(state_.setup.deviceType);
    Wire::writeU32(p + stationTag, state_.setup.stationTag[0]);
    Wire::writeU32(p + stationTag + 4, state_.setup.stationTag[1]);
    Vorn::seal(presence);
    if (!state_.setup.wrapped)
        return std::make_shared<const std::vector<char>>(std::move(presence.bytes));

    Vorn::Message wrapped =
        deviceMessage(Vorn::wrappedPresenceMinimum, state_.setup.id, Vorn::presenceDestinationId,
                      state_.setup.typeWord, 0, Vorn::Code::wrappedPresence, 0);
    char* w = wrapped.data();
    Wire::writeU16(w + wrappedCountOffset, 1);
    std::memcpy(w + Vorn::wrappedPresenceOffset, presence.data(), presence.size());
    Vorn::seal(wrapped);
    return std::make_shared<const std::vector<char>>(std::move(wrapped.bytes));
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
