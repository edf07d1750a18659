#include "engine/FrameList.h"

#include "Exception.h"
#include "engine/HandlerFailure.h"
#include "engine/framelist/DeadlineTimer.h"
#include "engine/framelist/DestinationCache.h"
#include "engine/framelist/PresenceTable.h"
#include "engine/framelist/RequestTable.h"
#include "engine/framelist/TrimSchedule.h"
#include "transport/Platform.h"
#include "wire/Wire.h"

#include <array>
#include <chrono>
#include <cstring>

namespace Vorn {

namespace {

constexpr auto sweepInterval = std::chrono::milliseconds(1000);
constexpr std::uint64_t nanosecondsPerMillisecond = 1000000;

// Whether a message's declared length fits its datagram (a header at least).
bool isWellFormed(const char* message, std::size_t length) {
    if (length < Header::size)
        return false;
    const std::int16_t declared = Wire::readI16(message + Header::length);
    return declared >= 0 && static_cast<std::size_t>(declared) <= length;
}

} // namespace

FrameList::Clocks FrameList::Clocks::system() {
    using namespace std::chrono;
    return {
        [] { return duration_cast<seconds>(system_clock::now().time_since_epoch()).count(); },
        [] {
            return static_cast<std::uint64_t>(
                duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
        },
    };
}

void FrameList::LoopThread::stop() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        running = false;
    }
    wake.notify_all();
    // The life mutex is free only once the loop has ended. It is released
    // before the join: a thread that has not yet reached its loop must still be
    // able to take it, see `running` cleared and end.
    { std::lock_guard<std::mutex> life(lifeMutex); }
    if (thread.joinable())
        thread.join();
}

FrameList::FrameList(NetworkType& type, Network::Transport& transport, Clocks clocks,
                     std::size_t destinationCap, std::size_t frameCap, std::size_t unansweredCap)
    : frames_(std::make_unique<PresenceTable>(frameCap, unansweredCap)),
      destinations_(std::make_unique<DestinationCache>(destinationCap)),
      requests_(std::make_unique<RequestTable>()), networkType_(type), clocks_(std::move(clocks)),
      timeoutTimer_(std::make_unique<DeadlineTimer>()), transport_(transport) {
    try {
        presenceThread_.thread = std::thread([this] { presenceLoop(); });
        timeoutThread_.thread = std::thread([this] { timeoutLoop(); });
    } catch (...) {
        stop();
        throw;
    }
}

FrameList::~FrameList() {
    stop();
}

void FrameList::stop() {
    presenceThread_.stop();
    {
        std::lock_guard<std::mutex> lock(timeoutThread_.wakeMutex);
        timeoutThread_.running = false;
    }
    timeoutTimer_->interrupt(); // it sleeps on the timer; stop() below joins it
    timeoutThread_.stop();
    worker_.stop();
}

void FrameList::onReceive(const char* data, std::size_t length, std::uint32_t sender) {
    if (length < Header::size || length > Network::Server::maxDatagram)
        return;
    const char* message = data;
    std::size_t messageLength = length;
    if (const char* embedded = unwrapPresence(data, length)) {
        message = embedded;
        messageLength = presenceSize;
    }
    // A message that declares itself shorter than its header (negative lengths
    // included) is malformed whoever sent it: it would reach listeners as a
    // message without a whole header.
    if (Wire::readI16(message + Header::length) < static_cast<std::int16_t>(Header::size))
        return;

    // The header is normalised in place; the server's buffer is read-only to
    // handlers, so the message is handled in a private copy.
    std::array<char, Network::Server::maxDatagram> copy;
    std::memcpy(copy.data(), message, messageLength);
    MSG_CmdHdr header(copy.data());
    networkType_.normalizeHeader(header);

    const std::uint64_t id = header.sourceId();
    if (!track(copy.data(), messageLength, sender, id))
        return;
    if (header.sequence() != 0) {
        if (completeRequest(copy.data(), messageLength)) {
            frames_->answered(id); // a device that answers keeps its place
            return;
        }
        if (unmatchedReply_ && unmatchedReply_(id, copy.data(), messageLength))
            return;
    }
    if (commandReceived.hasSubscribers()) {
        const Command<MSG_CmdHdr> command(copy.data(), messageLength);
        commandReceived.raise(id, command);
    }
}

bool FrameList::track(char* message, std::size_t length, std::uint32_t sender, std::uint64_t id) {
    if (Wire::readU16(message + Header::command) == Code::presence)
        return trackPresence(message, length, sender, id);
    return trackOther(message, length, sender, id);
}

