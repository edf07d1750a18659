#pragma once

#include "Arguments.h"
#include "Commands.h"
#include "DeviceWatch.h"
#include "FrameInfo.h"
#include "Handoff.h"
#include "JournalRecord.h"
#include "Output.h"
#include "WatchFeed.h"

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

// A serial write as it went: recorded, sent, read back.
struct WriteReport {
    bool acknowledged = false;
    std::optional<std::uint32_t> readBack; // none: the read-back was not answered
    Journal::WriteResult result = Journal::WriteResult::NoAnswer;
    // Why the outcome could not be recorded; empty when it was.
    std::string journalError;
};

// Whether another listed device holds a serial number about to be written.
struct DuplicateCheck {
    std::string refusal;               // names the holder; empty: none holds it
    std::vector<std::string> warnings; // the devices that did not answer in time
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
    // Writes and reports the device's acknowledgement (false: refused or no answer).
    bool writeSerial(std::uint64_t id, std::uint32_t serial);
    // Writes `target` to the device, which holds `before`, and reads it back,
    // recording the intent in the journal before anything is sent and the
    // outcome after the read-back. Throws Journal::JournalError when the
    // intent cannot be recorded: then nothing was sent.
    WriteReport recordedWrite(const Vorn::FrameInfo& device, const std::optional<std::string>& name,
                              std::optional<std::uint32_t> before, std::uint32_t target);

    // Reads the serial numbers of the other listed devices in parallel (after
    // the segment settles) and tells whether one of them holds `number` now.
    // Devices that do not answer within duplicateCheckWait are not waited for.
    DuplicateCheck checkDuplicate(std::uint64_t target, std::uint32_t number);

private:
    std::optional<Vorn::FrameInfo> awaitDevice();
    int refuseDuplicate(std::uint64_t target, std::uint32_t number);
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
};

} // namespace Vornctl
