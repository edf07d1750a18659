#pragma once

#include "Enumerator.h"
#include "Texts.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How vornctl writes its results: aligned text tables and JSON.
namespace Vornctl {

// One discovered device as listed.
struct DeviceRow {
    std::uint64_t id = 0;
    std::optional<std::string> name; // none: the name could not be read
    unsigned deviceType = 0;
    std::uint32_t address = 0; // IPv4, host byte order
    std::uint32_t mode = 0;
};

// Dotted decimal of a host-order IPv4 address.
std::string formatAddress(std::uint32_t address);
// Columns left-aligned to their widest cell, two spaces apart, the header
// underlined; no trailing spaces.
std::string formatTable(const std::vector<std::string>& headers,
                        const std::vector<std::vector<std::string>>& rows);

// Columns ID, Name, Product, Address, Mode. A name that could not be read
// shows as "Unknown"; control characters show as '?'.
std::string formatDeviceTable(const std::vector<DeviceRow>& rows);
// [{"id", "name" (null when unread), "product", "type", "address", "mode"}, ...]
std::string formatDeviceJson(const std::vector<DeviceRow>& rows);

// Columns Description, IP Address, MAC Address, Subnet Mask.
std::string formatInterfaceTable(const std::vector<AdapterInfo>& adapters);
// [{"description", "address", "mac", "mask"}, ...]
std::string formatInterfaceJson(const std::vector<AdapterInfo>& adapters);

// A JSON string literal. Text that is not valid UTF-8 is taken as Latin-1.
std::string jsonString(std::string_view text);

} // namespace Vornctl
