#pragma once

#include "Output.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DeviceSession;

namespace Vornctl {

struct Console;
struct Options;

// One device of the inventory: as listed, with its serial number.
struct InventoryRow {
    FoundDevice device;
    std::optional<std::uint32_t> serial; // none: the device did not answer
};

// Columns ID, Name, Product, Address, Serial; "-" for a serial not read.
std::string formatInventoryTable(const std::vector<InventoryRow>& rows);
// [{"id", "name", "product", "type", "address", "serial"}, ...]; unread values null.
std::string formatInventoryJson(const std::vector<InventoryRow>& rows);
// "id,name,product,type,address,serial", then a line per device; unread values empty.
std::string formatInventoryCsv(const std::vector<InventoryRow>& rows);

// The names and serial numbers of `devices`, read in parallel (progress on
// the error stream when it is a terminal); every device that did not answer
// is named there.
std::vector<InventoryRow> readInventory(DeviceSession& session,
                                        const std::vector<FoundDevice>& devices, Console& console);

// vornctl inventory: discovers the devices, reads every name and serial
// number in parallel and prints them. Status 1 when a device did not answer.
int inventory(DeviceSession& session, const Options& options, Console& console);

} // namespace Vornctl
