#include "JournalEntries.h"

#include <unordered_map>

namespace Journal {

JournalReading readEntries(std::string_view text) {
    JournalReading reading;
    std::unordered_map<std::string, std::size_t> byEntry; // entry id -> index in entries
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        auto skip = [&](std::string reason) {
            reading.skipped.push_back({number, std::move(reason)});
        };
        auto record = parseRecord(line);
        if (!record) {
            skip("not a journal record");
            continue;
        }
        if (auto* intent = std::get_if<SerialIntent>(&*record)) {
            const auto [earlier, added] = byEntry.emplace(intent->entry, reading.entries.size());
            if (!added) {
                skip("entry " + intent->entry + " began on line " +
                     std::to_string(reading.entries[earlier->second].line) + " already");
                continue;
            }
            reading.entries.push_back({number, std::move(*intent), std::nullopt});
            continue;
        }
        auto& outcome = std::get<SerialOutcome>(*record);
        const auto found = byEntry.find(outcome.entry);
        if (found == byEntry.end()) {
            skip("the outcome of entry " + outcome.entry + ", whose intent is missing");
            continue;
        }
        JournalEntry& entry = reading.entries[found->second];
        if (entry.outcome) {
            skip("a second outcome of entry " + outcome.entry);
            continue;
        }
        entry.outcome = std::move(outcome);
    }
    return reading;
}

const char* entryResultName(const JournalEntry& entry) {
    return entry.outcome ? writeResultName(entry.outcome->result) : "interrupted";
}

} // namespace Journal
