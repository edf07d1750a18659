#pragma once

#include "FleetStates.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The box's side of its devices' retained states: what it has published of
// each device it has seen, what changed since, and whose serial number is
// still to be read. No I/O: the caller gives it the devices present and the
// serial numbers read, and publishes what it returns.
namespace Fleet {

// A device present on the segment, as the box lists it.
struct SeenDevice {
    std::string id; // "00000100:00000001"
    std::optional<std::string> name;
    std::string product;
    std::string address;
};

class DeviceBook {
public:
    using Clock = std::chrono::steady_clock;
    // A serial number that was not read is asked again after this long, while
    // the device stays.
    static constexpr std::chrono::seconds readAgainAfter{30};

    // `known`: the states published before (kept by the box), by device key.
    explicit DeviceBook(std::map<std::string, DeviceState> known = {});

    // The devices present now; `utc` is now as the journal writes it. Returns
    // the states that changed (a device came or went, its name, address or
    // product changed), to be published. A device that left stays, not
    // present, with the time it was last seen.
    std::vector<DeviceState> update(const std::vector<SeenDevice>& present, const std::string& utc,
                                    Clock::time_point now);
    // The serial number of a device read (or written and read back); the
    // state to publish when that changed it.
    std::optional<DeviceState> serialKnown(const std::string& id, std::uint32_t serial);
    // A read that was not answered: asked again later.
    void serialUnread(const std::string& id, Clock::time_point now);
    // Present devices whose serial number is to be read now, at most `most`;
    // they count as being read until serialKnown() or serialUnread().
    std::vector<std::string> toRead(std::size_t most, Clock::time_point now);

    const std::map<std::string, DeviceState>& states() const { return states_; }

private:
    std::map<std::string, DeviceState> states_; // by device key
    struct Reading {
        bool read = false;   // known this run
        bool asking = false; // a read is out
        Clock::time_point notBefore{};
    };
    std::map<std::string, Reading> reading_; // by device key, present devices
};

} // namespace Fleet
