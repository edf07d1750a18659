#pragma once

#include "DeviceEventFeed.h"
#include "DeviceWatch.h"
#include "FoundDevice.h"
#include "SerialWriteFlow.h"
#include "wire/FrameInfo.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VornService;
enum class NameRounds;

namespace Journal {
class SerialJournal;
}

// The engine completes every accepted request within about 8 s (six attempts);
// a result that has not come after this long is taken as lost.
constexpr std::chrono::seconds requestDeadline{20};

struct SerialResult {
    bool ok = false;
    std::uint32_t serial = 0;
};

// One run of the controller on one interface, for a front end that waits for
// its results (vornctl's commands, serve): the devices present, their events,
// their names and serial numbers read, serial numbers written through the
// write flow. It prints nothing; a front end says what became of it.
class DeviceSession {
public:
    using Clock = std::chrono::steady_clock;

    // `interfaceAddress`: the IPv4 address of the adapter the controller uses.
    // `journal`: where serial writes are recorded; a front end that writes
    // needs one, it must outlive the session.
    explicit DeviceSession(std::string interfaceAddress, Journal::SerialJournal* journal = nullptr);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Starts the controller. Throws Network::AddressInUseException when the
    // device port is taken, another Exception when the network cannot be used.
    void start();

    // Device events for relayEvents(); set before start().
    void publishEvents() { publishEvents_ = true; }
    // Hands every device event to `sink` on the calling thread, in order,
    // until the feed is stopped (stopEvents) or `sink` returns false, which
    // ends the feed too (called once a session). Each
    // added device (of the serviced products unless `all`) is asked its name
    // with `rounds`; its named event follows. Events of devices not shown are
    // left out.
    using EventSink = std::function<bool(const DeviceEvent& event)>;
    void relayEvents(const EventSink& sink, NameRounds rounds, bool all);
    // Ends relayEvents; thread-safe, idempotent.
    void stopEvents() { feed_.stop(); }

    const std::string& interfaceAddress() const { return interfaceAddress_; }
    VornService& service() { return *service_; }
    DeviceWatch& devices() { return devices_; }
    // The device's record once it is present; none when `deadline` passes first.
    std::optional<Vorn::FrameInfo> awaitDevice(std::uint64_t id, Clock::time_point deadline);
    // The device's serial number; not ok when it did not answer in time.
    SerialResult readSerial(std::uint64_t id);
    // The device's name, asked of every device at once; none for a device
    // that did not answer.
    std::vector<std::optional<std::string>> readNames(const std::vector<std::uint64_t>& ids);
    // The same in two halves, so that other requests can go out meanwhile.
    using PendingNames = std::vector<std::optional<std::future<std::optional<std::string>>>>;
    PendingNames requestNames(const std::vector<std::uint64_t>& ids);
    static std::vector<std::optional<std::string>> collectNames(PendingNames pending);
    // The devices' serial numbers, read with at most `outstanding` requests
    // at a time; none for a device that did not answer by `deadline`.
    // `progress` is called on the calling thread with the number done so far.
    std::vector<std::optional<std::uint32_t>>
    readSerials(const std::vector<std::uint64_t>& ids, Clock::time_point deadline,
                const std::function<void(std::size_t done)>& progress = {},
                std::size_t outstanding = 64);
    // The devices present now, of the serviced products (every one with
    // `all`), by ID, names not read.
    std::vector<FoundDevice> listedDevices(bool all);
    // Writes a serial number through the controller's write flow, recorded
    // in the session's journal, and waits for its report.
    SerialWriteReport write(SerialWriteRequest request);
    // The same without waiting: `done` is called on the flow's thread. False
    // when too many writes wait already (with `waitForRoom`: once there is room).
    bool submitWrite(SerialWriteRequest request, SerialWriteFlow::Done done,
                     bool waitForRoom = false);
    // The devices listed (as listedDevices(all)) once the segment has settled
    // (the other devices answer the tool's presence a little later on a
    // loaded network): what the duplicate check before a write reads.
    std::vector<ListedDevice> settledListing(bool all);

private:
    void pushEvent(DeviceEvent::Kind kind, std::uint64_t id);

    const std::string interfaceAddress_;
    Journal::SerialJournal* const journal_;
    bool publishEvents_ = false; // set before start()
    // Both outlive the controller, whose handlers use them.
    DeviceWatch devices_;
    DeviceEventFeed feed_; // when events are published
    std::unique_ptr<VornService> service_;
    std::unique_ptr<SerialWriteFlow> flow_; // set by start(), gone before the controller
};
