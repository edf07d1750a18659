#pragma once

#include "engine/Destination.h"
#include "engine/Event.h"
#include "engine/RequestCompletion.h"
#include "engine/WorkerThread.h"
#include "transport/Server.h"
#include "transport/Transport.h"
#include "wire/FrameInfo.h"
#include "wire/Message.h"
#include "wire/NetworkType.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace Vorn {

class DeadlineTimer;
class DestinationCache;
class PresenceTable;
class RequestTable;

// The tool's picture of the device network and its table of outstanding
// requests. Registered with the server as its datagram handler, it tracks
// frames from their presence messages, forgets frames not heard for more than
// 10 s, matches replies to requests by sequence number, and reports time-outs.
//
// A frame's destination outlives the frame, so that requests to a frame that
// was swept out can still be addressed. Past `destinationCap` destinations
// (far beyond any real network; reached only when a faulty or spoofing sender
// announces ever new frame ids) the sweep forgets those of frames no longer
// present, the longest absent first, down to the cap.
//
// Threads: frame events (frameAdded, frameRemoved, frameChanged) and time-out
// completions run on the worker, one at a time in posting order; reply
// completions and commandReceived run on the server's I/O thread.
class FrameList : public Network::ServerEventHandler {
public:
    using FrameEvent = Event<std::function<void(std::uint64_t)>>;
    using CommandEvent = Event<std::function<void(std::uint64_t, const Command<MSG_CmdHdr>&)>>;

    // Reading of the wall clock in whole seconds since 1970 and of a monotonic
    // clock in nanoseconds. Replaceable so that tests can drive time.
    struct Clocks {
        std::function<std::int64_t()> wallSeconds;
        std::function<std::uint64_t()> steadyNanoseconds;
        static Clocks system();
    };

    static constexpr std::size_t defaultDestinationCap = 65536;
    // Frames present at once, and of them frames that never answered a
    // request: four and two times the largest segment the tool is measured
    // with (65 536 devices), so that a real segment is always seen whole. Past
    // either a new frame takes the place of the longest present frame that
    // never answered (announced as its removal), and is refused when all of
    // them have answered one: a sender of ever new frame ids cannot grow the
    // table, nor push out devices that answer. docs/architecture.md states
    // what each costs.
    static constexpr std::size_t defaultFrameCap = 262144;
    static constexpr std::size_t defaultUnansweredCap = 131072;
    // Frame events waiting for the event thread, past which a presence of a
    // frame not present is not taken in (counted as deferred: the frame comes
    // in with its next presence, a second later) until the thread has caught
    // up: a flood of new ids faster than the handlers cannot grow the queue
    // without bound. Present frames are served as ever.
    static constexpr std::size_t maxQueuedFrameEvents = 65536;

    // Sends through `transport`; receives what is passed to onReceive (the
    // owner registers the list with its server).
    FrameList(NetworkType& type, Network::Transport& transport, Clocks clocks = Clocks::system(),
              std::size_t destinationCap = defaultDestinationCap,
              std::size_t frameCap = defaultFrameCap,
              std::size_t unansweredCap = defaultUnansweredCap);
    ~FrameList() override;
    FrameList(const FrameList&) = delete;
    FrameList& operator=(const FrameList&) = delete;

    FrameEvent frameAdded;
    FrameEvent frameRemoved;
    FrameEvent frameChanged;
    CommandEvent commandReceived;

    // A message with a sequence number that no pending request holds: most
    // often a reply that came after its attempt timed out. The handler, if
    // any, sees it first (on the I/O thread, with the normalised header) and
    // returns true when it took it; otherwise it goes to commandReceived. Set
    // once, before the list receives its first datagram.
    using UnmatchedReply =
        std::function<bool(std::uint64_t frameId, const char* message, std::size_t length)>;
    void setUnmatchedReplyHandler(UnmatchedReply handler) { unmatchedReply_ = std::move(handler); }

    // Drops datagrams shorter than a header and messages whose length field is
    // under the header's 28 bytes (or negative), before any table is touched.
    void onReceive(const char* data, std::size_t length, std::uint32_t sender) override;

    // Throws UnknownFrameIdException for a frame that is not present.
    FrameInfo getFrame(std::uint64_t frameId) const;
    // Nothing for a frame that is not present.
    std::optional<FrameInfo> findFrame(std::uint64_t frameId) const;
    // Frames present now.
    std::size_t frameCount() const;
    // New frames that found the table full since construction (each either
    // took the place of a frame that never answered, or was refused): a frame
    // that lost its place. Zero unless a limit was reached.
    std::uint64_t framesDropped() const;
    // Presences of new frames not taken in while the event backlog was full
    // (each such frame comes in with a later presence).
    std::uint64_t presencesDeferred() const;
    // False (and `out` untouched) when the frame was never seen, or was absent
    // while the table was over its cap.
    bool findDestination(std::uint64_t frameId, Destination& out) const;

