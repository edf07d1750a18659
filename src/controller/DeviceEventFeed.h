#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

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
// serve keeps its device table), in the order they were pushed. Pushing never
// waits: the engine's event thread, which also ends timed-out requests, is
// never held up by the reader.
//
// At most `bound` events wait in order. Past it an addition or change is kept
// aside, one per device and the newest only, and handed on once the events in
// order have been read; a removal of a device kept aside drops it unseen. A
// flood of new ids faster than the reader therefore costs one entry per
// device the engine keeps (its own limits bound them), never one per event.
// Removals always wait in order (one per device shown, or waiting), and a
// name's outcome too (one per name request, bounded by the engine).
class DeviceEventFeed {
public:
    static constexpr std::size_t defaultBound = 65536;

    explicit DeviceEventFeed(std::size_t bound = defaultBound) : bound_(bound) {}
    void push(DeviceEvent event);
    // Ends the feed: next() returns nothing from now on, events still queued
    // are dropped, and so are those pushed later. Idempotent.
    void stop();
    // The next event, waiting for it; nothing once stopped.
    std::optional<DeviceEvent> next();

private:
    const std::size_t bound_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<DeviceEvent> events_; // guarded by mutex_
    // Additions and changes kept aside while events_ was full, oldest first,
    // with their place by device; guarded by mutex_.
    std::list<DeviceEvent> aside_;
    std::unordered_map<std::uint64_t, std::list<DeviceEvent>::iterator> asideById_;
    bool stopped_ = false; // guarded by mutex_
};
