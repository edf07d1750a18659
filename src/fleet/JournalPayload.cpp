#include "JournalPayload.h"

namespace Fleet {

const char* rejectionName(PayloadRejection rejection) {
    switch (rejection) {
    case PayloadRejection::TooLarge:
        return "too-large";
    case PayloadRejection::NotARecord:
        return "not-a-record";
    case PayloadRejection::Unnumbered:
        return "unnumbered";
    }
    return "unknown";
}

DecodedPayload decodeJournalPayload(std::string_view payload) {
    if (payload.size() > maximumJournalPayload)
        return PayloadRejection::TooLarge;
    auto record = Journal::parseRecord(payload);
    if (!record)
        return PayloadRejection::NotARecord;
    const auto sequence = Journal::recordSequence(*record);
    if (!sequence)
        return PayloadRejection::Unnumbered;
    return JournalMessage{*sequence, std::move(*record), std::string(payload)};
}

} // namespace Fleet