    // Sends `message` to `to` and keeps `completion` under the message's
    // sequence until a reply arrives or `timeoutMs` passes. False when the
    // server refused the send; the completion is then dropped uncalled.
    bool sendRequest(std::uint32_t timeoutMs, Destination to, const Message& message,
                     RequestCompletion completion);
    // The same for the `length` message bytes at `data`.
    bool sendRequest(std::uint32_t timeoutMs, Destination to, const char* data, std::size_t length,
                     RequestCompletion completion);

    // Removes the frames not heard for more than 10 s and posts frameRemoved
    // for them; then brings the destinations down to the cap. The presence
    // thread runs it about once a second.
    void sweep();

    // Ends the requests whose deadline the steady clock has reached, as the
    // time-out thread does by itself; for an owner that drives the clocks.
    void expireNow();
    // The earliest deadline of a pending request in steady nanoseconds; 0 when
    // none is pending.
    std::uint64_t earliestDeadline();
    // The requests awaiting a reply or their time-out.
    std::size_t pendingCount();
    // True when no request is past its deadline on the steady clock and the
    // worker has no frame event or time-out completion queued or running.
    bool idle();
    // How often the time-out thread has woken: at a deadline, or to stop. A
    // request answered before its deadline never wakes it.
    std::size_t timeoutWakeUps() const;
    // Frame event handlers and time-out completions that threw so far. Each
    // ended only itself; the worker went on (in debug builds stderr names them).
    std::size_t handlerFailures() const;

    // Stops the presence and time-out threads and the worker: after it returns
    // no frame event or time-out completion runs again. Idempotent; the
    // destructor calls it.
    void stop();

private:
    // A background loop stopped the same way as every thread of the stack.
    struct LoopThread {
        bool running = true; // guarded by wakeMutex
        std::mutex wakeMutex;
        std::mutex lifeMutex; // held by the thread for its whole run
        std::condition_variable wake;
        std::thread thread;
        void stop();
    };

    // The message handlers work on the frame list's private copy of a datagram.
    bool track(char* message, std::size_t length, std::uint32_t sender, std::uint64_t id);
    bool trackPresence(char* message, std::size_t length, std::uint32_t sender, std::uint64_t id);
    bool trackOther(char* message, std::size_t length, std::uint32_t sender, std::uint64_t id);
    bool completeRequest(const char* message, std::size_t length);
    void postFrameEvent(FrameEvent& event, std::uint64_t id);
    void presenceLoop();
    void timeoutLoop();
    void expire(); // called with timeoutThread_.wakeMutex held
    // Sets the time-out thread's timer for nextDeadline_, or clears it; called
    // with timeoutThread_.wakeMutex held.
    void setTimer(std::uint64_t now);

    // The three tables each guard themselves; where the presence table's lock
    // and the destinations' are both held (a sweep), the presence table's is
    // taken first.
    const std::unique_ptr<PresenceTable> frames_;
    const std::unique_ptr<DestinationCache> destinations_;
    const std::unique_ptr<RequestTable> requests_;

    NetworkType& networkType_;
    Clocks clocks_;
    UnmatchedReply unmatchedReply_; // set before the first datagram, read-only afterwards
    LoopThread presenceThread_;
    LoopThread timeoutThread_;
    // The time-out thread sleeps on the timer, not on timeoutThread_.wake: a
    // request that brings an earlier deadline, or the reply that ends the
    // request whose deadline it sleeps until, moves the time without waking it.
    const std::unique_ptr<DeadlineTimer> timeoutTimer_;
    std::uint64_t nextDeadline_ = 0; // guarded by timeoutThread_.wakeMutex; 0: none known
    // The steady clock's reading when the timer was last set; guarded by
    // timeoutThread_.wakeMutex.
    std::uint64_t timerSetAt_ = 0;
    std::atomic<std::size_t> timeoutWakeUps_{0};
    Network::Transport& transport_;
    std::atomic<std::size_t> failedTimeouts_{0}; // time-out completions that threw
    std::atomic<std::uint64_t> presencesDeferred_{0};
    WorkerThread worker_{"vorn-events"};
};

} // namespace Vorn
