#pragma once

#include "JournalRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

// What a box publishes on its journal topic: one journal line as the box's
// journal holds it, numbered ("seq"). The box that sent it is the topic's:
// whatever the payload says of a box or host is the record's text, never
// where it is stored.
namespace Fleet {

// Larger payloads are not records: a journal line is well under 2 KiB.
constexpr std::size_t maximumJournalPayload = 16 * 1024;

struct JournalMessage {
    std::uint64_t sequence = 0; // > 0
    Journal::Record record;
    std::string line; // the payload, as stored
};

enum class PayloadRejection {
    TooLarge,   // more than maximumJournalPayload bytes
    NotARecord, // not a journal record
    Unnumbered, // a record without "seq"
};
const char* rejectionName(PayloadRejection rejection); // "too-large", ...

using DecodedPayload = std::variant<JournalMessage, PayloadRejection>;
DecodedPayload decodeJournalPayload(std::string_view payload);

} // namespace Fleet
