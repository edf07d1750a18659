#include "engine/VornNetwork.h"

#include "Exception.h"
#include "wire/Wire.h"

#include <algorithm>
#include <array>
#include <vector>

static_assert(Vorn::DeviceHealth::cap >= Vorn::FrameList::defaultFrameCap,
              "the health table starts over only past every frame the list keeps");

// One accepted request and everything its attempts need, in one heap block
// with the sealed bytes every attempt resends. Owned jointly by the pending
// attempt (frame list, work queue or congestion queue) and, between a
// time-out and the next attempt, the table of requests awaiting a
// retransmission. Its attempts touch it one thread at a time; while it is on
// that table (no attempt pending) a late reply can end it from an I/O thread,
// hence `ended`.
struct VornNetwork::Request {
    // The tool's requests are at most 100 bytes; a longer message is kept on the heap.
    static constexpr std::size_t inlineCapacity = 128;

    Request(std::uint64_t frameId, const Vorn::Destination& destination,
            const Vorn::Message& sealed, Completion completion, Vorn::TimeoutBehavior* behavior,
            RequestClass requestClass)
        : frameId(frameId), destination(destination), completion(std::move(completion)),
          behavior(behavior), requestClass(requestClass), size(sealed.size()) {
        if (size > inlineCapacity)
            large.assign(sealed.data(), sealed.data() + size);
        else
            std::copy(sealed.data(), sealed.data() + size, inlineBytes.begin());
    }

    std::uint64_t frameId;
    Vorn::Destination destination;
    Completion completion;
    Vorn::TimeoutBehavior* behavior;
    RequestClass requestClass;
    bool counted = false;                    // admitted through the congestion window
    Vorn::Lane lane = Vorn::Lane::Answering; // of the attempt admitted last
    // Steady nanoseconds: the retry budget on from send() (user requests) or
    // from the first datagram (background ones); 0 before it starts.
    std::uint64_t giveUpAt = 0;
    std::atomic<bool> ended{false}; // its completion has run, or is running
    std::size_t size;
    std::array<char, inlineCapacity> inlineBytes{};
    std::vector<char> large;

    const char* bytes() const { return size > inlineCapacity ? large.data() : inlineBytes.data(); }
    std::uint32_t length() const { return static_cast<std::uint32_t>(size); }
    // True for the one caller that gets to run the completion.
    bool end() { return !ended.exchange(true); }
    // 0 for a message shorter than a header, as Message::sequence() reads it.
    std::uint32_t sequence() const {
        return size < Vorn::Header::size ? 0
                                         : Vorn::Wire::readU32(bytes() + Vorn::Header::sequence);
    }
};

namespace {

// Low word: the first of two tick readings; high word: the second.
std::uint64_t makeOwnFrameId() {
    const std::uint32_t first = Network::tickCount();
    const std::uint32_t second = Network::tickCount();
    return (std::uint64_t{second} << 32) | first;
}

// The sum of the time-outs of every attempt the behaviour allows, in
// nanoseconds: how long a request may last in all.
std::uint64_t retryBudget(Vorn::TimeoutBehavior& behavior) {
    constexpr std::uint64_t millisecond = 1000000;
    std::uint64_t total = static_cast<std::uint64_t>(std::max(behavior.initialTimeout(), 0));
    // More attempts than any behaviour of the tool makes would only stretch the loop.
    const int attempts = std::min(behavior.attemptCount(), 1000);
    for (int attempt = 1; attempt < attempts; ++attempt)
        total += static_cast<std::uint64_t>(std::max(behavior.retryTimeout(attempt), 0));
    return total * millisecond;
}

} // namespace

VornNetwork::VornNetwork(Vorn::NetworkType& type, const std::string& localAddress,
                         const BeforeStart& beforeStart)
    : VornNetwork(type, localAddress, nullptr, Vorn::FrameList::Clocks::system(), beforeStart) {}

VornNetwork::VornNetwork(Vorn::NetworkType& type, Network::Transport& link,
                         Vorn::FrameList::Clocks clocks, const BeforeStart& beforeStart)
    : VornNetwork(type, std::string(), &link, std::move(clocks), beforeStart) {}

