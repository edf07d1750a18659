#include "FleetStates.h"

#include "FleetTopics.h"
#include "JournalJson.h"
#include "JournalTime.h"

namespace Fleet {
namespace {

using Journal::Json;

// Field readers: false when the field is missing or of another kind.
bool readText(const Json& object, const char* key, std::string& out) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return false;
    out = found->get<std::string>();
    return true;
}

bool readCount(const Json& object, const char* key, std::uint64_t& out) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_unsigned())
        return false;
    out = found->get<std::uint64_t>();
    return true;
}

bool readTime(const Json& object, const char* key, std::string& out) {
    return readText(object, key, out) && Journal::parseUtc(out).has_value();
}

std::optional<Json> parseObject(std::string_view payload) {
    if (payload.size() > maximumStatePayload)
        return std::nullopt;
    Json object = Json::parse(payload.begin(), payload.end(), nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return std::nullopt;
    return object;
}

} // namespace

std::string formatStatus(const BoxStatus& status) {
    Json object;
    object["state"] = status.online ? "online" : "offline";
    object["session"] = status.session;
    object["connection"] = status.connection;
    object["site"] = status.site;
    object["version"] = status.version;
    object["adapter"] = status.adapter;
    object["devices"] = status.devices;
    object["time"] = status.time;
    return Journal::dumpJson(object);
}

std::optional<BoxStatus> parseStatus(std::string_view payload) {
    const auto object = parseObject(payload);
    if (!object)
        return std::nullopt;
    BoxStatus status;
    std::string state;
    if (!readText(*object, "state", state) || (state != "online" && state != "offline") ||
        !readCount(*object, "session", status.session) || !readTime(*object, "time", status.time))
        return std::nullopt;
    status.online = state == "online";
    // Optional: a Will may say less.
    readText(*object, "site", status.site);
    readText(*object, "version", status.version);
    readText(*object, "adapter", status.adapter);
    readCount(*object, "devices", status.devices);
    readCount(*object, "connection", status.connection);
    return status;
}

bool supersedes(const BoxStatus& incoming, std::optional<StatusAge> known) {
    return !known || incoming.session > known->session ||
           (incoming.session == known->session && incoming.connection >= known->connection);
}

std::string formatDeviceState(const DeviceState& device) {
    Json object;
    object["id"] = device.id;
    object["name"] = device.name ? Json(*device.name) : Json(nullptr);
    object["product"] = device.product;
    object["address"] = device.address;
    object["serial"] = Journal::optionalNumber(device.serial);
    object["present"] = device.present;
    object["firstSeen"] = device.firstSeen;
    object["lastSeen"] = device.lastSeen;
    return Journal::dumpJson(object);
}

std::optional<DeviceState> parseDeviceState(std::string_view payload) {
    const auto object = parseObject(payload);
    if (!object)
        return std::nullopt;
    DeviceState device;
    if (!readText(*object, "id", device.id) || !deviceKeyOf(device.id) ||
        !readText(*object, "product", device.product) ||
        !readText(*object, "address", device.address) ||
        !readTime(*object, "firstSeen", device.firstSeen) ||
        !readTime(*object, "lastSeen", device.lastSeen))
        return std::nullopt;
    const auto name = object->find("name");
    if (name != object->end() && name->is_string())
        device.name = name->get<std::string>();
    else if (name == object->end() || !name->is_null())
        return std::nullopt;
    const auto serial = object->find("serial");
    if (serial != object->end() && serial->is_number_unsigned() &&
        serial->get<std::uint64_t>() <= 0xFFFFFFFFu)
        device.serial = static_cast<std::uint32_t>(serial->get<std::uint64_t>());
    else if (serial == object->end() || !serial->is_null())
        return std::nullopt;
    const auto present = object->find("present");
    if (present == object->end() || !present->is_boolean())
        return std::nullopt;
    device.present = present->get<bool>();
    return device;
}

bool operator==(const DeviceState& a, const DeviceState& b) {
    return a.id == b.id && a.name == b.name && a.product == b.product && a.address == b.address &&
           a.serial == b.serial && a.present == b.present && a.firstSeen == b.firstSeen &&
           a.lastSeen == b.lastSeen;
}

} // namespace Fleet
