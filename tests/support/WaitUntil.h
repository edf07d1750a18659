#pragma once

// Waiting on a condition with a deadline, for tests whose condition changes on
// other threads without telling anyone (use Recorder.h where a value is handed over).

#include <chrono>
#include <thread>

namespace TestSupport {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` passes; returns its last value,
// so a condition that becomes true at the deadline counts. The pause between
// polls grows from 1 ms to 16 ms: quick for what is nearly there, light on a
// loaded machine (and on a window asked across threads) for what takes long.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = 1ms;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(pause);
        if (pause < 16ms)
            pause *= 2;
    }
    return true;
}

} // namespace TestSupport