bool FrameList::trackPresence(char* message, std::size_t length, std::uint32_t sender,
                              std::uint64_t id) {
    // Fields a short presence message does not hold read as zero.
    const Presence presence = decodePresence(message, length);
    const std::uint32_t mode = modeFromFlags(presence.modeFlags);
    if (!isWellFormed(message, length) ||
        (mode == 0 && !networkType_.isDeviceType(MSG_CmdHdr(message))))
        return false;

    if (worker_.queued() >= maxQueuedFrameEvents && !frames_->contains(id)) {
        presencesDeferred_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }

    FrameInfo info;
    info.id = id;
    info.sourceType = Wire::readU16(message + Header::sourceType);
    info.deviceType = presence.deviceType;
    info.lastSeen = clocks_.wallSeconds();
    info.mode = mode;
    info.address = sender;
    info.stationTag[0] = presence.stationTag[0];
    info.stationTag[1] = presence.stationTag[1];
    // An evicted frame's removal is posted under the table's lock, as the
    // sweep's are, so that its return on a later presence is announced after it.
    const PresenceTable::Change change =
        frames_->track(info, presence.changeMark(), [this](std::uint64_t evicted) {
            destinations_->leave(evicted);
            postFrameEvent(frameRemoved, evicted);
        });
    if (change == PresenceTable::Change::Refused)
        return false;
    destinations_->record(Destination{id, sender, mode != 0});
    switch (change) {
    case PresenceTable::Change::ModeFlipped:
        postFrameEvent(frameRemoved, id);
        postFrameEvent(frameAdded, id);
        break;
    case PresenceTable::Change::Added:
        postFrameEvent(frameAdded, id);
        break;
    case PresenceTable::Change::Changed:
        postFrameEvent(frameChanged, id);
        break;
    case PresenceTable::Change::None:
    case PresenceTable::Change::Refused:
        break;
    }
    return true;
}

bool FrameList::trackOther(char* message, std::size_t length, std::uint32_t sender,
                           std::uint64_t id) {
    const PresenceTable::SenderCheck check{isWellFormed(message, length),
                                           networkType_.isDeviceType(MSG_CmdHdr(message))};
    if (!frames_->refresh(id, clocks_.wallSeconds(), check))
        return false;
    destinations_->moveTo(id, sender);
    return true;
}

void FrameList::postFrameEvent(FrameEvent& event, std::uint64_t id) {
    worker_.post([&event, id] { event.raise(id); });
}

FrameInfo FrameList::getFrame(std::uint64_t frameId) const {
    const std::optional<FrameInfo> frame = findFrame(frameId);
    if (!frame)
        throw UnknownFrameIdException(
            "src/FrameList", __LINE__,
            "Attempting to access a frame with an index that doesn't exist");
    return *frame;
}

std::optional<FrameInfo> FrameList::findFrame(std::uint64_t frameId) const {
    return frames_->find(frameId);
}

std::size_t FrameList::frameCount() const {
    return frames_->size();
}

std::uint64_t FrameList::framesDropped() const {
    return frames_->dropped();
}

std::uint64_t FrameList::presencesDeferred() const {
    return presencesDeferred_.load(std::memory_order_relaxed);
}

bool FrameList::findDestination(std::uint64_t frameId, Destination& out) const {
    return destinations_->find(frameId, out);
}

void FrameList::sweep() {
    frames_->sweep(clocks_.wallSeconds(), [this](std::vector<std::uint64_t>&& removed) {
        destinations_->retire(removed);
        // Posted under the presence table's lock, so that a frame's return on a
        // later presence message is always announced after its removal.
        if (!removed.empty()) {
            worker_.post([this, removed = std::move(removed)] {
                for (std::uint64_t id : removed)
                    frameRemoved.raise(id);
            });
        }
    });
}

void FrameList::presenceLoop() {
    Network::nameThisThread("vorn-presence");
    std::lock_guard<std::mutex> life(presenceThread_.lifeMutex);
    std::unique_lock<std::mutex> wake(presenceThread_.wakeMutex);
    TrimSchedule trim;
    while (presenceThread_.running) {
        sweep();
        if (trim.afterSweep(frames_->size()))
            Network::releaseFreeMemory();
        presenceThread_.wake.wait_for(wake, sweepInterval,
                                      [this] { return !presenceThread_.running; });
    }
}

bool FrameList::sendRequest(std::uint32_t timeoutMs, Destination to, const Message& message,
                            RequestCompletion completion) {
    return sendRequest(timeoutMs, to, message.data(), message.size(), std::move(completion));
}

