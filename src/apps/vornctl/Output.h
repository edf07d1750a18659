#pragma once

#include "DeviceEventFeed.h"
#include "FoundDevice.h"
#include "Texts.h"
#include "transport/Enumerator.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct SerialWriteReport;

// How vornctl writes its results: aligned text tables and JSON.
namespace Vornctl {

// What became of one device of a serial-number file.
enum class ProgramResult {
    Verified,    // written, and read back holding the new number
    AlreadySet,  // held the number already: nothing written
    WouldWrite,  // --dry-run: would be written
    NotFound,    // did not appear on the network
    NotServiced, // not an Ondal 2 or Ondal 4 (and --all not given): nothing sent
    NoAnswer,    // did not answer (before or after the write)
    Refused,     // answers, but did not take the number
    Mismatch,    // reads back another number after the write
    Unverified,  // the write was acknowledged, the read-back not answered
};
// "verified", "already-set", ...: the JSON value and the table's text.
const char* resultName(ProgramResult result);
// True for the results that leave the device as the file asks.
bool succeeded(ProgramResult result);

struct ProgramRow {
    std::size_t line = 0; // line of the file
    std::uint64_t id = 0;
    std::optional<std::string> name;     // none: not read
    std::optional<std::uint32_t> before; // the number read before writing
    std::uint32_t target = 0;
    std::optional<std::uint32_t> after; // the number read back after writing
    ProgramResult result = ProgramResult::NoAnswer;
    std::string detail; // what happened, for a person
};

// Columns Line, ID, Name, Old, New, Result, Detail; numbers unsigned, as in the file.
std::string formatProgramTable(const std::vector<ProgramRow>& rows);
// [{"line", "id", "name", "old", "new", "readBack", "result", "detail"}, ...];
// unread values are null.
std::string formatProgramJson(const std::vector<ProgramRow>& rows);

// One device event as vornctl watch prints it (and serve pushes it, as JSON),
// without the newline: text columns, or one JSON object.
std::string formatDeviceEvent(const DeviceEvent& event, bool json);
// ISO 8601 in UTC with milliseconds: 2026-12-07T14:05:09.042Z.
std::string formatTimestamp(std::chrono::system_clock::time_point time);

// "2.5 s"
std::string formatSeconds(std::chrono::milliseconds duration);

// "serial number N is held by device ID (NAME); nothing was written."
std::string duplicateRefusal(const SerialWriteReport& report);

// Dotted decimal of a host-order IPv4 address.
std::string formatAddress(std::uint32_t address);
// Columns left-aligned to their widest cell, two spaces apart, the header
// underlined; no trailing spaces.
std::string formatTable(const std::vector<std::string>& headers,
                        const std::vector<std::vector<std::string>>& rows);

// Columns ID, Name, Product, Address, Mode. A name that could not be read
// shows as "Unknown"; control characters show as '?'.
std::string formatDeviceTable(const std::vector<FoundDevice>& rows);
// [{"id", "name" (null when unread), "product", "type", "address", "mode"}, ...]
std::string formatDeviceJson(const std::vector<FoundDevice>& rows);
// The error line of a listing that left `dropped` newly announced devices out
// (the table of devices was full).
std::string formatNotListed(std::uint64_t dropped);
// A header line "id,name,product,type,address,mode", then one line per
// device; an unread name is an empty field.
std::string formatDeviceCsv(const std::vector<FoundDevice>& rows);
// One CSV field: quoted when it holds a separator, a quote, a line break or
// leading/trailing blanks; text a spreadsheet would take for a formula (=, +,
// -, @ first) gets a leading apostrophe.
std::string csvField(std::string_view text);

// Columns Description, IP Address, MAC Address, Subnet Mask.
std::string formatInterfaceTable(const std::vector<Network::AdapterInfo>& adapters);
// [{"description", "address", "mac", "mask"}, ...]
std::string formatInterfaceJson(const std::vector<Network::AdapterInfo>& adapters);

// Text from the network for a table: control characters show as '?'.
std::string printable(std::string_view text);

// A JSON array with one object per line, each on one line with its members
// in order ({"key": value, ...}), or "[]" when empty; a final newline. Text
// that is not UTF-8 is taken as Latin-1.
std::string objectLines(const std::vector<nlohmann::ordered_json>& objects);

// A JSON string literal. Text that is not valid UTF-8 is taken as Latin-1.
std::string jsonString(std::string_view text);

} // namespace Vornctl
