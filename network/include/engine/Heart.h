#pragma once

#include "transport/Transport.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace Vorn {

// Broadcasts the tool's presence at once and then about every 1000 ms, measured
// from the start of one broadcast to the start of the next, until destroyed.
class Heart {
public:
    using TickSource = std::function<std::uint32_t()>;

    // `tickCount` reads the 32-bit millisecond counter; replaceable for tests.
    Heart(Network::Transport& transport, std::uint32_t ownFrameIdLow, std::uint32_t ownFrameIdHigh,
          std::uint16_t sourceType, std::uint16_t command, TickSource tickCount = {});
    // Ends the wait at once and returns after the thread has ended.
    ~Heart();
    Heart(const Heart&) = delete;
    Heart& operator=(const Heart&) = delete;

    static constexpr std::uint32_t periodMs = 1000;

    // Milliseconds to wait after a broadcast that started at tick `start` when
    // the counter now reads `now` (wrap-safe; 0 once a period has passed).
    static std::uint32_t waitAfter(std::uint32_t start, std::uint32_t now);

private:
    void run(std::stop_token stop);

    std::mutex wakeMutex_;
    std::condition_variable_any wake_; // with wakeMutex_: woken by the stop
    std::uint32_t ownFrameId_[2];      // low word, high word
    std::mutex lifeMutex_;             // held by the thread for its whole run
    Network::Transport& transport_;
    std::uint16_t sourceType_;
    std::uint16_t command_;
    TickSource tickCount_;
    std::jthread thread_;
};

} // namespace Vorn
