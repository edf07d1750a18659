#pragma once

#include "Arguments.h"
#include "Commands.h"
#include "DeviceWatch.h"
#include "Handoff.h"
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
    Session(const Options& options, Console& console);
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
    // added device (of the serviced products unless --all) is asked its name
    // with `rounds`; its named event follows. Events of devices not shown are
    // left out.
    using EventSink = std::function<bool(const WatchEvent& event)>;
    void relayEvents(const EventSink& sink, NameRounds rounds);
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
    // Writes and reports the device's acknowledgement (false: refused or no answer).
    bool writeSerial(std::uint64_t id, std::uint32_t serial);

private:
    bool awaitDevice();
    int confirm();
    void pushWatchEvent(WatchEvent::Kind kind, std::uint64_t id);

    const Options& options_;
    Console& console_;
    bool publishEvents_ = false; // set before start()
    // Both outlive the controller, whose handlers use them.
    DeviceWatch devices_;
    WatchFeed feed_; // watch only
    std::unique_ptr<VornService> service_;
};

} // namespace Vornctl
