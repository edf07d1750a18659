#include "FrameList.h"

#include "Exception.h"
#include "Wire.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

namespace Vorn {

namespace {

// A frame survives while at most this many seconds have passed since it was last seen.
constexpr std::int64_t presenceLifetimeSeconds = 10;
constexpr auto sweepInterval = std::chrono::milliseconds(1000);
// How long the time-out thread sleeps while it knows of no deadline.
constexpr auto idleTimeoutPoll = std::chrono::milliseconds(200);
constexpr std::uint64_t nanosecondsPerMillisecond = 1000000;

// Gives back a table's bucket array once a flood has passed and the table is
// far smaller than it was.
template <class Table> void shrinkAfterFlood(Table& table) {
    constexpr std::size_t smallTable = 1024;
    if (table.bucket_count() > smallTable && table.bucket_count() > 4 * table.size())
        table.rehash(0);
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
                     std::size_t destinationCap)
    : destinationCap_(destinationCap), networkType_(type), clocks_(std::move(clocks)),
      transport_(transport) {
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
    if (header.sequence() != 0 && completeRequest(copy.data(), messageLength))
        return;
    if (commandReceived.hasSubscribers()) {
        const Command<MSG_CmdHdr> command(copy.data(), messageLength);
        commandReceived.raise(id, command);
    }
}

bool FrameList::isValid(char* message, std::size_t length, std::uint32_t mode) const {
    if (length < Header::size)
        return false;
    const std::int16_t declared = Wire::readI16(message + Header::length);
    if (declared < 0 || static_cast<std::size_t>(declared) > length)
        return false;
    return mode != 0 || networkType_.isDeviceType(MSG_CmdHdr(message));
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
    const std::int32_t changeMark = presence.changeMark();
    if (!isValid(message, length, mode))
        return false;

    bool isNew = false;
    bool modeFlipped = false;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(framesMutex_);
        auto [entry, inserted] = frames_.try_emplace(id);
        isNew = inserted;
        if (!isNew) {
            modeFlipped = (entry->second.info.mode != 0) != (mode != 0);
            changed = changeMark != entry->second.changeMark && mode == 0;
        }
        FrameInfo& info = entry->second.info;
        info.id = id;
        info.sourceType = Wire::readU16(message + Header::sourceType);
        info.deviceType = presence.deviceType;
        info.lastSeen = clocks_.wallSeconds();
        info.mode = mode;
        info.address = sender;
        info.stationTag[0] = presence.stationTag[0];
        info.stationTag[1] = presence.stationTag[1];
        entry->second.changeMark = changeMark;
    }
    {
        std::lock_guard<std::mutex> lock(destinationsMutex_);
        destinations_[id] = DestinationEntry{Destination{id, sender, mode != 0}, 0};
    }
    if (modeFlipped) {
        postFrameEvent(frameRemoved, id);
        postFrameEvent(frameAdded, id);
    } else if (isNew) {
        postFrameEvent(frameAdded, id);
    } else if (changed) {
        postFrameEvent(frameChanged, id);
    }
    return true;
}

bool FrameList::trackOther(char* message, std::size_t length, std::uint32_t sender,
                           std::uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(framesMutex_);
        auto entry = frames_.find(id);
        if (entry != frames_.end()) {
            if (!isValid(message, length, entry->second.info.mode))
                return false;
            entry->second.info.lastSeen = clocks_.wallSeconds();
        }
    }
    {
        std::lock_guard<std::mutex> lock(destinationsMutex_);
        auto destination = destinations_.find(id);
        if (destination != destinations_.end())
            destination->second.destination.address = sender;
    }
    return true;
}

void FrameList::postFrameEvent(FrameEvent& event, std::uint64_t id) {
    worker_.post([&event, id] { event.raise(id); });
}

FrameInfo FrameList::getFrame(std::uint64_t frameId) const {
    const std::optional<FrameInfo> frame = findFrame(frameId);
    if (!frame)
        throw UnknownFrameIdException(
            "src/FrameList", 156, "Attempting to access a frame with an index that doesn't exist");
    return *frame;
}

std::optional<FrameInfo> FrameList::findFrame(std::uint64_t frameId) const {
    std::lock_guard<std::mutex> lock(framesMutex_);
    auto entry = frames_.find(frameId);
    if (entry == frames_.end())
        return std::nullopt;
    return entry->second.info;
}

