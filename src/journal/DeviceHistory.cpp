#include "DeviceHistory.h"

#include "JournalFile.h"

#include <algorithm>
#include <cctype>

namespace Journal {
namespace {

bool sameId(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

std::vector<JournalEntry> deviceHistory(std::string_view text, std::string_view id,
                                        std::size_t limit) {
    const auto lastBreak = text.rfind('\n');
    text = text.substr(0, lastBreak == std::string_view::npos ? 0 : lastBreak + 1);
    std::vector<JournalEntry> entries = readEntries(text).entries;
    std::vector<JournalEntry> history;
    for (auto entry = entries.rbegin(); entry != entries.rend() && history.size() < limit; ++entry)
        if (sameId(entry->intent.device.id, id))
            history.push_back(std::move(*entry));
    return history;
}

std::vector<JournalEntry> readDeviceHistory(const std::filesystem::path& path, std::string_view id,
                                            std::size_t limit) {
    return deviceHistory(JournalFile::read(path), id, limit);
}

} // namespace Journal
