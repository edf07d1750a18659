#include "wire/Message.h"

#include "transport/Platform.h"
#include "wire/Wire.h"

#include <algorithm>
#include <cstring>

namespace Vorn {

std::atomic<std::uint32_t> nextSequence{Network::tickCount()};

std::uint16_t Message::command() const {
    if (bytes.size() < Header::size)
        return 0;
    return Wire::readU16(bytes.data() + Header::command);
}

std::uint32_t Message::sequence() const {
    if (bytes.size() < Header::size)
        return 0;
    return Wire::readU32(bytes.data() + Header::sequence);
}

void seal(Message& message) {
    constexpr std::size_t checkSize = 4;
    const std::size_t size = message.size();
    // Too short to hold a check value: nothing to write.
    if (size < checkSize)
        return;
    char* bytes = message.data();

    // The word count comes from the declared length. A buffer too short to hold
    // the length field is checked over no words at all.
    std::int32_t words = 0;
    if (size >= Header::length + 2) {
        const std::int32_t length = Wire::readI16(bytes + Header::length);
        words = (length >> 1) - 2;
    }
    // A declared length beyond the buffer never makes the loop read past it:
    // only the whole words before the last four bytes are ever summed.
    const auto available = static_cast<std::int32_t>((size - checkSize) / 2);
    words = std::min(words, available);

    char* check = bytes + size - checkSize;
    std::memset(check, 0, checkSize);
    std::uint32_t g = 0;
    for (std::int32_t i = 0; i < words; ++i) {
        const std::uint32_t feedback = ((g >> 31) ^ (g >> 18)) & 1u;
        g = (g << 1) | feedback;
        g ^= Wire::readU16(bytes + 2 * static_cast<std::size_t>(i));
    }
    Wire::writeU32(check, g);
}

std::uint64_t MSG_CmdHdr::sourceId() const {
    return Wire::readFrameId(header_ + Header::sourceId);
}

std::uint16_t MSG_CmdHdr::sourceType() const {
    return Wire::readU16(header_ + Header::sourceType);
}

void MSG_CmdHdr::setSourceType(std::uint16_t type) {
    Wire::writeU16(header_ + Header::sourceType, type);
}

std::int16_t MSG_CmdHdr::length() const {
    return Wire::readI16(header_ + Header::length);
}

std::uint16_t MSG_CmdHdr::command() const {
    return Wire::readU16(header_ + Header::command);
}

std::uint32_t MSG_CmdHdr::sequence() const {
    return Wire::readU32(header_ + Header::sequence);
}

namespace detail {

void buildHeader(Message& message, std::size_t size, std::uint64_t sourceId,
                 std::uint64_t destinationId, std::uint16_t sourceType,
                 std::uint16_t destinationType, std::uint16_t command) {
    message.valid = false;
    message.bytes.clear();
    // Every layout holds at least the header; a smaller size would be a
    // programming error and leaves the message empty and invalid.
    if (size < Header::size)
        return;
    message.bytes.resize(size, 0);
    message.valid = true;

    char* bytes = message.data();
    Wire::writeFrameId(bytes + Header::sourceId, sourceId);
    Wire::writeFrameId(bytes + Header::destinationId, destinationId);
    Wire::writeU16(bytes + Header::sourceType, sourceType);
    Wire::writeU16(bytes + Header::destinationType, destinationType);
    Wire::writeU16(bytes + Header::length, static_cast<std::uint16_t>(size));
    Wire::writeU16(bytes + Header::command, command);
    Wire::writeU32(bytes + Header::sequence, 0);
    // The incremented value is the one used; it wraps from 0xFFFFFFFF to 0.
    const std::uint32_t sequence = nextSequence.fetch_add(1) + 1u;
    Wire::writeU32(bytes + Header::sequence, sequence);
}

void copyReceived(Message& message, const char* data, std::size_t size) {
    message.valid = false;
    message.bytes.clear();
    if (data == nullptr || size < Header::size)
        return;
    const std::int16_t length = Wire::readI16(data + Header::length);
    if (length < 0 || static_cast<std::size_t>(length) > size)
        return;
    message.bytes.assign(data, data + length);
    message.valid = true;
}

} // namespace detail

Presence decodePresence(const char* data, std::size_t length) {
    // Only fields that lie wholly within `length` are read; the fields a short
    // presence message has no bytes for read as zero.
    Presence presence;
    if (data == nullptr)
        return presence;
    auto within = [length](std::size_t offset, std::size_t size) {
        return offset + size <= length;
    };
    if (within(PresenceField::changeMarkA, 4))
        presence.changeMarkA = Wire::readI32(data + PresenceField::changeMarkA);
    if (within(PresenceField::changeMarkB, 4))
        presence.changeMarkB = Wire::readI32(data + PresenceField::changeMarkB);
    if (within(PresenceField::modeFlags, 4))
        presence.modeFlags = Wire::readU32(data + PresenceField::modeFlags);
    if (within(PresenceField::deviceType, 1))
        presence.deviceType = static_cast<std::uint8_t>(data[PresenceField::deviceType]);
    if (within(PresenceField::stationTag, 4))
        presence.stationTag[0] = Wire::readU32(data + PresenceField::stationTag);
    if (within(PresenceField::stationTag + 4, 4))
        presence.stationTag[1] = Wire::readU32(data + PresenceField::stationTag + 4);
    return presence;
}

std::uint32_t modeFromFlags(std::uint32_t modeFlags) {
    if (modeFlags & 0x02u)
        return 2;
    if (modeFlags & 0x08u)
        return 3;
    if (modeFlags & 0x10u)
        return 4;
    if (modeFlags & 0x20u)
        return 5;
    if (modeFlags & 0x40u)
        return 6;
    if (modeFlags & ~0x05u)
        return 1;
    return 0;
}

const char* unwrapPresence(const char* data, std::size_t length) {
    if (data == nullptr || length < wrappedPresenceMinimum)
        return nullptr;
    if (Wire::readU16(data + Header::command) != Code::wrappedPresence)
        return nullptr;
    if (Wire::readI16(data + Header::size) <= 0)
        return nullptr;
    return data + wrappedPresenceOffset;
}

std::optional<std::string> decodeDeviceName(const char* reply, std::size_t length) {
    if (reply == nullptr || length < deviceConfigReplyMinimum)
        return std::nullopt;
    const char* name = reply + deviceNameOffset;
    const void* end = std::memchr(name, '\0', deviceNameCapacity);
    if (end == nullptr)
        return std::nullopt;
    return std::string(name, static_cast<const char*>(end));
}

std::optional<std::uint32_t> decodeBoardId(const char* reply, std::size_t length) {
    if (reply == nullptr || length < boardIdReplyMinimum)
        return std::nullopt;
    return Wire::readU32(reply + BoardRecord::boardId);
}

std::optional<std::int32_t> decodeAckStatus(const char* reply, std::size_t length) {
    if (reply == nullptr || length < acknowledgementMinimum)
        return std::nullopt;
    return Wire::readI32(reply + Header::size);
}

} // namespace Vorn
