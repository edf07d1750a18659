#pragma once

#include "JournalEntries.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Vornctl {

struct Console;
struct Options;

// Which entries vornctl journal shows.
struct JournalFilter {
    std::optional<std::uint64_t> device;      // --device: this device's only
    std::optional<Journal::SystemTime> since; // --since: begun at or after
};
std::vector<Journal::JournalEntry> selectEntries(std::vector<Journal::JournalEntry> entries,
                                                 const JournalFilter& filter);

// Columns Time, ID, Name, Old, New, Result, Operator, Host; an entry without
// an outcome is "interrupted", a write of serve has "OPERATOR from CLIENT".
std::string formatJournalTable(const std::vector<Journal::JournalEntry>& entries);
// [{"entry", "time", "operator", "host", "tool", "interface", "id", "name",
// "product", "address", "old", "new", "result", "acknowledged", "readBack",
// "outcomeTime", "client"}, ...]; what an interrupted entry lacks is null, and
// "client" (the address a write of serve came from) is null for a write at the tool.
std::string formatJournalJson(const std::vector<Journal::JournalEntry>& entries);
// The same fields as a header line and a line per entry; null values empty.
std::string formatJournalCsv(const std::vector<Journal::JournalEntry>& entries);

// vornctl journal: the entries of the journal, intent and outcome joined.
// Lines that are not journal records are named on the error stream and
// skipped; the status stays 0. Status 1 when the journal cannot be read.
int showJournal(const Options& options, Console& console);

} // namespace Vornctl
