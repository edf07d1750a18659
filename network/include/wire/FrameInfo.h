#pragma once

#include <cstdint>

namespace Vorn {

// The frame list's record of one present frame.
struct FrameInfo {
    std::uint64_t id = 0;
    std::uint16_t sourceType = 0; // after normalizeHeader
    std::uint32_t deviceType = 0;
    std::int64_t lastSeen = 0; // wall clock, whole seconds since 1970
    std::uint32_t mode = 0;    // 0..6
    std::uint32_t address = 0; // IPv4, host byte order
    std::uint32_t stationTag[2] = {0, 0};
};

} // namespace Vorn
