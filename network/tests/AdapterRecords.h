#pragma once

// Reading an Enumerator's records in the adapter enumeration's tests.

#include "Enumerator.h"

#include <string>
#include <vector>

namespace AdapterRecords {

inline std::vector<AdapterInfo> recordsOf(const Enumerator& enumerator) {
    std::vector<AdapterInfo> records;
    for (unsigned i = 0; i < enumerator.adapterCount(); ++i)
        records.push_back(enumerator.adapterAt(i));
    return records;
}

inline std::string describe(const std::vector<AdapterInfo>& records) {
    std::string text;
    for (const AdapterInfo& r : records)
        text += r.ipAddress + " " + r.macAddress + " " + r.subnetMask + " " + r.description + "\n";
    return text;
}

} // namespace AdapterRecords
