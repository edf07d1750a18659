#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace Vornctl::Serve {

// The events waiting for one live-push client: lines of JSON, taken by the
// client's writer in one piece. Bounded: a client that does not keep up is
// marked overflowed (and then dropped by its writer) instead of holding events
// without end. Thread-safe; push() and take() only take the queue's own lock.
class EventQueue {
public:
    explicit EventQueue(std::size_t capacityBytes) : capacity_(capacityBytes) {}

    // Appends one line. True when the queue was empty before, i.e. the writer
    // must be woken; false also once overflowed (the line is dropped).
    bool push(std::string_view line);
    // Everything waiting, emptied; "" when nothing waits.
    std::string take();
    bool overflowed() const;

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::string pending_;     // guarded by mutex_; lines ending in '\n'
    bool overflowed_ = false; // guarded by mutex_
};

} // namespace Vornctl::Serve
