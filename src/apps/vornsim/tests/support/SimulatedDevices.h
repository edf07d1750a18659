#pragma once

#include "SimTypes.h"

#include <cstdint>
#include <string>
#include <utility>

namespace VornSim {

// A device as the tests describe one: its frame id, product type, name, the
// address it sends from and its serial number; the rest of its setup as
// DeviceSetup's defaults.
inline DeviceSetup testDevice(std::uint64_t id, std::uint8_t deviceType, std::string name,
                              std::string address, std::uint32_t serial) {
    DeviceSetup setup;
    setup.id = id;
    setup.deviceType = deviceType;
    setup.name = std::move(name);
    setup.address = std::move(address);
    setup.serial = serial;
    return setup;
}

} // namespace VornSim
