#include "SerialPlan.h"

#include "TextLines.h"
#include "Texts.h"
#include "Values.h"

#include <algorithm>
#include <map>
#include <optional>

namespace Vornctl {
namespace {

// The fields of one line, each trimmed and stripped of one pair of enclosing
// double quotes; trailing empty fields (as spreadsheets write them) dropped.
std::vector<std::string_view> splitFields(std::string_view line) {
    const char separator = line.find(',') != std::string_view::npos ? ',' : ';';
    std::vector<std::string_view> fields;
    for (;;) {
        const auto end = line.find(separator);
        std::string_view field = trim(line.substr(0, end));
        if (field.size() >= 2 && field.front() == '"' && field.back() == '"')
            field = trim(field.substr(1, field.size() - 2));
        fields.push_back(field);
        if (end == std::string_view::npos)
            break;
        line.remove_prefix(end + 1);
    }
    while (fields.size() > 1 && fields.back().empty())
        fields.pop_back();
    return fields;
}

bool isHeader(const std::vector<std::string_view>& fields) {
    return std::all_of(fields.begin(), fields.end(), [](std::string_view field) {
        return !field.empty() && std::all_of(field.begin(), field.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ' || c == '_';
        });
    });
}

bool allDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

} // namespace

SerialPlan parseSerialPlan(std::string_view text, bool allowDuplicateSerials) {
    SerialPlan plan;
    std::map<std::uint64_t, std::size_t> seen;      // device id -> line
    std::map<std::uint32_t, PlannedSerial> numbers; // serial -> its first entry
    bool content = false;
    // Spreadsheets save "CSV UTF-8" with a byte-order mark: it is no part of the first line.
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, byteOrderMark.size()) == byteOrderMark)
        text.remove_prefix(byteOrderMark.size());
    Journal::TextLines lines(text);
    std::string_view line;
    while (lines.next(line)) {
        const std::size_t number = lines.number();
        line = trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;

        const auto fields = splitFields(line);
        const bool first = !content;
        content = true;
        if (first && isHeader(fields))
            continue;
        auto fail = [&](std::string message) {
            plan.errors.push_back({number, std::move(message)});
        };
        if (fields.size() != 2) {
            fail("expected ID,SERIAL but found " + std::to_string(fields.size()) +
                 (fields.size() == 1 ? " field" : " fields"));
            continue;
        }
        const auto id = parseDeviceId(fields[0]);
        if (!id)
            fail("invalid device ID " + quoted(fields[0]) +
                 ": expected 8 hex digits, a colon and 8 hex digits, as in 0001e240:000012ab");
        std::string_view digits = fields[1];
        while (digits.size() > 1 && digits.front() == '0' && allDigits(digits))
            digits.remove_prefix(1);
        const auto serial = parseSerial(digits);
        if (!serial) {
            if (allDigits(fields[1]))
                fail("serial number " + std::string(fields[1]) +
                     " is out of range (0 to 4294967295)");
            else
                fail("invalid serial number " + quoted(fields[1]) +
                     ": expected an unsigned decimal number (0 to 4294967295)");
        }
        if (!id || !serial)
            continue;
        const auto [earlier, added] = seen.emplace(*id, number);
        if (!added) {
            fail("device " + formatDeviceId(*id) + " is already listed on line " +
                 std::to_string(earlier->second));
            continue;
        }
        const PlannedSerial entry{number, *id, *serial};
        const auto [given, unique] = numbers.emplace(*serial, entry);
        if (!unique && !allowDuplicateSerials) {
            fail("serial number " + std::to_string(*serial) + " is given to " +
                 formatDeviceId(given->second.id) + " on line " +
                 std::to_string(given->second.line) +
                 " already (--allow-duplicate writes it anyway)");
            continue;
        }
        plan.entries.push_back(entry);
    }
    if (plan.entries.empty() && plan.errors.empty())
        plan.errors.push_back({0, "the file lists no device"});
    return plan;
}

std::string formatPlanErrors(const std::vector<PlanError>& errors) {
    std::string out;
    for (const PlanError& error : errors)
        out += (error.line > 0 ? "line " + std::to_string(error.line) + ": " : std::string()) +
               error.message + "\n";
    return out;
}

} // namespace Vornctl
