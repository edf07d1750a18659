#include "Inventory.h"

#include "Commands.h"
#include "DeviceCommands.h"
#include "DeviceSession.h"
#include "ProductName.h"
#include "Reports.h"
#include "Texts.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ostream>

namespace Vornctl {
namespace {

using Json = nlohmann::ordered_json;

std::string serialText(const std::optional<std::uint32_t>& serial, const char* none) {
    return serial ? std::to_string(*serial) : std::string(none);
}

} // namespace

std::string formatInventoryTable(const std::vector<InventoryRow>& rows) {
    std::vector<std::vector<std::string>> cells;
    for (const auto& row : rows)
        cells.push_back({formatDeviceId(row.device.id),
                         printable(row.device.name.value_or(Text::unknownName)),
                         productName(row.device.deviceType), formatAddress(row.device.address),
                         serialText(row.serial, "-")});
    return formatTable({"ID", "Name", "Product", "Address", "Serial"}, cells);
}

std::string formatInventoryJson(const std::vector<InventoryRow>& rows) {
    std::vector<Json> objects;
    for (const InventoryRow& row : rows) {
        const FoundDevice& device = row.device;
        objects.push_back({{"id", formatDeviceId(device.id)},
                           {"name", device.name ? Json(*device.name) : Json(nullptr)},
                           {"product", productName(device.deviceType)},
                           {"type", device.deviceType},
                           {"address", formatAddress(device.address)},
                           {"serial", row.serial ? Json(*row.serial) : Json(nullptr)}});
    }
    return objectLines(objects);
}

std::string formatInventoryCsv(const std::vector<InventoryRow>& rows) {
    std::string out = "id,name,product,type,address,serial\n";
    for (const auto& row : rows)
        out += formatDeviceId(row.device.id) + "," + csvField(row.device.name.value_or("")) + "," +
               csvField(productName(row.device.deviceType)) + "," +
               std::to_string(row.device.deviceType) + "," + formatAddress(row.device.address) +
               "," + serialText(row.serial, "") + "\n";
    return out;
}

std::vector<InventoryRow> readInventory(DeviceSession& session,
                                        const std::vector<FoundDevice>& devices, Console& console) {
    std::vector<std::uint64_t> ids;
    for (const FoundDevice& device : devices)
        ids.push_back(device.id);
    // Names go out at once in the background lane; serial numbers meanwhile.
    auto pendingNames = session.requestNames(ids);
    const std::string label = "Reading serial numbers: ";
    const auto serials = session.readSerials(
        ids, DeviceSession::Clock::now() + requestDeadline, [&](std::size_t done) {
            if (console.interactive)
                console.err << '\r' << label << done << " of " << ids.size() << std::flush;
        });
    if (console.interactive && !ids.empty())
        console.err << std::endl;
    const auto names = DeviceSession::collectNames(std::move(pendingNames));

    std::vector<InventoryRow> rows;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        rows.push_back({devices[i], serials[i]});
        rows.back().device.name = names[i];
        if (!serials[i])
            console.err << "Warning: " << formatDeviceId(devices[i].id) << " ("
                        << printable(names[i].value_or(Text::unknownName))
                        << ") did not answer the serial number read" << std::endl;
    }
    return rows;
}

int inventory(DeviceSession& session, const Options& options, Console& console) {
    const auto rows =
        readInventory(session, discover(session, options, console, waitFor(options)), console);
    if (options.csv)
        console.out << formatInventoryCsv(rows);
    else
        console.out << (options.json ? formatInventoryJson(rows) : formatInventoryTable(rows));
    console.out << std::flush;
    const auto silent = static_cast<std::size_t>(std::count_if(
        rows.begin(), rows.end(), [](const InventoryRow& row) { return !row.serial; }));
    if (silent > 0) {
        reportError(console, std::to_string(silent) + " of " + std::to_string(rows.size()) +
                                 (rows.size() == 1 ? " device" : " devices") +
                                 " did not answer; their serial numbers are missing.");
        return Exit::failed;
    }
    return Exit::success;
}

} // namespace Vornctl
