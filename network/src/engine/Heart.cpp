#include "engine/Heart.h"

#include "transport/Platform.h"
#include "wire/Message.h"

#include <chrono>

namespace Vorn {

Heart::Heart(Network::Transport& transport, std::uint32_t ownFrameIdLow,
             std::uint32_t ownFrameIdHigh, std::uint16_t sourceType, std::uint16_t command,
             TickSource tickCount)
    : ownFrameId_{ownFrameIdLow, ownFrameIdHigh}, transport_(transport), sourceType_(sourceType),
      command_(command),
      tickCount_(tickCount ? std::move(tickCount) : TickSource(Network::tickCount)) {
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

Heart::~Heart() {
    // The loop's wait looks at the stop in its predicate: a stop-token wait of
    // the condition variable itself registers a stop callback, whose removal
    // can hang with MinGW's GCC 12 (seen under Wine).
    thread_.request_stop();
    { std::lock_guard<std::mutex> lock(wakeMutex_); }
    wake_.notify_all();
    // Free only once the loop has ended; released before the join so that a
    // thread that has not yet started its loop can still take it and end.
    { std::lock_guard<std::mutex> life(lifeMutex_); }
    thread_.join();
}

std::uint32_t Heart::waitAfter(std::uint32_t start, std::uint32_t now) {
    const std::uint32_t elapsed = now - start; // modulo 2^32: survives the counter's wrap
    return elapsed >= periodMs ? 0 : periodMs - elapsed;
}

void Heart::run(std::stop_token stop) {
    Network::nameThisThread("vorn-heart");
    std::lock_guard<std::mutex> life(lifeMutex_);
    const std::uint64_t ownFrameId = (std::uint64_t{ownFrameId_[1]} << 32) | ownFrameId_[0];
    std::unique_lock<std::mutex> wake(wakeMutex_);
    while (!stop.stop_requested()) {
        // The wake mutex is given up while broadcasting too: when every
        // broadcast takes a whole period there is no wait, and the destructor
        // must still be able to stop it.
        wake.unlock();
        const std::uint32_t start = tickCount_();
        Command<MSG_BroadcastID> presence(command_, ownFrameId, sourceType_);
        seal(presence);
        transport_.broadcast(presence.data(),
                             presence.size()); // a refused broadcast is not retried
        const std::uint32_t wait = waitAfter(start, tickCount_());
        wake.lock();
        if (wait != 0)
            wake_.wait_for(wake, std::chrono::milliseconds(wait),
                           [&] { return stop.stop_requested(); });
    }
}

} // namespace Vorn
