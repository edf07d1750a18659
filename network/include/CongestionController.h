#pragma once

#include "WorkerThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

// Limits the bytes of requests awaiting a reply, with a window that grows on
// replies (slow start, then congestion avoidance) and halves on time-outs.
// Segment 560 bytes, threshold floor 1120, initial threshold 65536.
class CongestionController {
public:
    static constexpr std::uint32_t segmentSize = 560;
    static constexpr std::uint32_t thresholdFloor = 1120;
    static constexpr std::uint32_t initialThreshold = 65536;
    static constexpr std::uint32_t avoidanceNumerator = 313600;
    static constexpr std::uint32_t defaultPollLimit = 600000;

    // `pollLimit` 1 ms polls before waitForRoom gives up (tests shorten it).
    explicit CongestionController(std::uint32_t pollLimit = defaultPollLimit);
    ~CongestionController();
    CongestionController(const CongestionController&) = delete;
    CongestionController& operator=(const CongestionController&) = delete;

    // Admits `length` bytes now and runs `action` on this thread, or queues the
    // action on the worker until the bytes fit. False only once stopped (the
    // action is dropped unrun). A queued action still queued at shutdown is
    // destroyed without running. One whose wait times out is destroyed too, and
    // `gaveUp` (if given) runs in its place on the worker, so that its request
    // can still be ended; the worker goes on with the next job.
    bool submit(std::uint64_t frameId, std::uint32_t length, std::function<void()> action,
                std::function<void()> gaveUp = {});

    // Admits `length` bytes if they fit now: Admitted (counted in flight),
    // Full (nothing counted; submit() queues), or Stopped.
    enum class Admission { Admitted, Full, Stopped };
    Admission admitNow(std::uint32_t length);

    // Blocks until `length` fits and counts it in flight; false once stopped.
    // Throws Vorn::CongestionWaitTimeoutException after pollLimit + 1 failed polls.
    bool waitForRoom(std::uint32_t length);

    void acknowledge(std::uint32_t length);
    void reportLoss(std::uint32_t length);

    // No more admissions; waits end within one poll.
    void stop();
    // stop(), then discard queued jobs and join the worker. Idempotent.
    void shutdown();

    struct State {
        std::uint32_t bytesInFlight;
        std::uint32_t slowStartThreshold;
        std::uint32_t congestionWindow;

        bool operator==(const State&) const = default;
    };
    State state() const;

private:
    bool tryAdmit(std::uint32_t length);

    std::uint32_t bytesInFlight_ = 0;                     // guarded by mutex_
    std::uint32_t slowStartThreshold_ = initialThreshold; // guarded by mutex_
    std::uint32_t congestionWindow_ = segmentSize;        // guarded by mutex_
    mutable std::mutex mutex_;
    std::atomic<bool> running_{true};
    const std::uint32_t pollLimit_; // set at construction, read-only afterwards
    WorkerThread worker_;           // last member: joined before the rest goes
};
