#pragma once

#include "JournalEntries.h"

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

namespace Journal {

// How many entries a device's history shows at most.
constexpr std::size_t deviceHistoryLimit = 100;

// The entries of the device `id` ("0000000a:0000000b", hex digits of either
// case) in a journal's text, newest first (the journal's own order, the last
// line's entry first), at most the last `limit` of them. A last line without
// its line break was cut short by a power loss and is passed over, as are the
// lines readEntries() skips.
std::vector<JournalEntry> deviceHistory(std::string_view text, std::string_view id,
                                        std::size_t limit = deviceHistoryLimit);

// The same from the journal file at `path`, read afresh; empty when there is
// no such file yet. Throws JournalError.
std::vector<JournalEntry> readDeviceHistory(const std::filesystem::path& path, std::string_view id,
                                            std::size_t limit = deviceHistoryLimit);

} // namespace Journal
