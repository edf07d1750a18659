#pragma once

#include "SimTypes.h"
#include "SimulatedDevice.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <unordered_map>
#include <vector>

namespace VornSim {

// The simulated devices of one simulator and the tools they have heard, with
// the faults in effect: the whole protocol behaviour of vornsim without any
// I/O. Datagrams come in as bytes with their sender and the time; what the
// devices send goes out as Datagrams (and what happened as SimEvents) for the
// caller to send and report. A request goes to the device named by its
// destinationId; ids no device has are ignored. Thread-safe: the network
// shell calls it from several I/O threads.
class SimulatedRack {
public:
    using Clock = std::chrono::steady_clock;

    struct Output {
        std::vector<SimEvent> events; // to report before the datagrams leave
        std::vector<Datagram> datagrams;
    };

    // Throws std::invalid_argument for a bad configuration (see validate).
    explicit SimulatedRack(SimulatorConfig config);

    // Checks a configuration; throws std::invalid_argument naming what is wrong.
    static void validate(const SimulatorConfig& config);

    const SimulatorConfig& config() const { return config_; }
    std::vector<std::uint64_t> deviceIds() const { return order_; }
    // The distinct addresses the devices send from.
    std::vector<std::uint32_t> deviceAddresses() const;

    // A datagram that arrived from `from` at `now`: a tool's presence or a request.
    Output receive(const char* data, std::size_t size, Endpoint from, Clock::time_point now);
    // The tool counts as heard at `now`, as if its presence had arrived.
    Output hearTool(Endpoint tool, Clock::time_point now);
    // Forgets the tools not heard within the lifetime; every device announces
    // itself to each of the others.
    Output presenceRound(Clock::time_point now);
    // The held replies of the device, in the order made; nothing for an unknown id.
    std::optional<Output> releaseReplies(std::uint64_t id);
    // A datagram could not be sent.
    void countSendError() { ++sendErrors_; }

    std::optional<DeviceReport> device(std::uint64_t id) const;
    // `now` decides which tools still count.
    Counters counters(Clock::time_point now) const;
    Faults faults() const;
    void setFaults(const Faults& faults);
    // False for an unknown id.
    bool setDeviceFaults(std::uint64_t id, const std::optional<Faults>& faults);
    bool updateDeviceFaults(std::uint64_t id, const std::function<void(Faults&)>& change);
    // Runs `change` on the device under the rack's lock; false for an unknown id.
    bool changeDevice(std::uint64_t id, const std::function<void(SimulatedDevice&)>& change);

private:
    // Called with mutex_ held.
    void handleToolPresence(Endpoint from, Clock::time_point now, Output& output);
    void handleRequest(const char* data, std::size_t size, SimEvent seen, Endpoint from,
                       Output& output);
    void count(const std::vector<Datagram>& datagrams);

    const SimulatorConfig config_;     // its devices are copied into devices_
    std::vector<std::uint64_t> order_; // fixed after construction

    mutable std::mutex mutex_;
    std::unordered_map<std::uint64_t, SimulatedDevice> devices_; // guarded by mutex_
    Faults faults_;                                              // guarded by mutex_
    std::map<Endpoint, Clock::time_point> tools_;                // guarded by mutex_
    std::mt19937_64 random_;                                     // guarded by mutex_

    std::atomic<std::uint64_t> datagrams_{0};
    std::atomic<std::uint64_t> toolPresence_{0};
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> ignored_{0};
    std::atomic<std::uint64_t> replies_{0};
    std::atomic<std::uint64_t> presence_{0};
    std::atomic<std::uint64_t> sendErrors_{0};
};

} // namespace VornSim
