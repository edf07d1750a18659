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
// serve keeps its device table), in the order they were pushed. push() and
// stop() only take the feed's lock and wake the reader.
class DeviceEventFeed {
public:
    void push(DeviceEvent event);
    // Ends the feed: next() returns nothing from now on, events still queued
    // are dropped. Idempotent.
    void stop();
    // The next event, waiting for it; nothing once stopped.
    std::optional<DeviceEvent> next();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<DeviceEvent> events_; // guarded by mutex_
    bool stopped_ = false;           // guarded by mutex_
};
