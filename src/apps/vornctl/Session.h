#pragma once

#include "Arguments.h"
#include "Commands.h"
#include "DeviceWatch.h"
#include "Handoff.h"
#include "JournalRecord.h"
#include "Output.h"
#include "SerialWriteFlow.h"
#include "WatchFeed.h"
#include "wire/FrameInfo.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class VornService;
enum class NameRounds;

namespace Journal {
class SerialJournal;
}

namespace Vornctl {

using Clock = std::chrono::steady_clock;

// "Caption: message" on the error stream.
void reportError(Console& console, const std::string& message);
// "2.5 s"
std::string formatSeconds(std::chrono::milliseconds duration);

struct SerialResult {
    bool ok = false;
    std::uint32_t serial = 0;
};

// One run of the controller on the chosen interface, for one command.
class Session {
public:
    // `journal`: where serial writes are recorded; the commands that write
    // need one, it must outlive the session.
    Session(const Options& options, Console& console, Journal::SerialJournal* journal = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts the controller; false (after reporting) when it cannot start.
    bool start();

    int list();
    int watch();

    // Device events for relayEvents(); set before start(). watch sets it itself.
    void publishEvents() { publishEvents_ = true; }
    // Hands every device event to `sink` on the calling thread, in order,
    // until the feed is stopped (stopEvents) or `sink` returns false. Each
    // added device (of the serviced products unless `all`) is asked its name
    // with `rounds`; its named event follows. Events of devices not shown are
    // left out.
    using EventSink = std::function<bool(const WatchEvent& event)>;
    void relayEvents(const EventSink& sink, NameRounds rounds, bool all);
    // Ends relayEvents; thread-safe, idempotent.
    void stopEvents() { feed_.stop(); }
    int serialGet();
    int serialSet();
    int select(bool selected);

    // For the commands built on a session (serial program).
    VornService& service() { return *service_; }
    DeviceWatch& devices() { return devices_; }
    // The device's serial number; not ok when it did not answer in time.
    SerialResult readSerial(std::uint64_t id);
    // The device's name, asked of every device at once; none for a device
    // that did not answer.
    std::vector<std::optional<std::string>> readNames(const std::vector<std::uint64_t>& ids);
    // The same in two halves, so that other requests can go out meanwhile.
    using PendingNames = std::vector<std::optional<Handoff<std::optional<std::string>>>>;
    PendingNames requestNames(const std::vector<std::uint64_t>& ids);
    static std::vector<std::optional<std::string>> collectNames(const PendingNames& pending);
    // The devices' serial numbers, read with at most `outstanding` requests
    // at a time; none for a device that did not answer by `deadline`.
    // `progress` is called on the calling thread with the number done so far.
    std::vector<std::optional<std::uint32_t>>
    readSerials(const std::vector<std::uint64_t>& ids, Clock::time_point deadline,
                const std::function<void(std::size_t done)>& progress = {},
                std::size_t outstanding = 64);
    // Discovers devices for `wait` (progress on the error stream) and returns
    // those of the serviced products (every one with --all), by ID, names not
    // read.
    std::vector<DeviceRow> discover(std::chrono::milliseconds wait);
    // The devices present now that discover() would list.
    std::vector<DeviceRow> listedDevices();
    // Writes a serial number through the controller's write flow, recorded
    // in the session's journal, and waits for its report.
    SerialWriteReport write(SerialWriteRequest request);
    // The same without waiting: `done` is called on the flow's thread. False
    // when too many writes wait already (with `waitForRoom`: once there is room).
    bool submitWrite(SerialWriteRequest request, SerialWriteFlow::Done done,
                     bool waitForRoom = false);
    // The devices listed once the segment has settled (the other devices
    // answer the tool's presence a little later on a loaded network): what
    // the duplicate check before a write reads.
    std::vector<ListedDevice> settledListing();

private:
    std::optional<Vorn::FrameInfo> awaitDevice();
    int confirm();
    void pushWatchEvent(WatchEvent::Kind kind, std::uint64_t id);

    const Options& options_;
    Console& console_;
    Journal::SerialJournal* const journal_;
    bool publishEvents_ = false; // set before start()
    // Both outlive the controller, whose handlers use them.
    DeviceWatch devices_;
    WatchFeed feed_; // watch only
    std::unique_ptr<VornService> service_;
    std::unique_ptr<SerialWriteFlow> flow_; // set by start(), gone before the controller
};

// "serial number N is held by device ID (NAME); nothing was written."
std::string duplicateRefusal(const SerialWriteReport& report);
// The warnings of a write's duplicate check, each on the error stream.
void reportWarnings(Console& console, const SerialWriteReport& report);

} // namespace Vornctl
