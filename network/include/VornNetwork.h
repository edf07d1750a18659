#pragma once

#include "CongestionController.h"
#include "Destination.h"
#include "Enumerator.h"
#include "FrameList.h"
#include "Heart.h"
#include "Message.h"
#include "NetworkType.h"
#include "Platform.h"
#include "Server.h"
#include "TimeoutBehavior.h"
#include "WorkerThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Completion of a tracked request: the reply on Success (valid during the
// call), else null and 0. `frameId` is the request's destination.
using Completion = std::function<void(std::uint64_t frameId, const char* reply,
                                      unsigned replyLength, Vorn::ErrorCode error)>;

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

    // Seals and sends a tracked request; `behavior` null selects the standard
    // one. True: `completion` runs exactly once (unless teardown comes first).
    // False: no destination yet or shutting down; `completion` is dropped.
    bool send(std::uint64_t frameId, Vorn::Message& request, Vorn::TimeoutBehavior* behavior,
              Completion completion);
    // Seals and sends once; no reply awaited.
    void sendUntracked(const Vorn::Destination& to, Vorn::Message& message);

    Vorn::FrameList& frameList() { return *frameList_; }
    std::uint64_t ownFrameId() const { return ownFrameId_; }
    std::uint16_t ownType() const { return ownType_; }
    // The UDP port the engine's socket is bound to; 0 over a link.
    std::uint16_t localPort() const { return server_ ? server_->localPort() : 0; }

private:
    struct Request;
    // `link` null: a UDP endpoint on `localAddress`.
    VornNetwork(Vorn::NetworkType& type, const std::string& localAddress, Network::Transport* link,
                Vorn::FrameList::Clocks clocks, const BeforeStart& beforeStart);
    void transmit(const std::shared_ptr<Request>& request, int attempt);
    void onCompleted(const std::shared_ptr<Request>& request, int attempt, const char* reply,
                     unsigned length, Vorn::ErrorCode error);
    void retransmit(const std::shared_ptr<Request>& request, int attempt);
    // Reports a failure to the caller unless teardown has begun.
    void finish(Request& request, Vorn::ErrorCode error);
    void shutdown();

    // Declared in construction order.
    Vorn::NetworkType& networkType_;
    Enumerator enumerator_;
    WorkerThread workQueue_;
    std::shared_ptr<Vorn::StandardTimeoutBehavior> defaultBehavior_;
    CongestionController congestion_;
    std::atomic<bool> running_{false};
    std::uint64_t ownFrameId_;
    std::uint16_t ownType_;
    Platform::SocketLibrary socketLibrary_;
    std::shared_ptr<Network::Server> server_; // null over a link
    Network::Transport& transport_;           // the server or the link
    std::shared_ptr<Vorn::FrameList> frameList_;

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