bool FrameList::sendRequest(std::uint32_t timeoutMs, Destination to, const char* data,
                            std::size_t length, RequestCompletion completion) {
    // Read as Message::sequence() does: 0 for a message shorter than a header.
    const std::uint32_t sequence =
        length < Header::size ? 0 : Wire::readU32(data + Header::sequence);
    const std::uint64_t deadline =
        clocks_.steadyNanoseconds() + std::uint64_t{timeoutMs} * nanosecondsPerMillisecond;

    // The entry is stored before the datagram leaves, so that a reply arriving
    // as soon as it is on the wire finds it; it is withdrawn if the send is refused.
    const RequestTable::Ticket ticket = requests_->add(sequence, std::move(completion), deadline);
    const bool sent = to.viaBroadcast ? transport_.broadcast(data, length)
                                      : transport_.sendTo(data, length, to.address,
                                                          networkType_.deviceTargetPort());
    if (!sent) {
        requests_->withdraw(sequence, ticket);
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(timeoutThread_.wakeMutex);
        if (nextDeadline_ == 0 || deadline < nextDeadline_) {
            nextDeadline_ = deadline;
            setTimer(clocks_.steadyNanoseconds());
        }
    }
    return true;
}

bool FrameList::completeRequest(const char* message, std::size_t length) {
    RequestCompletion completion;
    std::uint64_t deadline = 0;
    if (!requests_->take(Wire::readU32(message + Header::sequence), completion, deadline))
        return false;
    {
        // The time-out thread sleeps until the next deadline still pending
        // instead of this one.
        std::lock_guard<std::mutex> lock(timeoutThread_.wakeMutex);
        if (deadline == nextDeadline_) {
            nextDeadline_ = requests_->nextDeadline();
            setTimer(clocks_.steadyNanoseconds());
        }
    }
    completion(message, static_cast<unsigned>(length), ErrorCode::Success);
    return true;
}

void FrameList::timeoutLoop() {
    Network::nameThisThread("vorn-timeouts");
    std::lock_guard<std::mutex> life(timeoutThread_.lifeMutex);
    std::unique_lock<std::mutex> wake(timeoutThread_.wakeMutex);
    bool rang = false;
    while (timeoutThread_.running) {
        expire();
        // With no deadline pending the timer is clear: the thread sleeps until
        // sendRequest sets it or stop() interrupts it. A clock that stood still
        // since the timer was set, through a whole sleep, is driven by its
        // owner (expireNow): the thread leaves the timer clear as well.
        const std::uint64_t now = clocks_.steadyNanoseconds();
        if (rang && now == timerSetAt_)
            timeoutTimer_->clear();
        else
            setTimer(now);
        wake.unlock();
        rang = timeoutTimer_->sleep() == DeadlineTimer::Woken::Rang;
        timeoutWakeUps_.fetch_add(1, std::memory_order_relaxed);
        wake.lock();
    }
}

void FrameList::setTimer(std::uint64_t now) {
    timerSetAt_ = now;
    if (nextDeadline_ == 0)
        timeoutTimer_->clear();
    else
        timeoutTimer_->set(std::chrono::nanoseconds(nextDeadline_ > now ? nextDeadline_ - now : 0));
}

std::size_t FrameList::timeoutWakeUps() const {
    return timeoutWakeUps_.load(std::memory_order_relaxed);
}

void FrameList::expireNow() {
    std::lock_guard<std::mutex> lock(timeoutThread_.wakeMutex);
    expire();
}

std::uint64_t FrameList::earliestDeadline() {
    return requests_->earliestDeadline();
}

std::size_t FrameList::pendingCount() {
    return requests_->size();
}

bool FrameList::idle() {
    // expire() takes the due requests and posts their completions under this
    // lock: none is ever seen between the table and the worker.
    std::lock_guard<std::mutex> lock(timeoutThread_.wakeMutex);
    const std::uint64_t deadline = requests_->earliestDeadline();
    return (deadline == 0 || clocks_.steadyNanoseconds() < deadline) && worker_.idle();
}

std::size_t FrameList::handlerFailures() const {
    return worker_.handlerFailures() + failedTimeouts_.load(std::memory_order_relaxed);
}

void FrameList::expire() {
    const std::uint64_t now = clocks_.steadyNanoseconds();
    std::vector<RequestCompletion> expired;
    nextDeadline_ = requests_->takeExpired(now, expired);
    if (expired.empty())
        return;
    // One job for the whole pass, run in deadline order; a completion that
    // throws ends only itself, as a job of its own would, and is counted.
    worker_.post([this, expired = std::move(expired)]() mutable {
        for (RequestCompletion& completion : expired) {
            try {
                completion(nullptr, 0, ErrorCode::TimedOut);
            } catch (...) {
                reportHandlerFailure(failedTimeouts_, "FrameList time-out completion");
            }
        }
    });
}

} // namespace Vorn
