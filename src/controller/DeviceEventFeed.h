#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

// One device event as the controller reports it: a device came, was named
// (or its name could not be read), changed or went.
struct DeviceEvent {
    enum class Kind { Added, Named, NameUnread, Changed, Removed };
    Kind kind = Kind::Added;
    std::chrono::system_clock::time_point time;
    std::uint64_t id = 0;
    unsigned deviceType = 0;   // Added, Changed
    std::uint32_t address = 0; // Added, Changed
    std::uint32_t mode = 0;    // Added, Changed
    std::string name;          // Named
};

// The device events on their way from the engine's threads (device handlers,
// name replies) to the thread that hands them on (vornctl watch prints them,
// serve keeps its device table), in the order they were pushed.
//
// At most `bound` events wait. Past it an addition, change or removal (pushed
// by the engine's frame events) waits for room: the reader's pace holds the
// engine's event thread back, whose own bound then leaves new frames for
// their next presence, so a flood of new ids faster than the reader cannot
// grow the feed. A name's outcome never waits: there is one per name request,
// and those are bounded by the engine.
class DeviceEventFeed {
public:
    static constexpr std::size_t defaultBound = 65536;

    explicit DeviceEventFeed(std::size_t bound = defaultBound) : bound_(bound) {}
    void push(DeviceEvent event);
    // Ends the feed: next() returns nothing from now on, events still queued
    // are dropped, and so are those pushed later (a push waiting for room
    // returns). Idempotent.
    void stop();
    // The next event, waiting for it; nothing once stopped.
    std::optional<DeviceEvent> next();

private:
    const std::size_t bound_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable room_;
    std::deque<DeviceEvent> events_; // guarded by mutex_
    bool stopped_ = false;           // guarded by mutex_
};