bool FrameList::findDestination(std::uint64_t frameId, Destination& out) const {
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    auto destination = destinations_.find(frameId);
    if (destination == destinations_.end())
        return false;
    out = destination->second.destination;
    return true;
}

void FrameList::sweep() {
    std::vector<std::uint64_t> removed;
    std::lock_guard<std::mutex> lock(framesMutex_);
    const std::int64_t now = clocks_.wallSeconds();
    for (auto entry = frames_.begin(); entry != frames_.end();) {
        if (entry->second.info.lastSeen + presenceLifetimeSeconds < now) {
            removed.push_back(entry->first);
            entry = frames_.erase(entry);
        } else {
            ++entry;
        }
    }
    if (!removed.empty())
        shrinkAfterFlood(frames_);
    retireDestinations(removed);
    // Posted under the lock, so that a frame's return on a later presence
    // message is always announced after its removal.
    if (!removed.empty()) {
        worker_.post([this, removed = std::move(removed)] {
            for (std::uint64_t id : removed)
                frameRemoved.raise(id);
        });
    }
}

void FrameList::retireDestinations(const std::vector<std::uint64_t>& removed) {
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    const std::uint64_t sweep = ++sweepCount_;
    for (std::uint64_t id : removed) {
        auto entry = destinations_.find(id);
        if (entry != destinations_.end())
            entry->second.absentSince = sweep;
    }
    if (destinations_.size() <= destinationCap_)
        return;
    // Over the cap: the longest absent go first; present frames always stay.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> absent; // (absentSince, id)
    for (const auto& [id, entry] : destinations_) {
        if (entry.absentSince != 0)
            absent.emplace_back(entry.absentSince, id);
    }
    const std::size_t excess = destinations_.size() - destinationCap_;
    const std::size_t count = std::min(excess, absent.size());
    std::nth_element(absent.begin(), absent.begin() + static_cast<std::ptrdiff_t>(count),
                     absent.end());
    for (std::size_t i = 0; i < count; ++i)
        destinations_.erase(absent[i].second);
    shrinkAfterFlood(destinations_);
}

void FrameList::presenceLoop() {
    std::lock_guard<std::mutex> life(presenceThread_.lifeMutex);
    std::unique_lock<std::mutex> wake(presenceThread_.wakeMutex);
    while (presenceThread_.running) {
        sweep();
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
    const std::uint64_t ticket = nextTicket_.fetch_add(1, std::memory_order_relaxed);

    // The entry is stored before the datagram leaves, so that a reply arriving
    // as soon as it is on the wire finds it; it is withdrawn if the send is refused.
    RequestCompletion replaced;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto entry = pendingRequests_.find(sequence);
        if (entry != pendingRequests_.end()) {
            replaced = std::move(entry->second.completion);
            entry->second = PendingRequest{std::move(completion), deadline, ticket};
        } else if (!spareNodes_.empty()) {
            PendingTable::node_type node = std::move(spareNodes_.back());
            spareNodes_.pop_back();
            node.key() = sequence;
            node.mapped() = PendingRequest{std::move(completion), deadline, ticket};
            pendingRequests_.insert(std::move(node));
        } else {
            pendingRequests_.emplace(sequence,
                                     PendingRequest{std::move(completion), deadline, ticket});
        }
        pushDeadline(DeadlineEntry{deadline, ticket, sequence});
    }
    replaced = nullptr; // a replaced completion is dropped without being called

    const bool sent = to.viaBroadcast ? transport_.broadcast(data, length)
                                      : transport_.sendTo(data, length, to.address,
                                                          networkType_.deviceTargetPort());
    if (!sent) {
        RequestCompletion withdrawn;
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto entry = pendingRequests_.find(sequence);
        if (entry != pendingRequests_.end() && entry->second.ticket == ticket)
            withdrawn = release(entry);
        return false;
    }

    {
        std::lock_guard<std::mutex> lock(timeoutThread_.wakeMutex);
        if (nextDeadline_ == 0 || deadline < nextDeadline_) {
            nextDeadline_ = deadline;
            timeoutThread_.wake.notify_all();
        }
    }
    return true;
}

