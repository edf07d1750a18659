#pragma once

#include "SimText.h"
#include "SimTypes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A set of simulated devices answering the device protocol over real UDP
// sockets: presence to every tool heard recently, replies to the requests a
// tool sends, and switchable faults. Used by the vornsim program and, in
// process, by end-to-end tests. The devices themselves are a SimulatedRack,
// which does no I/O; this is its network shell.
//
// One socket listens (default 0.0.0.0:6017) and sees requests and the tools'
// presence broadcasts (command 9); each device sends from a socket bound to its
// own address. A request goes to the device named by its destinationId, whether
// it came by unicast or by broadcast; ids no device has are ignored. Replies go
// to the request's sender and echo its sequence; presence carries sequence 0.
namespace VornSim {

class DeviceSimulator {
public:
    // Called on an I/O thread, never under a lock of the simulator.
    using EventSink = std::function<void(const SimEvent&)>;

    // Binds every socket and starts the I/O threads. Throws std::invalid_argument
    // for a bad configuration and std::runtime_error when a socket cannot be
    // opened or bound.
    explicit DeviceSimulator(SimulatorConfig config, EventSink sink = {});
    ~DeviceSimulator();
    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    // Stops the I/O threads and joins them; no sink call follows. Idempotent.
    void stop();

    // The bound listening port (the system's choice when configured as 0).
    std::uint16_t port() const;

    std::vector<std::uint64_t> deviceIds() const;
    std::optional<DeviceReport> device(std::uint64_t id) const;
    Counters counters() const;

    Faults faults() const;
    void setFaults(const Faults& faults);
    // A set for one device alone; nullopt returns it to the global set. False
    // for an unknown id.
    bool setDeviceFaults(std::uint64_t id, const std::optional<Faults>& faults);
    // Changes one device's faults starting from those in effect for it.
    bool updateDeviceFaults(std::uint64_t id, const std::function<void(Faults&)>& change);

    // Counts a tool at `address` (IPv4, host order) and `port` as heard now, as
    // if its presence message had arrived from there: every device announces
    // itself to it at once (on an I/O thread) and then on every round. For a
    // listener that cannot see the tool's broadcasts, e.g. one bound to 127.0.0.1.
    void hearTool(std::uint32_t address, std::uint16_t port);

    // The device acts on the next `count` requests it would answer, but their
    // replies are lost (a reply dropped on the way back); with `code` set,
    // only replies with that command code count (2: acknowledgements). False
    // for an unknown id.
    bool loseReplies(std::uint64_t id, std::uint32_t count, std::uint16_t code = 0);

    // The device acts on every request as usual, but its replies wait until
    // releaseReplies: a slow device whose reply leaves exactly when the test
    // says so, e.g. after it looked at what the tool shows while it waits. A
    // drop, silent or lose fault still applies first; replies not released by
    // stop() are never sent. False for an unknown id.
    bool holdReplies(std::uint64_t id);
    // Sends the replies held for the device, in the order they were made (each
    // with the delay and duplication faults in effect when it was made), and
    // stops holding. False for an unknown id.
    bool releaseReplies(std::uint64_t id);

    bool setSerial(std::uint64_t id, std::uint32_t serial);
    bool setModeFlags(std::uint64_t id, std::uint32_t modeFlags);
    bool setChangeMarks(std::uint64_t id, std::int32_t a, std::int32_t b);

    // Waits until `condition` holds, re-testing it after every datagram and
    // presence round. The condition may call the query functions above.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace VornSim
