#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The retained states a box publishes: its status and one state per device.
// JSON objects; a reader takes the fields it knows and passes over others.
namespace Fleet {

// Larger status or device payloads are not read.
constexpr std::size_t maximumStatePayload = 4096;

// vorn/v1/box/{box}/status. `session` counts the box's starts (kept on its
// disk), `connection` its connections to the broker in that session: a status
// older than the newest seen by these two is stale (a late Will of a
// connection the box has already replaced).
struct BoxStatus {
    bool online = false;
    std::uint64_t session = 0;
    std::uint64_t connection = 0;
    std::string site;
    std::string version;
    std::string adapter;
    std::uint64_t devices = 0;
    std::string time; // UTC, as the journal writes it
};
std::string formatStatus(const BoxStatus& status);
std::optional<BoxStatus> parseStatus(std::string_view payload);

// Which connection of which start of a box a status is from.
struct StatusAge {
    std::uint64_t session = 0;
    std::uint64_t connection = 0;
};
// Whether `incoming` replaces what is known of a box whose newest status seen
// is of `known` (none: nothing known): as new or newer.
bool supersedes(const BoxStatus& incoming, std::optional<StatusAge> known);

// vorn/v1/box/{box}/devices/{key}: a device the box has seen.
struct DeviceState {
    std::string id; // "00000100:00000001"
    std::optional<std::string> name;
    std::string product;
    std::string address;
    std::optional<std::uint32_t> serial; // none: not read (yet)
    bool present = false;
    std::string firstSeen; // UTC
    std::string lastSeen;  // UTC
};
std::string formatDeviceState(const DeviceState& device);
std::optional<DeviceState> parseDeviceState(std::string_view payload);

bool operator==(const DeviceState& a, const DeviceState& b);

} // namespace Fleet
