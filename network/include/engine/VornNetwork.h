#pragma once

#include "engine/CongestionController.h"
#include "engine/Destination.h"
#include "engine/DeviceHealth.h"
#include "engine/EngineFigures.h"
#include "engine/FrameList.h"
#include "engine/Heart.h"
#include "engine/TimeoutBehavior.h"
#include "engine/WorkerThread.h"
#include "transport/Enumerator.h"
#include "transport/Platform.h"
#include "transport/Server.h"
#include "wire/Message.h"
#include "wire/NetworkType.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

// Completion of a tracked request: the reply on Success (valid during the
// call), else null and 0. `frameId` is the request's destination.
using Completion = std::function<void(std::uint64_t frameId, const char* reply,
                                      unsigned replyLength, Vorn::ErrorCode error)>;

// Who is waiting for a request: the user (a serial number read or written)
// or nobody in particular (names read in the background). The user's requests
// never wait behind background ones.
enum class RequestClass { UserAction, Background };

// The request/response engine of the device protocol on one local IPv4
// address: brings up the endpoint, frame list and heartbeat, sends requests
// with congestion admission and retries, and guarantees one completion per
// accepted request unless the engine is torn down first.
class VornNetwork {
public:
    // Called once during construction, after the frame list exists and before
    // any datagram can reach it or the first presence broadcast leaves: the
    // place to subscribe to the frame events without missing a frame.
    using BeforeStart = std::function<void(VornNetwork&)>;

    // Throws Network::FailedToEnumerateNetworkException,
    // Network::AddressInUseException, Network::CouldNotCreateListenerException.
    VornNetwork(Vorn::NetworkType& type, const std::string& localAddress,
                const BeforeStart& beforeStart = {});
    // The engine over `link` instead of a UDP endpoint, on `clocks`: requests
    // and heartbeats go to the link, and the link's owner passes what arrives
    // to frameList().onReceive. Throws Network::FailedToEnumerateNetworkException.
    VornNetwork(Vorn::NetworkType& type, Network::Transport& link, Vorn::FrameList::Clocks clocks,
                const BeforeStart& beforeStart = {});
    ~VornNetwork();
    VornNetwork(const VornNetwork&) = delete;
    VornNetwork& operator=(const VornNetwork&) = delete;

    // Throws Vorn::UnknownFrameIdException for a frame that is not present.
    template <Vorn::RequestLayout T> Vorn::Command<T> makeCommand(std::uint64_t frameId) {
        const Vorn::FrameInfo record = frameList_->getFrame(frameId);
        return Vorn::Command<T>(ownFrameId_, frameId, ownType_, record.sourceType);
    }
    // The same, or nothing for a frame that is not present (it left).
    template <Vorn::RequestLayout T>
    std::optional<Vorn::Command<T>> commandFor(std::uint64_t frameId) {
        const std::optional<Vorn::FrameInfo> record = frameList_->findFrame(frameId);
        if (!record)
            return std::nullopt;
        return Vorn::Command<T>(ownFrameId_, frameId, ownType_, record->sourceType);
    }

    // Seals and sends a tracked request; `behavior` null selects the standard
    // one. True: `completion` runs exactly once (unless teardown comes first).
    // False: no destination yet, shutting down, or the admission queue already
    // holds its bound of waiting requests of the class; `completion` is dropped.
    //
    // Requests to devices that answer go ahead of those to devices that do not
    // (or have not yet). A request lasts at most its retry budget (the sum of
    // its attempts' time-outs) plus its last attempt's time-out: a request
    // that waits for room in the congestion window gives up with TimedOut once
    // the budget has passed, counted from send() for the user's requests and
    // from the first datagram for background ones (waiting its turn behind
    // other devices' requests is no failure of its device). One whose frame
    // leaves the network while it waits ends at once with SendFailed.
    bool send(std::uint64_t frameId, Vorn::Message& request, Vorn::TimeoutBehavior* behavior,
              Completion completion, RequestClass requestClass = RequestClass::UserAction);
    // Seals and sends once; no reply awaited.
    void sendUntracked(const Vorn::Destination& to, Vorn::Message& message);

