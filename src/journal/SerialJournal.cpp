#include "SerialJournal.h"

#include <chrono>
#include <cstdio>
#include <random>

namespace Journal {

std::string newEntryId() {
    std::random_device source;
    std::string id;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(source()));
        id += part;
    }
    return id;
}

std::uint64_t nextSequence(std::string_view tail) {
    std::size_t end = tail.size();
    while (end > 0) {
        const std::size_t start = tail.rfind('\n', end - 1);
        const std::size_t begin = start == std::string_view::npos ? 0 : start + 1;
        if (const auto record = parseRecord(tail.substr(begin, end - begin)))
            if (const auto sequence = recordSequence(*record))
                return *sequence + 1;
        if (begin == 0)
            break;
        end = begin - 1;
    }
    return 1;
}

template <typename Record> void SerialJournal::appendNumbered(Record record) {
    file_.appendAfter([&record](std::string_view tail) {
        record.sequence = nextSequence(tail);
        return formatRecord(record);
    });
}

SerialJournal::SerialJournal(std::filesystem::path path, Writer writer)
    : file_(std::move(path)), writer_(std::move(writer)) {}

std::string SerialJournal::recordIntent(const DeviceFacts& device, std::optional<std::uint32_t> old,
                                        std::uint32_t target, std::optional<std::string> client,
                                        std::optional<std::string> operatorName) {
    SerialIntent intent;
    intent.time = std::chrono::system_clock::now();
    intent.entry = newEntryId();
    intent.operatorName = operatorName ? std::move(*operatorName) : writer_.operatorName;
    intent.host = writer_.host;
    intent.tool = writer_.tool;
    intent.interfaceAddress = writer_.interfaceAddress;
    intent.client = std::move(client);
    intent.device = device;
    intent.old = old;
    intent.target = target;
    appendNumbered(intent);
    return intent.entry;
}

void SerialJournal::recordOutcome(const std::string& entry, const std::string& id,
                                  WriteResult result, bool acknowledged,
                                  std::optional<std::uint32_t> readBack) {
    SerialOutcome outcome;
    outcome.time = std::chrono::system_clock::now();
    outcome.entry = entry;
    outcome.id = id;
    outcome.result = result;
    outcome.acknowledged = acknowledged;
    outcome.readBack = readBack;
    appendNumbered(outcome);
}

} // namespace Journal
