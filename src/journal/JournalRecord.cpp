#include "JournalRecord.h"

#include "JournalJson.h"

namespace Journal {
namespace {

constexpr const char* resultNames[] = {"verified",   "refused",     "no-answer", "mismatch",
                                       "unverified", "already-set", "duplicate"};

// Field readers: false when the field is missing or of another kind.
bool readText(const Json& record, const char* key, std::string& out) {
    const auto found = record.find(key);
    if (found == record.end() || !found->is_string())
        return false;
    out = found->get<std::string>();
    return true;
}

bool readOptionalText(const Json& record, const char* key, std::optional<std::string>& out) {
    const auto found = record.find(key);
    if (found != record.end() && found->is_null()) {
        out.reset();
        return true;
    }
    std::string text;
    if (!readText(record, key, text))
        return false;
    out = std::move(text);
    return true;
}

bool readOptionalNumber(const Json& record, const char* key, std::optional<std::uint32_t>& out) {
    const auto found = record.find(key);
    if (found == record.end())
        return false;
    if (found->is_null()) {
        out.reset();
        return true;
    }
    if (!found->is_number_unsigned() || found->get<std::uint64_t>() > 0xFFFFFFFFu)
        return false;
    out = static_cast<std::uint32_t>(found->get<std::uint64_t>());
    return true;
}

// "seq": absent, or a positive whole number.
bool readSequence(const Json& record, std::optional<std::uint64_t>& out) {
    const auto found = record.find("seq");
    if (found == record.end())
        return true;
    if (!found->is_number_unsigned() || found->get<std::uint64_t>() == 0)
        return false;
    out = found->get<std::uint64_t>();
    return true;
}

void writeSequence(Json& record, const std::optional<std::uint64_t>& sequence) {
    if (sequence)
        record["seq"] = *sequence;
}

bool readTime(const Json& record, SystemTime& out) {
    std::string text;
    if (!readText(record, "time", text))
        return false;
    const auto time = parseUtc(text);
    if (!time)
        return false;
    out = *time;
    return true;
}

std::optional<Record> parseIntent(const Json& record) {
    SerialIntent intent;
    std::optional<std::uint32_t> target;
    const bool ok =
        readTime(record, intent.time) && readText(record, "entry", intent.entry) &&
        readText(record, "operator", intent.operatorName) &&
        readText(record, "host", intent.host) && readText(record, "tool", intent.tool) &&
        readText(record, "interface", intent.interfaceAddress) &&
        (record.find("client") == record.end() ||
         readOptionalText(record, "client", intent.client)) &&
        readText(record, "id", intent.device.id) &&
        readOptionalText(record, "name", intent.device.name) &&
        readText(record, "product", intent.device.product) &&
        readText(record, "address", intent.device.address) &&
        readOptionalNumber(record, "old", intent.old) &&
        readOptionalNumber(record, "new", target) && readSequence(record, intent.sequence);
    if (!ok || !target || intent.entry.empty())
        return std::nullopt;
    intent.target = *target;
    return intent;
}

std::optional<Record> parseOutcome(const Json& record) {
    SerialOutcome outcome;
    std::string result;
    const auto acknowledged = record.find("acknowledged");
    const bool ok = readTime(record, outcome.time) && readText(record, "entry", outcome.entry) &&
                    readText(record, "id", outcome.id) && readText(record, "result", result) &&
                    acknowledged != record.end() && acknowledged->is_boolean() &&
                    readOptionalNumber(record, "readBack", outcome.readBack) &&
                    readSequence(record, outcome.sequence);
    const auto named = parseWriteResult(result);
    if (!ok || !named || outcome.entry.empty())
        return std::nullopt;
    outcome.result = *named;
    outcome.acknowledged = acknowledged->get<bool>();
    return outcome;
}

} // namespace

Json optionalNumber(const std::optional<std::uint32_t>& value) {
    return value ? Json(*value) : Json(nullptr);
}

std::string dumpJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void addIntentFields(Json& object, const SerialIntent& intent, bool withClient) {
    object["operator"] = intent.operatorName;
    object["host"] = intent.host;
    object["tool"] = intent.tool;
    object["interface"] = intent.interfaceAddress;
    if (withClient && intent.client)
        object["client"] = *intent.client;
    object["id"] = intent.device.id;
    object["name"] = intent.device.name ? Json(*intent.device.name) : Json(nullptr);
    object["product"] = intent.device.product;
    object["address"] = intent.device.address;
    object["old"] = optionalNumber(intent.old);
    object["new"] = intent.target;
}

const char* writeResultName(WriteResult result) {
    return resultNames[static_cast<int>(result)];
}

std::optional<WriteResult> parseWriteResult(std::string_view name) {
    for (int i = 0; i < static_cast<int>(std::size(resultNames)); ++i)
        if (name == resultNames[i])
            return static_cast<WriteResult>(i);
    return std::nullopt;
}

std::string formatRecord(const SerialIntent& intent) {
    Json record;
    record["time"] = formatUtc(intent.time);
    record["event"] = "intent";
    record["entry"] = intent.entry;
    addIntentFields(record, intent, true);
    writeSequence(record, intent.sequence);
    return dumpJson(record);
}

std::string formatRecord(const SerialOutcome& outcome) {
    Json record;
    record["time"] = formatUtc(outcome.time);
    record["event"] = "outcome";
    record["entry"] = outcome.entry;
    record["id"] = outcome.id;
    record["result"] = writeResultName(outcome.result);
    record["acknowledged"] = outcome.acknowledged;
    record["readBack"] = optionalNumber(outcome.readBack);
    writeSequence(record, outcome.sequence);
    return dumpJson(record);
}

std::optional<std::uint64_t> recordSequence(const Record& record) {
    return std::visit([](const auto& one) { return one.sequence; }, record);
}

std::optional<Record> parseRecord(std::string_view line) {
    const Json record = Json::parse(line.begin(), line.end(), nullptr, false);
    if (record.is_discarded() || !record.is_object())
        return std::nullopt;
    const auto event = record.find("event");
    if (event == record.end() || !event->is_string())
        return std::nullopt;
    if (*event == "intent")
        return parseIntent(record);
    if (*event == "outcome")
        return parseOutcome(record);
    return std::nullopt;
}

} // namespace Journal
