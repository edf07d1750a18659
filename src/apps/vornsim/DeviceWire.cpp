#include "DeviceWire.h"

namespace VornSim::DeviceWire {

std::uint16_t readU16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t readU32(const char* p) {
    return readU16(p) | (std::uint32_t{readU16(p + 2)} << 16);
}

std::uint64_t readFrameId(const char* p) {
    return (std::uint64_t{readU32(p)} << 32) | readU32(p + 4);
}

void writeU16(char* p, std::uint16_t value) {
    p[0] = static_cast<char>(value & 0xFF);
    p[1] = static_cast<char>(value >> 8);
}

void writeU32(char* p, std::uint32_t value) {
    writeU16(p, static_cast<std::uint16_t>(value & 0xFFFF));
    writeU16(p + 2, static_cast<std::uint16_t>(value >> 16));
}

void writeFrameId(char* p, std::uint64_t id) {
    writeU32(p, static_cast<std::uint32_t>(id >> 32));
    writeU32(p + 4, static_cast<std::uint32_t>(id & 0xFFFFFFFF));
}

std::vector<char> message(std::size_t size, std::uint64_t sourceId, std::uint64_t destinationId,
                          std::uint16_t sourceType, std::uint16_t destinationType,
                          std::uint16_t command, std::uint32_t sequence) {
    std::vector<char> bytes(size < headerSize ? headerSize : size, '\0');
    char* p = bytes.data();
    writeFrameId(p + sourceIdAt, sourceId);
    writeFrameId(p + destinationIdAt, destinationId);
    writeU16(p + sourceTypeAt, sourceType);
    writeU16(p + destinationTypeAt, destinationType);
    writeU16(p + lengthAt, static_cast<std::uint16_t>(bytes.size()));
    writeU16(p + commandAt, command);
    writeU32(p + sequenceAt, sequence);
    return bytes;
}

std::uint32_t checkValue(const char* data, std::size_t size) {
    const auto length = static_cast<std::int16_t>(readU16(data + lengthAt));
    const long words = (length >> 1) - 2;
    const long room = static_cast<long>((size - 4) / 2); // never the check bytes
    std::uint32_t value = 0;
    for (long i = 0; i < words && i < room; ++i) {
        const std::uint32_t feedback = ((value >> 31) ^ (value >> 18)) & 1u;
        value = ((value << 1) | feedback) ^ readU16(data + 2 * i);
    }
    return value;
}

void seal(std::vector<char>& message) {
    if (message.size() < headerSize)
        return;
    writeU32(message.data() + message.size() - 4, checkValue(message.data(), message.size()));
}

bool intact(const char* data, std::size_t size) {
    return size >= headerSize + 4 && readU16(data + lengthAt) == size &&
           readU32(data + size - 4) == checkValue(data, size);
}

} // namespace VornSim::DeviceWire
