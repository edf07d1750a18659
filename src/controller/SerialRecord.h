#pragma once

#include "JournalRecord.h"
#include "wire/FrameInfo.h"

#include <optional>
#include <string>
#include <string_view>

// What the journal records about a serial write, as the window and vornctl
// show it.
namespace SerialRecord {

// The device as the journal names it: ID, name (none: not read), product and
// address.
Journal::DeviceFacts deviceFacts(const Vorn::FrameInfo& info, std::optional<std::string> name);

// "PROGRAM VERSION", the journal's tool field: "vornctl 1.0.0".
std::string toolName(std::string_view program);

} // namespace SerialRecord
