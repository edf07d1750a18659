#pragma once

// Values handed from other threads (callbacks, workers, event sinks) to the
// test, which waits for them with a deadline.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

namespace TestSupport {

// Collects every value pushed, in order, from any thread.
template <class T> class Recorder {
public:
    // Notifies under the lock: a waiter that returns may destroy the recorder.
    void push(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }

    // True once `count` values arrived, false if `timeout` passed first.
    bool waitForCount(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
    }
    // The first value, or nothing if none arrived within `timeout`.
    std::optional<T>
    waitForFirst(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return !values_.empty(); }))
            return std::nullopt;
        return values_.front();
    }

    std::vector<T> values() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_.size();
    }

private:
    mutable std::mutex mutex_; // guards values_
    std::condition_variable changed_;
    std::vector<T> values_;
};

} // namespace TestSupport
