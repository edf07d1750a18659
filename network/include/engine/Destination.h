#pragma once

#include <cstdint>

namespace Vorn {

// How one frame is reached.
struct Destination {
    std::uint64_t frameId = 0;
    std::uint32_t address = 0; // IPv4, host byte order, as last seen
    bool viaBroadcast = false; // the frame announced a non-zero mode
};

// Outcome passed to every request completion.
enum class ErrorCode { Success = 0, TimedOut = 1, SendFailed = 2 };

} // namespace Vorn
