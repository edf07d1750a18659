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
// disk): a status of an older session than the newest seen is stale (a late
// Will of a connection the box has already replaced).
struct BoxStatus {
    bool online = false;
    std::uint64_t session = 0;
    std::string site;
    std::string version;
    std::string adapter;
    std::uint64_t devices = 0;
    std::string time; // UTC, as the journal writes it
};
std::string formatStatus(const BoxStatus& status);
std::optional<BoxStatus> parseStatus(std::string_view payload);

// Whether a status of `incoming`'s session replaces what is known of a box
// whose newest session seen is `knownSession` (none: nothing known).
bool supersedes(const BoxStatus& incoming, std::optional<std::uint64_t> knownSession);

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
