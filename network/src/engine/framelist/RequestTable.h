#pragma once

#include "engine/RequestCompletion.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace Vorn {

// The requests awaiting a reply, keyed by the sequence their reply carries,
// each with its deadline on the steady clock (nanoseconds). The table only
// keeps and hands out completions; its callers call them, never under its lock.
// Callable from any thread.
class RequestTable {
public:
    // Tells a request from a later one under the same sequence.
    using Ticket = std::uint64_t;

    // Keeps `completion` under `sequence` until `deadline`. A request already
    // pending under the sequence is replaced: its completion is dropped uncalled.
    Ticket add(std::uint32_t sequence, RequestCompletion completion, std::uint64_t deadline);
    // Takes back the request `ticket` if it is still the one pending under
    // `sequence` (its send was refused); its completion is dropped uncalled.
    void withdraw(std::uint32_t sequence, Ticket ticket);
    // Takes the request pending under `sequence` out of the table into
    // `completion`, and its deadline into `deadline`; false (and both
    // untouched) when none is.
    bool take(std::uint32_t sequence, RequestCompletion& completion, std::uint64_t& deadline);
    // Moves the completions of the requests whose deadline is at or before
    // `now` into `expired`, earliest deadline first, and returns the earliest
    // deadline still pending (0: none).
    std::uint64_t takeExpired(std::uint64_t now, std::vector<RequestCompletion>& expired);

    // The earliest deadline pending; 0 when none is. A scan of the table.
    std::uint64_t earliestDeadline() const;
    // The same from the deadline order, dropping the entries of finished
    // requests from its top on the way: a logarithm per entry dropped.
    std::uint64_t nextDeadline();
    std::size_t size() const;

private:
    struct PendingRequest {
        RequestCompletion completion;
        std::uint64_t deadline = 0; // steady nanoseconds
        Ticket ticket = 0;
    };
    using PendingTable = std::unordered_map<std::uint32_t, PendingRequest>;
    // A pending request's place in the deadline order. Entries of requests
    // that completed or were replaced stay until they reach the top of the heap
    // or the heap is rebuilt (their ticket no longer matches the table's).
    struct DeadlineEntry {
        std::uint64_t deadline = 0; // steady nanoseconds
        Ticket ticket = 0;
        std::uint32_t sequence = 0;
        // Orders the heap earliest first.
        bool operator<(const DeadlineEntry& other) const { return deadline > other.deadline; }
    };

    // True when the deadline entry belongs to a request still pending. Called
    // with pendingMutex_ held.
    bool isLive(const DeadlineEntry& entry) const;
    // Drops the entries of finished requests from the top of the deadline
    // order; the entry of the earliest request still pending, or none. Called
    // with pendingMutex_ held.
    const DeadlineEntry* liveTop();
    // Adds a deadline; drops the entries of finished requests when they
    // outnumber the live ones. Called with pendingMutex_ held.
    void pushDeadline(const DeadlineEntry& entry);
    // Takes the entry out of the table and keeps its node for reuse; returns
    // its completion. Called with pendingMutex_ held.
    RequestCompletion release(PendingTable::iterator entry);

    PendingTable pendingRequests_; // guarded by pendingMutex_
    // Nodes of finished requests kept for the next ones, so that a request in
    // steady traffic allocates no table node. Guarded by pendingMutex_.
    std::vector<PendingTable::node_type> spareNodes_;
    // Min-heap on the deadline (std::push_heap order), guarded by pendingMutex_:
    // the expiry pass takes only what is due instead of scanning every request.
    std::vector<DeadlineEntry> deadlines_;
    Ticket nextTicket_ = 0; // guarded by pendingMutex_
    mutable std::mutex pendingMutex_;
};

} // namespace Vorn
