#pragma once

#include "Output.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace Vornctl {

// The events of vornctl watch on their way from the engine's threads (device
// handlers, name replies) to the thread that prints them, in the order they
// were pushed. push() and stop() only take the feed's lock and wake the reader.
class WatchFeed {
public:
    void push(WatchEvent event);
    // Ends the feed: next() returns nothing from now on, events still queued
    // are dropped. Idempotent.
    void stop();
    // The next event, waiting for it; nothing once stopped.
    std::optional<WatchEvent> next();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<WatchEvent> events_; // guarded by mutex_
    bool stopped_ = false;          // guarded by mutex_
};

} // namespace Vornctl
