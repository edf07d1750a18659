#pragma once

#include "SimTypes.h"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace VornSim {

// An IPv4 address and port, host order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    auto operator<=>(const Endpoint&) const = default;
};

// A datagram a device makes, for the network shell to send from the device's
// own address.
struct Datagram {
    std::uint32_t from = 0; // the device's IPv4 address, host order
    Endpoint to;
    std::shared_ptr<const std::vector<char>> bytes;
    std::uint32_t delayMs = 0; // leaves this much later
    int copies = 1;            // sent this many times
    std::uint64_t device = 0;
    std::optional<SimEvent> report; // a reply: the event to give when it leaves
};

// One simulated device: what it holds, what it received, and what it answers.
// It does no I/O: requests come in as bytes, replies and presence go out as
// datagrams for the caller to send. Not thread-safe: its owner guards it.
class SimulatedDevice {
public:
    // `setup.address` must be a dotted IPv4 address (SimulatedRack checks).
    explicit SimulatedDevice(const DeviceSetup& setup);

    std::uint64_t id() const { return state_.setup.id; }
    std::uint32_t address() const { return address_; }

    // Counts a request addressed to the device, before any fault decides its fate.
    void count(const char* data, std::size_t size);
    // Acts on a request and answers it under `faults`: what happened goes to
    // `events`, the replies to `out` (or are held, or lost).
    void act(const Faults& faults, const char* data, std::size_t size, Endpoint from,
             std::vector<SimEvent>& events, std::vector<Datagram>& out);
    // Its presence message to `to`, unless the silent or gone fault is on.
    void presenceTo(const Faults& faults, Endpoint to, std::vector<Datagram>& out);

    // Its own faults; nothing: the rack's global set applies.
    const std::optional<Faults>& ownFaults() const { return faults_; }
    void setFaults(const std::optional<Faults>& faults) { faults_ = faults; }
    // Replies wait until release(), which hands them out in the order made.
    void hold() { state_.holdingReplies = true; }
    std::vector<Datagram> release();
    // The next `count` replies (with command `code`; 0: any) are lost.
    void loseReplies(std::uint32_t count, std::uint16_t code);
    void setSerial(std::uint32_t serial);
    void setModeFlags(std::uint32_t modeFlags) { state_.setup.modeFlags = modeFlags; }
    void setChangeMarks(std::int32_t a, std::int32_t b);

    // Its state, with `globalFaults` in effect unless it has its own.
    DeviceReport report(const Faults& globalFaults) const;

private:
    void reply(const Faults& faults, std::vector<char> bytes, Endpoint to,
               std::vector<SimEvent>& events, std::vector<Datagram>& out);
    std::shared_ptr<const std::vector<char>> presenceMessage() const;

    // What it holds and received, as reported; its faults and held replies
    // are kept apart.
    DeviceReport state_;
    std::uint32_t address_;
    std::optional<Faults> faults_;
    std::vector<Datagram> held_; // in the order they were made
};

} // namespace VornSim
