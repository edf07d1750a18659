#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace Vornctl {

// How long the check before a write waits for the other devices' numbers.
constexpr std::chrono::seconds duplicateCheckWait{2};
// Before the check, the device list is taken once no device has come for this long.
constexpr std::chrono::milliseconds segmentSettles{300};

// Who holds a serial number among the other devices of the segment.
struct DuplicateFinding {
    std::vector<std::uint64_t> holders; // hold the number now
    std::vector<std::uint64_t> silent;  // did not answer: unknown
};

// `serials[i]` is what device `ids[i]` holds (none: it did not answer).
DuplicateFinding findDuplicate(const std::vector<std::uint64_t>& ids,
                               const std::vector<std::optional<std::uint32_t>>& serials,
                               std::uint32_t number);

} // namespace Vornctl
