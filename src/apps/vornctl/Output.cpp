#include "Output.h"

#include "DeviceListExport.h"
#include "ProductName.h"
#include "SerialWriteFlow.h"
#include "Texts.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace Vornctl {
namespace {

// Objects keep their keys in the order they were added.
using Json = nlohmann::ordered_json;

// Length of the UTF-8 sequence starting at `text[i]`, or 0 when it is not one.
std::size_t utf8Sequence(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    const bool overlong =
        (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (overlong || surrogate || codePoint > 0x10FFFF)
        return 0;
    return length;
}

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Sequence(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// Display width: code points for UTF-8 text, bytes otherwise.
std::size_t displayWidth(std::string_view text) {
    if (!isValidUtf8(text))
        return text.size();
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string numberOrDash(const std::optional<std::uint32_t>& value) {
    return value ? std::to_string(*value) : std::string("-");
}

const char* watchKindName(DeviceEvent::Kind kind) {
    switch (kind) {
    case DeviceEvent::Kind::Added:
        return "added";
    case DeviceEvent::Kind::Named:
        return "named";
    case DeviceEvent::Kind::NameUnread:
        return "name-unread";
    case DeviceEvent::Kind::Changed:
        return "changed";
    case DeviceEvent::Kind::Removed:
        return "removed";
    }
    return "unknown";
}

bool carriesRecord(DeviceEvent::Kind kind) {
    return kind == DeviceEvent::Kind::Added || kind == DeviceEvent::Kind::Changed;
}

// Every byte one character: what text that is not UTF-8 is taken as.
std::string latin1ToUtf8(std::string_view text) {
    std::string utf8;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

Json optionalText(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json optionalNumber(const std::optional<std::uint32_t>& value) {
    return value ? Json(*value) : Json(nullptr);
}

// One value in JSON. UTF-8 text is written as it is; text that is not UTF-8 is
// read as Latin-1 and written with \u escapes, so that no byte is lost and
// the line stays ASCII. Never throws: nlohmann's check of the UTF-8 would
// write U+FFFD for what it refused.
std::string dump(const Json& value) {
    constexpr auto replace = Json::error_handler_t::replace;
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (!isValidUtf8(text))
            return Json(latin1ToUtf8(text)).dump(-1, ' ', true, replace);
    }
    std::string out = value.dump(-1, ' ', false, replace);
    // DEL stays as it is in nlohmann's output; it is escaped like the other
    // control characters. A raw DEL can only stand inside a string.
    for (auto at = out.find('\x7f'); at != std::string::npos; at = out.find('\x7f', at))
        out.replace(at, 1, "\\u007f");
    return out;
}

// An object on one line, its members in order: {"key": value, "key": value}.
std::string objectLine(const Json& object) {
    std::string out;
    for (const auto& [key, value] : object.items())
        out += (out.empty() ? "{" : ", ") + dump(key) + ": " + dump(value);
    return out.empty() ? "{}" : out + "}";
}

} // namespace

std::string objectLines(const std::vector<Json>& objects) {
    if (objects.empty())
        return "[]\n";
    std::string out = "[\n";
    for (std::size_t i = 0; i < objects.size(); ++i)
        out += "  " + objectLine(objects[i]) + (i + 1 < objects.size() ? ",\n" : "\n");
    return out + "]\n";
}

std::string printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return out;
}

const char* resultName(ProgramResult result) {
    switch (result) {
    case ProgramResult::Verified:
        return "verified";
    case ProgramResult::AlreadySet:
        return "already-set";
    case ProgramResult::WouldWrite:
        return "would-write";
    case ProgramResult::NotFound:
        return "not-found";
    case ProgramResult::NotServiced:
        return "not-serviced";
    case ProgramResult::NoAnswer:
        return "no-answer";
    case ProgramResult::Refused:
        return "refused";
    case ProgramResult::Mismatch:
        return "mismatch";
    case ProgramResult::Unverified:
        return "unverified";
    }
    return "unknown";
}

bool succeeded(ProgramResult result) {
    return result == ProgramResult::Verified || result == ProgramResult::AlreadySet ||
           result == ProgramResult::WouldWrite;
}

std::string formatProgramTable(const std::vector<ProgramRow>& rows) {
    std::vector<std::vector<std::string>> cells;
    for (const auto& row : rows)
        cells.push_back({std::to_string(row.line), formatDeviceId(row.id),
                         printable(row.name.value_or(Text::unknownName)), numberOrDash(row.before),
                         std::to_string(row.target), resultName(row.result),
                         printable(row.detail)});
    return formatTable({"Line", "ID", "Name", "Old", "New", "Result", "Detail"}, cells);
}

std::string formatProgramJson(const std::vector<ProgramRow>& rows) {
    std::vector<Json> objects;
    for (const ProgramRow& row : rows)
        objects.push_back({{"line", row.line},
                           {"id", formatDeviceId(row.id)},
                           {"name", optionalText(row.name)},
                           {"old", optionalNumber(row.before)},
                           {"new", row.target},
                           {"readBack", optionalNumber(row.after)},
                           {"result", resultName(row.result)},
                           {"detail", row.detail}});
    return objectLines(objects);
}

std::string formatTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto millis = duration_cast<milliseconds>(time.time_since_epoch()).count();
    const auto seconds = static_cast<std::time_t>(millis / 1000 - (millis % 1000 < 0 ? 1 : 0));
    const auto fraction = static_cast<int>(((millis % 1000) + 1000) % 1000);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  fraction);
    return text;
}

std::string formatDeviceEvent(const DeviceEvent& event, bool json) {
    const std::string time = formatTimestamp(event.time);
    const std::string id = formatDeviceId(event.id);
    const char* kind = watchKindName(event.kind);
    if (json) {
        Json object = {{"time", time}, {"event", kind}, {"id", id}};
        if (carriesRecord(event.kind)) {
            object["product"] = productName(event.deviceType);
            object["type"] = event.deviceType;
            object["address"] = formatAddress(event.address);
            object["mode"] = event.mode;
        }
        if (event.kind == DeviceEvent::Kind::Named)
            object["name"] = event.name;
        return objectLine(object);
    }
    std::string out = time + "  " + kind;
    out.append(13 - std::string_view(kind).size(), ' '); // the longest kind has 11 letters
    out += id;
    if (carriesRecord(event.kind))
        out += "  " + std::string(productName(event.deviceType)) + " (type " +
               std::to_string(event.deviceType) + ")  " + formatAddress(event.address) + "  mode " +
               std::to_string(event.mode);
    else if (event.kind == DeviceEvent::Kind::Named)
        out += "  \"" + printable(event.name) + "\"";
    else if (event.kind == DeviceEvent::Kind::NameUnread)
        out += "  the device did not answer the name request";
    return out;
}

std::string formatSeconds(std::chrono::milliseconds duration) {
    std::ostringstream text;
    text << static_cast<double>(duration.count()) / 1000.0 << " s";
    return text.str();
}

std::string duplicateRefusal(const SerialWriteReport& report) {
    const std::uint64_t holder = report.holder ? report.holder->id : 0;
    const std::string name =
        report.holder && report.holder->name ? *report.holder->name : Text::unknownName;
    return "serial number " + std::to_string(report.target) + " is held by device " +
           formatDeviceId(holder) + " (" + printable(name) + "); nothing was written.";
}

std::string formatAddress(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string formatTable(const std::vector<std::string>& headers,
                        const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& header : headers)
        widths.push_back(displayWidth(header));
    for (const auto& row : rows)
        for (std::size_t column = 0; column < row.size() && column < widths.size(); ++column)
            widths[column] = std::max(widths[column], displayWidth(row[column]));

    std::string out;
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (std::size_t column = 0; column < widths.size(); ++column) {
            const std::string cell = column < cells.size() ? cells[column] : std::string();
            text += cell;
            if (column + 1 < widths.size())
                text.append(widths[column] - displayWidth(cell) + 2, ' ');
        }
        text.erase(text.find_last_not_of(' ') + 1);
        out += text + "\n";
    };
    line(headers);
    std::vector<std::string> rules;
    for (std::size_t width : widths)
        rules.emplace_back(width, '-');
    line(rules);
    for (const auto& row : rows)
        line(row);
    return out;
}

