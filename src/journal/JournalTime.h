#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace Journal {

using SystemTime = std::chrono::system_clock::time_point;

// ISO 8601 in UTC with milliseconds: 2026-12-07T14:05:09.042Z.
std::string formatUtc(SystemTime time);

// A time in UTC as a user writes it: "2026-12-07", "2026-12-07T14:05",
// "2026-12-07T14:05:09", "2026-12-07 14:05:09.042", each with or without a
// trailing 'Z', in the years 1970 to 2261. None for anything else (other
// zones included).
std::optional<SystemTime> parseUtc(std::string_view text);

} // namespace Journal
