#pragma once

// Reading a Network::Enumerator's records in the adapter enumeration's tests.

#include "transport/Enumerator.h"

#include <string>
#include <vector>

namespace AdapterRecords {

inline std::vector<Network::AdapterInfo> recordsOf(const Network::Enumerator& enumerator) {
    std::vector<Network::AdapterInfo> records;
    for (unsigned i = 0; i < enumerator.adapterCount(); ++i)
        records.push_back(enumerator.adapterAt(i));
    return records;
}

inline std::string describe(const std::vector<Network::AdapterInfo>& records) {
    std::string text;
    for (const Network::AdapterInfo& r : records)
        text += r.ipAddress + " " + r.macAddress + " " + r.subnetMask + " " + r.description + "\n";
    return text;
}

} // namespace AdapterRecords