    Vorn::FrameList& frameList() { return *frameList_; }
    const Vorn::CongestionController& congestion() const { return congestion_; }
    // Ends what is due on the clocks now: request time-outs, and waiting
    // requests past their retry budget. The engine's threads do it by
    // themselves; for an owner that drives the clocks.
    void expireNow();
    // True when none of the engine's threads has work in hand: no time-out
    // due or completion queued (frame list), no retransmission queued, and
    // nothing the admission queue's thread has yet to admit or end. With the
    // clocks standing still it stays true until the owner acts; an owner that
    // drives the clocks waits for it before moving them on.
    bool idle();
    std::uint64_t ownFrameId() const { return ownFrameId_; }
    // Read while the engine runs; the counters are atomics the request path
    // only increments.
    Vorn::EngineFigures figures() const;
    std::uint16_t ownType() const { return ownType_; }
    // The UDP port the engine's socket is bound to; 0 over a link.
    std::uint16_t localPort() const { return server_ ? server_->localPort() : 0; }

private:
    struct Request;
    // `link` null: a UDP endpoint on `localAddress`.
    VornNetwork(Vorn::NetworkType& type, const std::string& localAddress, Network::Transport* link,
                Vorn::FrameList::Clocks clocks, const BeforeStart& beforeStart);
    // Starts the request's retry budget now.
    void startBudget(Request& request);
    void transmit(const std::shared_ptr<Request>& request, int attempt);
    void onCompleted(const std::shared_ptr<Request>& request, int attempt, const char* reply,
                     unsigned length, Vorn::ErrorCode error);
    void retransmit(const std::shared_ptr<Request>& request, int attempt);
    // The frame list's handler of replies that found no pending attempt.
    bool onLateReply(std::uint64_t frameId, const char* message, std::size_t length);
    // Takes the request off that table; false when it was not on it.
    bool stopAwaitingRetransmission(const Request& request);
    // Admits, queues or refuses one attempt; false when refused (nothing runs).
    bool admit(const std::shared_ptr<Request>& request, int attempt);
    Vorn::Lane laneFor(const Request& request) const;
    void onFrameRemoved(std::uint64_t frameId);
    // Reports a failure to the caller unless teardown has begun.
    void finish(Request& request, Vorn::ErrorCode error);
    void shutdown();

    // Every thread is stopped by shutdown() before any member goes, whatever
    // the order below. The order itself keeps the socket library started from
    // before the server's socket opens until after it closes, and builds the
    // frame list on a transport that already exists.
    Vorn::NetworkType& networkType_;
    Network::Enumerator enumerator_;
    Vorn::WorkerThread workQueue_{"vorn-retransmit"};
    std::shared_ptr<Vorn::StandardTimeoutBehavior> defaultBehavior_;
    const std::function<std::uint64_t()> steadyNanoseconds_; // the frame list's clock
    Vorn::CongestionController congestion_;
    Vorn::DeviceHealth health_;
    std::atomic<bool> running_{false};
    std::uint64_t ownFrameId_;
    std::uint16_t ownType_;
    Network::SocketLibrary socketLibrary_;
    std::shared_ptr<Network::Server> server_; // null over a link
    Network::Transport& transport_;           // the server or the link
    std::shared_ptr<Vorn::FrameList> frameList_;
    Vorn::FrameList::FrameEvent::Token frameRemovedToken_; // ends waiting requests of a frame
    // Requests between an attempt's time-out and their next attempt, by
    // sequence number: a late reply still ends them (onLateReply).
    std::unordered_map<std::uint32_t, std::shared_ptr<Request>>
        retrying_; // guarded by retryingMutex_
    std::mutex retryingMutex_;
    // How requests ended, and retransmissions: relaxed counters, read by figures().
    std::atomic<std::uint64_t> answered_{0};
    std::atomic<std::uint64_t> timedOut_{0};
    std::atomic<std::uint64_t> failed_{0};
    std::atomic<std::uint64_t> retransmissions_{0};
    const std::chrono::system_clock::time_point startTime_ = std::chrono::system_clock::now();

public:
    // The frame list's events. Frame events run on the frame list's worker,
    // commandReceived on server I/O threads.
    Vorn::FrameList::FrameEvent& frameAdded;
    Vorn::FrameList::FrameEvent& frameRemoved;
    Vorn::FrameList::FrameEvent& frameChanged;
    Vorn::FrameList::CommandEvent& commandReceived;

private:
    std::shared_ptr<Vorn::Heart> heart_;
};
