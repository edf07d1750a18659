#pragma once

#include "JournalRecord.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Journal {

// One serial write: its intent joined with its outcome. Without an outcome
// the program ended between the two (interrupted): the device may hold
// either number.
struct JournalEntry {
    std::size_t line = 0; // the intent's line, from 1
    SerialIntent intent;
    std::optional<SerialOutcome> outcome;
};

// A line that is not a journal record, or does not fit the others.
struct SkippedLine {
    std::size_t line = 0;
    std::string reason;
};

struct JournalReading {
    std::vector<JournalEntry> entries; // in the order of their intents
    std::vector<SkippedLine> skipped;  // in line order
};

// Reads a journal's text. Empty lines are passed over; any other line that is
// not a record, an intent whose entry came before, and an outcome without its
// intent or after another one are skipped and named.
JournalReading readEntries(std::string_view text);

// "interrupted" for an entry without an outcome, else the outcome's result.
const char* entryResultName(const JournalEntry& entry);

} // namespace Journal