std::string formatDeviceTable(const std::vector<FoundDevice>& rows) {
    std::vector<std::vector<std::string>> cells;
    for (const auto& row : rows)
        cells.push_back({formatDeviceId(row.id), printable(row.name.value_or(Text::unknownName)),
                         productName(row.deviceType), formatAddress(row.address),
                         std::to_string(row.mode)});
    return formatTable({"ID", "Name", "Product", "Address", "Mode"}, cells);
}

std::string formatDeviceJson(const std::vector<FoundDevice>& rows) {
    std::vector<Json> objects;
    for (const FoundDevice& row : rows)
        objects.push_back({{"id", formatDeviceId(row.id)},
                           {"name", optionalText(row.name)},
                           {"product", productName(row.deviceType)},
                           {"type", row.deviceType},
                           {"address", formatAddress(row.address)},
                           {"mode", row.mode}});
    return objectLines(objects);
}

std::string formatNotListed(std::uint64_t dropped) {
    return std::to_string(dropped) +
           " newly announced devices were not listed: more were announced at once than vornctl "
           "keeps (a faulty device or a flood of new IDs); the list is incomplete.";
}

std::string csvField(std::string_view text) {
    return DeviceListExport::csvField(text);
}

std::string formatDeviceCsv(const std::vector<FoundDevice>& rows) {
    std::string out = "id,name,product,type,address,mode\n";
    for (const auto& row : rows)
        out += csvField(formatDeviceId(row.id)) + "," + csvField(row.name.value_or("")) + "," +
               csvField(productName(row.deviceType)) + "," + std::to_string(row.deviceType) + "," +
               formatAddress(row.address) + "," + std::to_string(row.mode) + "\n";
    return out;
}

std::string formatInterfaceTable(const std::vector<Network::AdapterInfo>& adapters) {
    std::vector<std::vector<std::string>> cells;
    for (const auto& adapter : adapters)
        cells.push_back({printable(adapter.description), adapter.ipAddress, adapter.macAddress,
                         adapter.subnetMask});
    return formatTable({"Description", "IP Address", "MAC Address", "Subnet Mask"}, cells);
}

std::string formatInterfaceJson(const std::vector<Network::AdapterInfo>& adapters) {
    std::vector<Json> objects;
    for (const Network::AdapterInfo& adapter : adapters)
        objects.push_back({{"description", adapter.description},
                           {"address", adapter.ipAddress},
                           {"mac", adapter.macAddress},
                           {"mask", adapter.subnetMask}});
    return objectLines(objects);
}

std::string jsonString(std::string_view text) {
    return dump(std::string(text));
}

} // namespace Vornctl
