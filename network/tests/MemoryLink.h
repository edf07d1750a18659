#pragma once

// An in-memory link for the engine (VornNetwork over Network::Transport) with
// a clock the test moves: what the engine sends is kept with the clock's
// reading, and the test hands datagrams to the frame list itself.

#include "Recorder.h"
#include "WaitUntil.h"
#include "engine/FrameList.h"
#include "engine/VornNetwork.h"
#include "transport/Transport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace TestSupport {

// Steady and wall time the test sets; starts at an arbitrary non-zero point.
class VirtualClock {
public:
    static constexpr std::uint64_t start = 1000000000000ull; // nanoseconds

    std::uint64_t now() const { return nanoseconds_.load(); }
    std::uint64_t elapsedMs() const { return (now() - start) / 1000000; }
    void advanceTo(std::uint64_t nanoseconds) {
        if (nanoseconds > nanoseconds_.load())
            nanoseconds_.store(nanoseconds);
    }
    void advanceMs(std::uint64_t milliseconds) { advanceTo(now() + milliseconds * 1000000); }

    Vorn::FrameList::Clocks clocks() {
        return {[this] { return static_cast<std::int64_t>(now() / 1000000000); },
                [this] { return now(); }};
    }

private:
    std::atomic<std::uint64_t> nanoseconds_{start};
};

// One datagram the engine sent.
struct SentDatagram {
    std::vector<char> bytes;
    std::uint32_t address = 0; // 0 for a broadcast
    std::uint64_t at = 0;      // the virtual clock when it was sent
};

// Lets a test wait for whatever the engine's threads do next: every send on
// the link and every completion the test records bumps it.
class Progress {
public:
    void bump() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
        changed_.notify_all();
    }
    // Re-tests `condition` after every bump until it holds or `timeout` passes.
    template <class Condition>
    bool waitUntil(Condition condition, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return condition(); });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t generation_ = 0; // guarded by mutex_
};

class MemoryLink : public Network::Transport {
public:
    MemoryLink(const VirtualClock& clock, Progress& progress)
        : clock_(clock), progress_(progress) {}

    bool broadcast(const char* data, std::size_t length) override { return keep(data, length, 0); }
    bool sendTo(const char* data, std::size_t length, std::uint32_t address,
                std::uint16_t) override {
        if (refuseUnicasts)
            return false; // as a socket whose send fails at once
        return keep(data, length, address);
    }

    // While set, every unicast is refused and nothing is kept.
    std::atomic<bool> refuseUnicasts{false};

    // The unicast datagrams sent so far (broadcasts, i.e. heartbeats, left out).
    std::vector<SentDatagram> unicasts() const { return unicasts_.values(); }
    std::size_t unicastCount() const { return unicasts_.size(); }

private:
    bool keep(const char* data, std::size_t length, std::uint32_t address) {
        if (address != 0)
            unicasts_.push({std::vector<char>(data, data + length), address, clock_.now()});
        progress_.bump(); // after the recorder's lock is released: a waiter's condition takes it
        return true;
    }

    const VirtualClock& clock_;
    Progress& progress_;
    TestSupport::Recorder<SentDatagram> unicasts_;
};

// The engine over a memory link on a virtual clock, as the tests drive it.
struct EngineOnLink {
    Vorn::AnyNetworkType type;
    VirtualClock clock;
    Progress progress;
    MemoryLink link{clock, progress};
    std::unique_ptr<VornNetwork> engine = std::make_unique<VornNetwork>(type, link, clock.clocks());

    // Waits until the engine is idle (VornNetwork::idle) and `condition` holds:
    // what the clock made due has been acted on before the test moves it on.
    // Polled: the engine's threads go idle without telling anyone.
    template <class Condition> bool settle(Condition condition) {
        return waitUntil([&] { return engine->idle() && condition(); }, 5000ms);
    }

    // Hands `bytes` to the frame list as if they came from `sender`.
    void receive(const std::vector<char>& bytes, std::uint32_t sender) {
        engine->frameList().onReceive(bytes.data(), bytes.size(), sender);
    }
};

} // namespace TestSupport
