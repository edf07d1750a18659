#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The window's File > Export device list...: the listed devices as CSV.
namespace DeviceListExport {

struct Row {
    std::string name; // as listed ("Unknown" until read)
    std::string product;
    std::string id;                      // "0000000a:0000000b"
    std::string address;                 // dotted IPv4; empty when not known
    std::optional<std::uint32_t> serial; // the number last read; none: not read
};

// A header line "name,product,id,address,serial", then a line per row in the
// given order, each ending in CR LF as spreadsheets on Windows expect; a
// serial number not read is an empty field.
std::string csv(const std::vector<Row>& rows);

// One CSV field: quoted when it holds a separator (',' or ';'), a quote, a
// line break or leading/trailing blanks; text a spreadsheet would take for a
// formula (=, +, -, @ first) gets a leading apostrophe, so that a name
// announced on the network never runs as a formula.
std::string csvField(std::string_view text);

} // namespace DeviceListExport
