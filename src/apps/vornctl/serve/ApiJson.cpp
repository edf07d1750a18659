#include "ApiJson.h"

#include "Texts.h"
#include "transport/Enumerator.h"

#include <nlohmann/json.hpp>

namespace Vornctl::Serve {
namespace {

using nlohmann::json;

// Device names come from the network: text that is not UTF-8 is shown with
// replacement characters rather than refused.
std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

json optionalNumber(const std::optional<std::uint32_t>& value) {
    return value ? json(*value) : json(nullptr);
}

std::optional<std::uint32_t> serialField(const json& body, const char* key, std::string& error) {
    const auto found = body.find(key);
    if (found == body.end()) {
        error = std::string("the body lacks \"") + key + "\"";
        return std::nullopt;
    }
    if (!found->is_number_integer() ||
        (found->is_number_unsigned() ? found->get<std::uint64_t>() > 4294967295u
                                     : found->get<std::int64_t>() < 0)) {
        error = std::string("\"") + key + "\" must be an integer from 0 to 4294967295";
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(found->get<std::uint64_t>());
}

} // namespace

std::string errorJson(std::string_view message) {
    return dump(json{{"error", message}});
}

std::string refusalJson(const WriteRefusal& refusal) {
    json body{{"result", refusal.result}, {"error", refusal.error}};
    if (!refusal.warnings.empty())
        body["warnings"] = refusal.warnings;
    if (refusal.holderId)
        body["holder"] = {{"id", formatDeviceId(*refusal.holderId)},
                          {"name", refusal.holderName ? json(*refusal.holderName) : json(nullptr)}};
    return dump(body);
}

std::string programFailureJson(std::string_view message, const std::vector<ProgramRow>& rows) {
    json body{{"error", message}};
    body["rows"] = json::parse(formatProgramJson(rows));
    return dump(body);
}

// The devices as vornctl list --json writes them (names that are not UTF-8
// read as Latin-1, nothing lost).
std::string devicesJson(const Network::AdapterInfo& adapter, const std::vector<FoundDevice>& rows,
                        std::uint64_t dropped) {
    return "{\"interface\": " + interfaceJson(adapter) +
           ", \"dropped\": " + std::to_string(dropped) +
           ", \"devices\": " + formatDeviceJson(rows) + "}";
}

std::string interfaceJson(const Network::AdapterInfo& adapter,
                          std::optional<std::uint64_t> dropped) {
    json body{{"description", adapter.description},
              {"address", adapter.ipAddress},
              {"mac", adapter.macAddress},
              {"mask", adapter.subnetMask}};
    if (dropped)
        body["dropped"] = *dropped;
    return dump(body);
}

std::string sessionJson(std::string_view name, std::string_view role) {
    return dump(json{{"name", std::string(name)}, {"role", std::string(role)}});
}

std::string certificateJson(std::string_view certificate, std::string_view authority) {
    auto textOrNull = [](std::string_view text) {
        return text.empty() ? json(nullptr) : json(std::string(text));
    };
    return dump(
        json{{"certificate", textOrNull(certificate)}, {"authority", textOrNull(authority)}});
}

std::string serialJson(std::uint64_t id, std::uint32_t serial) {
    return dump(json{{"id", formatDeviceId(id)}, {"serial", serial}});
}

std::string writeJson(const WriteReport& report, const std::vector<std::string>& warnings) {
    json body{{"id", formatDeviceId(report.id)},
              {"old", optionalNumber(report.before)},
              {"new", report.target},
              {"readBack", optionalNumber(report.after)},
              {"result", report.result},
              {"detail", report.detail}};
    if (!warnings.empty())
        body["warnings"] = warnings;
    return dump(body);
}

std::optional<std::uint32_t> parseSerialWrite(std::string_view body, std::string& error,
                                              bool* allowDuplicate) {
    const json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        error = "the body must be a JSON object {\"serial\": N, \"repeat\": N}";
        return std::nullopt;
    }
    const auto serial = serialField(parsed, "serial", error);
    if (!serial)
        return std::nullopt;
    const auto repeat = serialField(parsed, "repeat", error);
    if (!repeat)
        return std::nullopt;
    if (*serial != *repeat) {
        error = "the serial numbers differ; nothing was written";
        return std::nullopt;
    }
    const auto allow = parsed.find("allowDuplicate");
    if (allow != parsed.end() && !allow->is_boolean()) {
        error = "\"allowDuplicate\" must be true or false";
        return std::nullopt;
    }
    if (allowDuplicate)
        *allowDuplicate = allow != parsed.end() && allow->get<bool>();
    return serial;
}

} // namespace Vornctl::Serve