VornNetwork::VornNetwork(Vorn::NetworkType& type, const std::string& localAddress,
                         Network::Transport* link, Vorn::FrameList::Clocks clocks,
                         const BeforeStart& beforeStart)
    : networkType_(type), defaultBehavior_(std::make_shared<Vorn::StandardTimeoutBehavior>()),
      steadyNanoseconds_(clocks.steadyNanoseconds),
      congestion_(Vorn::CongestionController::defaultPollLimit, steadyNanoseconds_), running_(true),
      ownFrameId_(makeOwnFrameId()), ownType_(type.ownType()),
      server_(link ? nullptr
                   : std::make_shared<Network::Server>(type.deviceTargetPort(), localAddress,
                                                       type.bindPort())),
      transport_(link ? *link : *server_),
      frameList_(std::make_shared<Vorn::FrameList>(type, transport_, std::move(clocks))),
      frameAdded(frameList_->frameAdded), frameRemoved(frameList_->frameRemoved),
      frameChanged(frameList_->frameChanged), commandReceived(frameList_->commandReceived) {
    try {
        frameRemovedToken_ =
            frameRemoved.subscribe([this](std::uint64_t id) { onFrameRemoved(id); });
        if (beforeStart)
            beforeStart(*this);
        frameList_->setUnmatchedReplyHandler(
            [this](std::uint64_t frameId, const char* message, std::size_t length) {
                return onLateReply(frameId, message, length);
            });
        if (server_)
            server_->addHandler(frameList_.get());
        heart_ = std::make_shared<Vorn::Heart>(transport_, static_cast<std::uint32_t>(ownFrameId_),
                                               static_cast<std::uint32_t>(ownFrameId_ >> 32),
                                               ownType_, type.presenceCommand());
    } catch (...) {
        shutdown();
        throw;
    }
}

VornNetwork::~VornNetwork() {
    shutdown();
}

// Every thread that could call into a part is stopped and joined before that
// part is released: subscribers on the frame list's worker and completions on
// the server's I/O threads may still call send() while teardown runs.
void VornNetwork::shutdown() {
    running_ = false;
    congestion_.stop();
    frameRemovedToken_.reset();
    heart_.reset();
    if (server_)
        server_->removeHandler(frameList_.get());
    frameList_->stop();     // no frame event or time-out completion runs after this
    workQueue_.stop();      // queued retransmissions are dropped
    congestion_.shutdown(); // queued admissions are dropped
    server_.reset();        // socket closed, I/O threads joined (none over a link)
    std::lock_guard<std::mutex> lock(retryingMutex_);
    retrying_.clear();
}

bool VornNetwork::send(std::uint64_t frameId, Vorn::Message& request,
                       Vorn::TimeoutBehavior* behavior, Completion completion,
                       RequestClass requestClass) {
    Vorn::Destination destination;
    if (!frameList_->findDestination(frameId, destination))
        return false;
    Vorn::seal(request);
    auto shared =
        std::make_shared<Request>(frameId, destination, request, std::move(completion),
                                  behavior ? behavior : defaultBehavior_.get(), requestClass);

    if (shared->sequence() == 0) {
        transmit(shared, 0);
        return true;
    }
    shared->counted = true;
    if (requestClass == RequestClass::UserAction)
        startBudget(*shared);
    return admit(shared, 0);
}

bool VornNetwork::admit(const std::shared_ptr<Request>& request, int attempt) {
    request->lane = laneFor(*request);
    // Admitted at once in the common case: no queued job needs to be built.
    switch (congestion_.admitNow(request->length(), request->lane)) {
    case Vorn::CongestionController::Admission::Admitted:
        transmit(request, attempt);
        return true;
    case Vorn::CongestionController::Admission::Full:
        break;
    case Vorn::CongestionController::Admission::Queued:
    case Vorn::CongestionController::Admission::Refused:
    case Vorn::CongestionController::Admission::Stopped:
        return false; // Stopped is the only answer admitNow gives besides the two above
    }
    const Vorn::CongestionController::Ticket ticket{request->frameId, request->length(),
                                                    request->lane, request->giveUpAt, attempt == 0};
    const auto admission = congestion_.submit(
        ticket,
        [this, request, attempt](Vorn::Lane lane) {
            request->lane = lane;
            transmit(request, attempt);
        },
        [this, request](Vorn::ErrorCode why) { finish(*request, why); });
    return admission == Vorn::CongestionController::Admission::Admitted ||
           admission == Vorn::CongestionController::Admission::Queued;
}

