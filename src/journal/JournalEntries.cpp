#include "JournalEntries.h"

#include "TextLines.h"

#include <unordered_map>

namespace Journal {

JournalReading readEntries(std::string_view text) {
    JournalReading reading;
    std::unordered_map<std::string, std::size_t> byEntry; // entry id -> index in entries
    TextLines lines(text);
    std::string_view line;
    while (lines.next(line)) {
        const std::size_t number = lines.number();
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
