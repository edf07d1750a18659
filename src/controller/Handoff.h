#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

// One result handed from an engine thread to the waiting main thread. Copies
// share one state, so a copy can travel inside a callback and outlive the
// waiter; the first delivery wins, later ones are ignored.
template <class T> class Handoff {
public:
    Handoff() : state_(std::make_shared<State>()) {}

    void deliver(T value) const {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->value)
                return;
            state_->value = std::move(value);
        }
        state_->delivered.notify_all();
    }

    // The result, or nothing when `deadline` passed first.
    std::optional<T> waitUntil(std::chrono::steady_clock::time_point deadline) const {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->delivered.wait_until(lock, deadline, [this] { return state_->value.has_value(); });
        return state_->value;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable delivered;
        std::optional<T> value; // guarded by mutex
    };
    std::shared_ptr<State> state_;
};
