#pragma once

#include <cstdint>
#include <optional>
#include <string>

// One device found on the network: its record as the engine holds it, and
// its name once read.
struct FoundDevice {
    std::uint64_t id = 0;
    std::optional<std::string> name; // none: the name could not be read (or was not)
    unsigned deviceType = 0;
    std::uint32_t address = 0; // IPv4, host byte order
    std::uint32_t mode = 0;
};
