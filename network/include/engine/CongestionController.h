#pragma once

#include "engine/AdmissionQueue.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace Vorn {

// Limits the bytes of requests awaiting a reply, with a window that grows on
// replies (slow start, then congestion avoidance) and halves on time-outs.
// Segment 560 bytes, threshold floor 1120, initial threshold 65536.
//
// Requests travel in lanes (AdmissionQueue.h). Background lanes share the
// window: one fits while everything in flight plus its length stays within it,
// and the Failing lane may hold at most a quarter of the window, so requests
// to devices that do not answer, which hold their bytes until they time out,
// never crowd out the ones to devices that do. The User lane is measured
// against the window on its own bytes only: what the user asked for never
// waits behind background traffic. On a network where every device answers
// and only one kind of request is sent, this is the plain window.
//
// Requests that do not fit wait in the admission queue and are served in lane
// order, first come first served within a lane, by the controller's own thread
// as soon as a release makes room. A waiting request gives up at its give-up
// time, and when its frame leaves (dropFrame); the queue holds at most
// `userBound` first sends in the User lane and `backgroundBound` in the others.
// The thread sleeps until a release, a promotion or a request leaving the
// queue lets a waiting request in, or until the earliest give-up time of a
// waiting request; a release after which nothing waiting fits leaves it asleep.
//
// Every admitted byte is released once. A release of more bytes than its lane
// holds in flight (the same request released twice) is a fault of the caller:
// it changes neither the window nor the bytes in flight, is counted
// (releaseFaults) and, in debug builds, reported on stderr.
class CongestionController {
public:
    static constexpr std::uint32_t segmentSize = 560;
    static constexpr std::uint32_t thresholdFloor = 1120;
    static constexpr std::uint32_t initialThreshold = 65536;
    // In congestion avoidance a reply grows the window by segment^2 / window
    // bytes: about one segment per window's worth of replies.
    static constexpr std::uint32_t avoidanceNumerator = segmentSize * segmentSize;
    static constexpr std::uint32_t defaultPollLimit = 600000;
    static constexpr std::size_t userBound = 256;
    static constexpr std::size_t backgroundBound = 131072;

    // Steady nanoseconds: the clock of give-up times.
    using Clock = std::function<std::uint64_t()>;

    // `pollLimit` 1 ms polls before waitForRoom gives up (tests shorten it).
    explicit CongestionController(std::uint32_t pollLimit = defaultPollLimit, Clock clock = {});
    ~CongestionController();
    CongestionController(const CongestionController&) = delete;
    CongestionController& operator=(const CongestionController&) = delete;

    // One request as it asks for room.
    struct Ticket {
        std::uint64_t frameId = 0;
        std::uint32_t length = 0;
        Lane lane = Lane::Answering;
        std::uint64_t giveUpAt = 0; // on the controller's clock; 0: waits until admitted
        bool bounded = true;        // a first send (a retransmission is never refused)
    };
    // Full: no room now (admitNow); Refused: no room in the queue (submit).
    enum class Admission { Admitted, Queued, Full, Refused, Stopped };

    // Admits the ticket's bytes now and runs `action` on this thread
    // (Admitted), or queues the action until they fit (Queued). Refused: the
    // ticket's lane group already holds its bound of first sends; Stopped:
    // shutting down. In both the action and `gaveUp` are dropped uncalled.
    // A queued request that gives up is dropped unrun and `gaveUp` (if any)
    // runs in its place, on the queue's thread or in dropFrame's caller; a
    // queued request still waiting at shutdown is dropped, and nothing runs.
    Admission submit(const Ticket& ticket, AdmissionQueue::Action action,
                     AdmissionQueue::GiveUp gaveUp = {});
    // The same in the Answering lane, waiting without a give-up time; false
    // only once stopped.
    bool submit(std::uint64_t frameId, std::uint32_t length, std::function<void()> action);

    // Admits `length` bytes in `lane` if they fit now: Admitted (counted in
    // flight), Full (nothing counted), or Stopped. Builds no queued job.
    Admission admitNow(std::uint32_t length, Lane lane = Lane::Answering);

    // Blocks until `length` fits in the Answering lane and counts it in flight;
    // false once stopped. Throws Vorn::CongestionWaitTimeoutException after
    // pollLimit + 1 failed polls of 1 ms.
    bool waitForRoom(std::uint32_t length);

    // Releases the bytes of a request admitted in `lane`: it was answered
    // (the window grows), it timed out (the window halves), or its datagram
    // could not be handed to the socket (the window stays as it is).
    void acknowledge(std::uint32_t length, Lane lane = Lane::Answering);
    void reportLoss(std::uint32_t length, Lane lane = Lane::Answering);
    void returnUnsent(std::uint32_t length, Lane lane = Lane::Answering);

    // The frame answers again: its waiting background requests move to the
    // Answering lane.
    void promote(std::uint64_t frameId);
    // Ends every queued request of `frameId` with SendFailed, on this thread.
    void dropFrame(std::uint64_t frameId);
    // Ends the queued requests past their give-up time, on this thread (the
    // queue's thread does it by itself when the earliest is due).
    void expireNow();

    // No more admissions; waits end within one poll.
    void stop();
    // stop(), then drop queued requests and join the queue's thread. Idempotent.
    void shutdown();

    struct State {
        std::uint32_t bytesInFlight;
        std::uint32_t slowStartThreshold;
        std::uint32_t congestionWindow;

        bool operator==(const State&) const = default;
    };
    State state() const;
    std::uint32_t bytesInFlight(Lane lane) const;
    std::size_t waiting() const;
    // True when the queue's thread has nothing in hand: no release or
    // promotion it has yet to act on, no admitted or given-up request whose
    // action it is still running, no give-up time due on the clock.
    bool idle() const;
    // Releases of bytes that were not in flight (see above).
    std::uint64_t releaseFaults() const;
    // How often the queue's thread has woken from its sleep: for a release
    // that let a request in, or a give-up time.
    std::uint64_t wakeUps() const;

private:
    // Called with mutex_ held.
    bool fits(Lane lane, std::uint32_t length) const;
    bool tryAdmit(Lane lane, std::uint32_t length);
    // False (nothing released) when the lane holds fewer bytes in flight.
    bool release(Lane lane, std::uint32_t length);
    // Wakes the queue's thread when a waiting request fits now.
    void wakeIfRoom();
    void serve();

    std::array<std::uint32_t, laneCount> inFlight_{};     // guarded by mutex_
    std::uint32_t bytesInFlight_ = 0;                     // guarded by mutex_: the lanes' sum
    std::uint32_t slowStartThreshold_ = initialThreshold; // guarded by mutex_
    std::uint32_t congestionWindow_ = segmentSize;        // guarded by mutex_
    std::uint64_t releaseFaults_ = 0;                     // guarded by mutex_
    std::uint64_t wakeUps_ = 0;                           // guarded by mutex_
    AdmissionQueue queue_;                                // guarded by mutex_
    bool serveWanted_ = false;                            // guarded by mutex_
    bool handing_ = false; // guarded by mutex_: the thread runs actions or give-ups
    bool serving_ = true;  // guarded by mutex_: the thread runs
    mutable std::mutex mutex_;
    std::condition_variable wake_; // with mutex_: serveWanted_, serving_
    std::atomic<bool> running_{true};
    const std::uint32_t pollLimit_; // set at construction, read-only afterwards
    const Clock clock_;             // set at construction, read-only afterwards
    std::mutex joinMutex_;          // guards the join of server_ (shutdown from several threads)
    std::thread server_;            // last member: started when the rest is ready
};

} // namespace Vorn
