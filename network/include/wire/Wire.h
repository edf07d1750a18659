#pragma once

#include <cstddef>
#include <cstdint>

// Little-endian field access on raw message bytes. Callers check bounds; these
// helpers read or write exactly the bytes named.
namespace Vorn::Wire {

inline std::uint16_t readU16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

inline std::int16_t readI16(const char* p) {
    return static_cast<std::int16_t>(readU16(p));
}

inline std::uint32_t readU32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

inline std::int32_t readI32(const char* p) {
    return static_cast<std::int32_t>(readU32(p));
}

// A frame id travels as two 32-bit words, the high word first.
inline std::uint64_t readFrameId(const char* p) {
    return (static_cast<std::uint64_t>(readU32(p)) << 32) | readU32(p + 4);
}

inline void writeU16(char* p, std::uint16_t v) {
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>(v >> 8);
}

inline void writeU32(char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline void writeFrameId(char* p, std::uint64_t id) {
    writeU32(p, static_cast<std::uint32_t>(id >> 32));
    writeU32(p + 4, static_cast<std::uint32_t>(id));
}

} // namespace Vorn::Wire