Vorn::Lane VornNetwork::laneFor(const Request& request) const {
    if (request.requestClass == RequestClass::UserAction)
        return Vorn::Lane::User;
    switch (health_.of(request.frameId)) {
    case Vorn::DeviceHealth::State::Answering:
        return Vorn::Lane::Answering;
    case Vorn::DeviceHealth::State::Failing:
        return Vorn::Lane::Failing;
    case Vorn::DeviceHealth::State::New:
        break;
    }
    return Vorn::Lane::New;
}

void VornNetwork::onFrameRemoved(std::uint64_t frameId) {
    health_.forget(frameId);
    congestion_.dropFrame(frameId);
}

void VornNetwork::expireNow() {
    frameList_->expireNow();
    congestion_.expireNow();
}

bool VornNetwork::idle() {
    // Work flows one way: time-outs to the frame list's worker, its
    // completions to the retransmission queue, that to the admission queue.
    // Asked in that order, a part found idle gets no work from an earlier one
    // while the later ones are asked, so that all of them were idle at once.
    return frameList_->idle() && workQueue_.idle() && congestion_.idle();
}

void VornNetwork::sendUntracked(const Vorn::Destination& to, Vorn::Message& message) {
    Vorn::seal(message);
    if (to.viaBroadcast)
        transport_.broadcast(message.data(), message.size());
    else
        transport_.sendTo(message.data(), message.size(), to.address,
                          networkType_.deviceTargetPort());
}

void VornNetwork::startBudget(Request& request) {
    request.giveUpAt = steadyNanoseconds_() + retryBudget(*request.behavior);
}

void VornNetwork::transmit(const std::shared_ptr<Request>& request, int attempt) {
    // A retransmission takes its request off the table of those awaiting one
    // before it leaves: from here a reply finds the attempt, or nothing. When
    // a late reply (or a give-up) took it first, the request has ended, and
    // the room this attempt was admitted with goes back unsent.
    if (request->counted && attempt > 0 && !stopAwaitingRetransmission(*request)) {
        congestion_.returnUnsent(request->length(), request->lane);
        return;
    }
    if (request->counted && request->giveUpAt == 0)
        startBudget(*request);
    const int timeout = attempt == 0 ? request->behavior->initialTimeout()
                                     : request->behavior->retryTimeout(attempt);
    auto completion = [this, request, attempt](const char* reply, unsigned length,
                                               Vorn::ErrorCode error) {
        onCompleted(request, attempt, reply, length, error);
    };
    // Counted before it leaves, so that it is counted before its reply can end the request.
    if (attempt > 0)
        retransmissions_.fetch_add(1, std::memory_order_relaxed);
    if (frameList_->sendRequest(static_cast<std::uint32_t>(timeout), request->destination,
                                request->bytes(), request->size, std::move(completion)))
        return;
    if (attempt > 0)
        retransmissions_.fetch_sub(1, std::memory_order_relaxed);
    // Never on the wire: the bytes go back, and the window learns nothing.
    if (request->counted)
        congestion_.returnUnsent(request->length(), request->lane);
    finish(*request, Vorn::ErrorCode::SendFailed);
}

