#pragma once

// The simulator's texts: ids, addresses, events and report lines as vornsim
// prints them, and the dotted IPv4 addresses it reads.

#include "SimTypes.h"

#include <cstdint>
#include <optional>
#include <string>

namespace VornSim {

// One line, key=value, e.g. "request device=0000000a:0000000b command=814
// sequence=123 from=127.0.0.1:40000".
std::string formatEvent(const SimEvent& event);
// "%08x:%08x", high word first.
std::string formatId(std::uint64_t id);
std::string formatAddress(std::uint32_t address);

// Report lines: "faults" as "none" or e.g. "drop=0.5,delay=100,silent";
// "device id=... type=... ... name=TEXT" (the name last, it may hold spaces);
// "counters datagrams=... requests=...".
std::string formatFaults(const Faults& faults);
std::string formatDevice(const DeviceReport& report);
std::string formatCounters(const Counters& counters);

// A dotted IPv4 address ("127.0.0.2") in host order; nothing for any other text.
std::optional<std::uint32_t> parseAddress(const std::string& text);

} // namespace VornSim
