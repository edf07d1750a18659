#include "engine/framelist/RequestTable.h"

#include <algorithm>
#include <utility>

namespace Vorn {

RequestTable::Ticket RequestTable::add(std::uint32_t sequence, RequestCompletion completion,
                                       std::uint64_t deadline) {
    RequestCompletion replaced;
    Ticket ticket = 0;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        ticket = nextTicket_++;
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
    return ticket; // a replaced completion is dropped here, outside the lock, without being called
}

void RequestTable::withdraw(std::uint32_t sequence, Ticket ticket) {
    RequestCompletion withdrawn;
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto entry = pendingRequests_.find(sequence);
    if (entry != pendingRequests_.end() && entry->second.ticket == ticket)
        withdrawn = release(entry);
}

bool RequestTable::take(std::uint32_t sequence, RequestCompletion& completion,
                        std::uint64_t& deadline) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto entry = pendingRequests_.find(sequence);
    if (entry == pendingRequests_.end())
        return false;
    deadline = entry->second.deadline;
    completion = release(entry);
    return true;
}

RequestCompletion RequestTable::release(PendingTable::iterator entry) {
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

std::uint64_t RequestTable::takeExpired(std::uint64_t now,
                                        std::vector<RequestCompletion>& expired) {
    // Only what is due, or finished, leaves the top of the heap: the pass
    // costs a logarithm per entry it takes, whatever the number pending.
    std::lock_guard<std::mutex> lock(pendingMutex_);
    const DeadlineEntry* top = nullptr;
    while ((top = liveTop()) != nullptr && top->deadline <= now) {
        const std::uint32_t sequence = top->sequence;
        std::pop_heap(deadlines_.begin(), deadlines_.end());
        deadlines_.pop_back();
        expired.push_back(release(pendingRequests_.find(sequence)));
    }
    const std::uint64_t next = top != nullptr ? top->deadline : 0;
    if (pendingRequests_.empty() && deadlines_.capacity() > 1024)
        std::vector<DeadlineEntry>().swap(deadlines_);
    return next;
}

std::uint64_t RequestTable::nextDeadline() {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    const DeadlineEntry* top = liveTop();
    return top != nullptr ? top->deadline : 0;
}

const RequestTable::DeadlineEntry* RequestTable::liveTop() {
    while (!deadlines_.empty() && !isLive(deadlines_.front())) {
        std::pop_heap(deadlines_.begin(), deadlines_.end());
        deadlines_.pop_back();
    }
    return deadlines_.empty() ? nullptr : &deadlines_.front();
}

std::uint64_t RequestTable::earliestDeadline() const {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    std::uint64_t earliest = 0;
    for (const auto& [sequence, entry] : pendingRequests_) {
        if (earliest == 0 || entry.deadline < earliest)
            earliest = entry.deadline;
    }
    return earliest;
}

std::size_t RequestTable::size() const {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    return pendingRequests_.size();
}

bool RequestTable::isLive(const DeadlineEntry& entry) const {
    const auto pending = pendingRequests_.find(entry.sequence);
    return pending != pendingRequests_.end() && pending->second.ticket == entry.ticket;
}

void RequestTable::pushDeadline(const DeadlineEntry& entry) {
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

} // namespace Vorn