void VornNetwork::onCompleted(const std::shared_ptr<Request>& request, int attempt,
                              const char* reply, unsigned length, Vorn::ErrorCode error) {
    if (!running_)
        return;
    if (error == Vorn::ErrorCode::Success) {
        if (health_.answered(request->frameId))
            congestion_.promote(request->frameId);
        if (request->counted)
            congestion_.acknowledge(request->length(), request->lane);
        if (request->end()) {
            answered_.fetch_add(1, std::memory_order_relaxed);
            request->completion(request->frameId, reply, length, Vorn::ErrorCode::Success);
        }
        return;
    }
    health_.failed(request->frameId);
    if (request->counted)
        congestion_.reportLoss(request->length(), request->lane);
    const int next = attempt + 1;
    // ">=" rather than "==": a behaviour that allows fewer than one attempt
    // still ends after the first instead of retrying forever.
    if (next >= request->behavior->attemptCount()) {
        finish(*request, Vorn::ErrorCode::TimedOut);
        return;
    }
    if (request->counted) {
        // Until the next attempt leaves, a late reply to this one finds the
        // request here (a message without a sequence number has no reply).
        std::lock_guard<std::mutex> lock(retryingMutex_);
        retrying_.emplace(request->sequence(), request);
    }
    workQueue_.post([this, request, next] { retransmit(request, next); });
}

// A reply to an attempt that timed out, which came before the next attempt was
// sent: it is the reply the request waits for (the attempts resend the same
// bytes, sequence number included), so it ends the request, and the device
// counts as answering. The waiting attempt gives its room back unsent.
bool VornNetwork::onLateReply(std::uint64_t frameId, const char* message, std::size_t length) {
    std::shared_ptr<Request> request;
    {
        std::lock_guard<std::mutex> lock(retryingMutex_);
        const auto found = retrying_.find(Vorn::Wire::readU32(message + Vorn::Header::sequence));
        if (found == retrying_.end() || found->second->frameId != frameId)
            return false;
        request = std::move(found->second);
        retrying_.erase(found);
    }
    // A give-up may have ended it meanwhile: then this reply ended nothing.
    if (!running_ || !request->end())
        return false;
    if (health_.answered(frameId))
        congestion_.promote(frameId);
    answered_.fetch_add(1, std::memory_order_relaxed);
    request->completion(frameId, message, static_cast<unsigned>(length), Vorn::ErrorCode::Success);
    return true;
}

bool VornNetwork::stopAwaitingRetransmission(const Request& request) {
    std::lock_guard<std::mutex> lock(retryingMutex_);
    const auto found = retrying_.find(request.sequence());
    if (found == retrying_.end() || found->second.get() != &request)
        return false;
    retrying_.erase(found);
    return true;
}

void VornNetwork::retransmit(const std::shared_ptr<Request>& request, int attempt) {
    if (request->ended)
        return; // a late reply ended it; it was taken off the table then
    if (!request->counted) {
        transmit(request, attempt);
        return;
    }
    // The request has used up its time waiting for room: no attempt is left.
    if (steadyNanoseconds_() >= request->giveUpAt) {
        finish(*request, Vorn::ErrorCode::TimedOut);
        return;
    }
    // A retransmission is never refused for the queue's bound; it can only
    // find the controller stopped, and the request then ends without a call.
    admit(request, attempt);
}

void VornNetwork::finish(Request& request, Vorn::ErrorCode error) {
    stopAwaitingRetransmission(request);
    if (running_ && request.end()) {
        (error == Vorn::ErrorCode::TimedOut ? timedOut_ : failed_)
            .fetch_add(1, std::memory_order_relaxed);
        request.completion(request.frameId, nullptr, 0, error);
    }
}

Vorn::EngineFigures VornNetwork::figures() const {
    Vorn::EngineFigures figures;
    figures.answered = answered_.load(std::memory_order_relaxed);
    figures.timedOut = timedOut_.load(std::memory_order_relaxed);
    figures.failed = failed_.load(std::memory_order_relaxed);
    figures.retransmissions = retransmissions_.load(std::memory_order_relaxed);
    figures.bytesInFlight = congestion_.state().bytesInFlight;
    figures.framesDropped = frameList_->framesDropped();
    figures.presencesDeferred = frameList_->presencesDeferred();
    figures.startTime = startTime_;
    return figures;
}