RequestCompletion FrameList::release(PendingTable::iterator entry) {
    // Enough spare nodes for a burst of requests in steady traffic; beyond
    // that they go back to the heap.
    constexpr std::size_t spareLimit = 256;
    RequestCompletion completion = std::move(entry->second.completion);
    if (spareNodes_.size() < spareLimit)
        spareNodes_.push_back(pendingRequests_.extract(entry));
    else
        pendingRequests_.erase(entry);
    return completion;
}

bool FrameList::completeRequest(const char* message, std::size_t length) {
    const std::uint32_t sequence = Wire::readU32(message + Header::sequence);
    RequestCompletion completion;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto entry = pendingRequests_.find(sequence);
        if (entry == pendingRequests_.end())
            return false;
        completion = release(entry);
    }
    completion(message, static_cast<unsigned>(length), ErrorCode::Success);
    return true;
}

void FrameList::timeoutLoop() {
    std::lock_guard<std::mutex> life(timeoutThread_.lifeMutex);
    std::unique_lock<std::mutex> wake(timeoutThread_.wakeMutex);
    while (timeoutThread_.running) {
        expire();
        if (nextDeadline_ == 0) {
            timeoutThread_.wake.wait_for(wake, idleTimeoutPoll);
        } else {
            const std::uint64_t now = clocks_.steadyNanoseconds();
            if (now < nextDeadline_)
                timeoutThread_.wake.wait_for(wake, std::chrono::nanoseconds(nextDeadline_ - now));
        }
    }
}

void FrameList::expireNow() {
    std::lock_guard<std::mutex> lock(timeoutThread_.wakeMutex);
    expire();
}

std::uint64_t FrameList::earliestDeadline() {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    std::uint64_t earliest = 0;
    for (const auto& [sequence, entry] : pendingRequests_) {
        if (earliest == 0 || entry.deadline < earliest)
            earliest = entry.deadline;
    }
    return earliest;
}

std::size_t FrameList::pendingCount() {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    return pendingRequests_.size();
}

bool FrameList::isLive(const DeadlineEntry& entry) const {
    const auto pending = pendingRequests_.find(entry.sequence);
    return pending != pendingRequests_.end() && pending->second.ticket == entry.ticket;
}

void FrameList::pushDeadline(const DeadlineEntry& entry) {
    // Finished requests leave their entries behind; once they are the great
    // majority the heap is rebuilt from the table, which keeps its size within
    // a small multiple of the pending requests at a cost spread over the pushes.
    constexpr std::size_t slack = 1024;
    if (deadlines_.size() >= slack && deadlines_.size() > 4 * pendingRequests_.size()) {
        deadlines_.clear();
        for (const auto& [sequence, pending] : pendingRequests_) {
            if (pending.ticket != entry.ticket)
                deadlines_.push_back(DeadlineEntry{pending.deadline, pending.ticket, sequence});
        }
        std::make_heap(deadlines_.begin(), deadlines_.end());
    }
    deadlines_.push_back(entry);
    std::push_heap(deadlines_.begin(), deadlines_.end());
}

void FrameList::expire() {
    const std::uint64_t now = clocks_.steadyNanoseconds();
    nextDeadline_ = 0;
    std::vector<RequestCompletion> expired;
    {
        // Only what is due, or finished, leaves the top of the heap: the pass
        // costs a logarithm per entry it takes, whatever the number pending.
        std::lock_guard<std::mutex> lock(pendingMutex_);
        while (!deadlines_.empty()) {
            const DeadlineEntry top = deadlines_.front();
            const bool live = isLive(top);
            if (live && top.deadline > now) {
                nextDeadline_ = top.deadline;
                break;
            }
            std::pop_heap(deadlines_.begin(), deadlines_.end());
            deadlines_.pop_back();
            if (live) {
                expired.push_back(release(pendingRequests_.find(top.sequence)));
            }
        }
        if (pendingRequests_.empty() && deadlines_.capacity() > 1024)
            std::vector<DeadlineEntry>().swap(deadlines_);
    }
    if (expired.empty())
        return;
    // One job for the whole pass, run in deadline order; a completion that
    // throws ends only itself, as a job of its own would.
    worker_.post([expired = std::move(expired)]() mutable {
        for (RequestCompletion& completion : expired) {
            try {
                completion(nullptr, 0, ErrorCode::TimedOut);
            } catch (...) {
            }
        }
    });
}

} // namespace Vorn
