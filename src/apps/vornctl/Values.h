#pragma once

// The values a person types: on the command line, in a serial-number file and
// at the confirmation of a serial number.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Vornctl {

constexpr std::chrono::milliseconds maximumWait{3600 * 1000};

// The value of one hexadecimal digit (either case), or -1 for any other character.
int hexDigit(char c);

// "%08x:%08x", high word first; exactly 17 characters, hex digits of either case.
std::optional<std::uint64_t> parseDeviceId(std::string_view text);
// An unsigned 32-bit decimal: 1 to 10 digits (leading zeros allowed), no sign,
// no spaces, at most 4294967295.
std::optional<std::uint32_t> parseSerial(std::string_view text);
// Seconds as digits with an optional fraction ("2", "0.5"), at most 3600;
// rounded to whole milliseconds.
std::optional<std::chrono::milliseconds> parseWait(std::string_view text);

// Without the blanks (spaces, tabs, CR and LF) at either end.
std::string_view trim(std::string_view text);

} // namespace Vornctl
