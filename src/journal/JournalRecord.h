#pragma once

#include "JournalTime.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

// The journal's records: one JSON object per line. A serial write is two
// records with one entry id: its intent, on the disk before anything is sent,
// and its outcome, after the number was read back.
namespace Journal {

// What a serial write came to (serial program names its results alike).
enum class WriteResult {
    Verified,   // read back as written
    Refused,    // the device refused the write and kept its number
    NoAnswer,   // the write was not answered (the read-back, when answered, shows the old number)
    Mismatch,   // reads back another number
    Unverified, // the write was acknowledged, the read-back not answered
    AlreadySet, // held the number already: nothing written
    Duplicate,  // another listed device holds the number: nothing written
};
// "verified", "refused", "no-answer", "mismatch", "unverified", "already-set",
// "duplicate".
const char* writeResultName(WriteResult result);
std::optional<WriteResult> parseWriteResult(std::string_view name);

// The device a write goes to, as the tool shows it.
struct DeviceFacts {
    std::string id;                  // "0000000a:0000000b"
    std::optional<std::string> name; // none: not read
    std::string product;
    std::string address; // dotted IPv4
};

struct SerialIntent {
    SystemTime time;
    std::string entry;
    std::string operatorName;
    std::string host;
    std::string tool;             // program and version: "vornctl 1.0.0"
    std::string interfaceAddress; // the tool's interface
    // The address of the client that asked for the write (vornctl serve); none
    // for a write asked at the tool itself. Left out of the line when none.
    std::optional<std::string> client;
    DeviceFacts device;
    std::optional<std::uint32_t> old; // the number read just before; none: not read
    std::uint32_t target = 0;         // "new"
    // "seq": the record's number in this journal, one more than the record's
    // before it (what a box reports by); none in lines written before records
    // were numbered. Written last in the line.
    std::optional<std::uint64_t> sequence;
};

struct SerialOutcome {
    SystemTime time;
    std::string entry;
    std::string id; // the device's, as in the intent
    WriteResult result = WriteResult::NoAnswer;
    bool acknowledged = false;
    std::optional<std::uint32_t> readBack; // none: not answered
    std::optional<std::uint64_t> sequence; // "seq", as in the intent
};

// One line, without the line break. Text that is not UTF-8 is written with
// replacement characters.
std::string formatRecord(const SerialIntent& intent);
std::string formatRecord(const SerialOutcome& outcome);

using Record = std::variant<SerialIntent, SerialOutcome>;
// A line of the journal; none when it is not a journal record (not JSON, not
// an object, an unknown event, a field missing or of the wrong kind).
std::optional<Record> parseRecord(std::string_view line);

// The record's number ("seq"); none when it has none.
std::optional<std::uint64_t> recordSequence(const Record& record);

} // namespace Journal
