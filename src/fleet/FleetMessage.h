#pragma once

#include "FleetStates.h"
#include "JournalPayload.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

// What the archive makes of a message from the broker: which box (always the
// topic's) and what it says. No I/O.
namespace Fleet {

struct JournalArrival {
    std::string box;
    JournalMessage message;
};
struct StatusArrival {
    std::string box;
    BoxStatus status;
};
// A device's retained state; none when the retained state was cleared.
struct DeviceArrival {
    std::string box;
    std::string deviceKey;
    std::optional<DeviceState> device;
};
// A status cleared (by forget): the box is gone from the broker.
struct StatusCleared {
    std::string box;
};
// From a box's topic but not readable: counted, then dropped.
struct Rejected {
    std::string box;
    std::string reason; // "too-large", "not-a-record", "unnumbered", "bad-status", "bad-device"
};
// Not the archive's (another topic, the acknowledgements it sent itself).
struct Ignored {};

using Arrival =
    std::variant<JournalArrival, StatusArrival, DeviceArrival, StatusCleared, Rejected, Ignored>;

Arrival classifyArrival(std::string_view topic, std::string_view payload);

} // namespace Fleet
