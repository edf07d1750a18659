#pragma once

#include "Exception.h"
#include "SimTypes.h"
#include "transport/Enumerator.h"

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

// The tool's interface and the devices' address: loopback natively, the veth
// pair under Wine (whose adapter list never shows loopback). Empty when neither is listed.
inline std::pair<std::string, std::string> testAddresses() {
    try {
        const Network::Enumerator adapters;
        for (unsigned i = 0; i < adapters.adapterCount(); ++i)
            if (adapters.adapterAt(i).ipAddress == "127.0.0.1")
                return {"127.0.0.1", "127.0.0.2"};
        for (unsigned i = 0; i < adapters.adapterCount(); ++i)
            if (adapters.adapterAt(i).ipAddress == "192.0.2.1")
                return {"192.0.2.1", "192.0.2.2"};
    } catch (const Network::FailedToEnumerateNetworkException&) {
    }
    return {};
}

} // namespace VornSim
