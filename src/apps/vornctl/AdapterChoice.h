#pragma once

#include "transport/Enumerator.h"

#include <functional>
#include <string>
#include <vector>

namespace Vornctl {

// The adapter that --interface names: by one of its IPv4 addresses, or by its
// name as vornctl interfaces lists it (eth0; on Windows the description).
struct AdapterChoice {
    enum class Kind {
        found,     // `adapter` is the record (a named adapter's first address)
        noAddress, // the adapter is there but has no IPv4 address yet
        unknown,   // no adapter of that address or name
    };
    Kind kind = Kind::unknown;
    Network::AdapterInfo adapter;
};

// Whether the system has a network adapter of this name, with or without an
// IPv4 address (the adapter list holds only those with one on Linux).
using AdapterExists = std::function<bool(const std::string& name)>;

AdapterChoice chooseAdapter(const std::vector<Network::AdapterInfo>& adapters,
                            const std::string& given, const AdapterExists& exists);

// The adapters to choose from, for an error: "lo (127.0.0.1), eth0 (192.0.2.7)".
std::string adapterList(const std::vector<Network::AdapterInfo>& adapters);

// chooseAdapter over the system's adapters now.
AdapterChoice lookUpSystemAdapter(const std::string& given);

// The system's answer for AdapterExists (AdapterChoice_posix.cpp, _win32.cpp).
bool systemAdapterExists(const std::string& name);

} // namespace Vornctl
