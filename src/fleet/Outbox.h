#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The box's side of delivering its journal: the records above the archive's
// acknowledged number, sent in order with a bounded window in flight, and sent
// again after a reconnect or when the acknowledgement stops moving. The
// broker's own acknowledgement counts for nothing here: a record is delivered
// when the archive that stored it says so (journal/ack). No I/O: the caller
// feeds it the journal's records, the acknowledgements and the time, and
// publishes what due() returns.
namespace Fleet {

struct OutboxSettings {
    std::size_t window = 64; // records sent and not yet acknowledged, at most
    // Sent again when the acknowledgement has not moved for this long while
    // records are in flight (a broker that lost them, an archive that was away).
    std::chrono::steady_clock::duration stall = std::chrono::seconds(10);
};

struct OutgoingRecord {
    std::uint64_t sequence = 0;
    std::string payload;
};

class Outbox {
public:
    using Clock = std::chrono::steady_clock;

    // `acknowledged`: the archive's number as last saved.
    Outbox(std::uint64_t acknowledged, OutboxSettings settings);

    // A journal record to deliver, read from the journal. Records at or below
    // the acknowledged number, or already held, are passed over.
    void add(std::uint64_t sequence, std::string payload);

    // The archive stored everything up to `sequence`: true when that moved the
    // acknowledged number on (the caller saves it). Never moves it back.
    bool acknowledge(std::uint64_t sequence, Clock::time_point now);

    // The broker connection is up (all in the window are sent again) or down
    // (nothing is due until it is up again).
    void connected(Clock::time_point now);
    void disconnected();

    // The records to publish now, in order: those in the window not yet sent on
    // this connection, or all of the window again after a stall.
    std::vector<OutgoingRecord> due(Clock::time_point now);
    // When due() next has something without another call here (a stall's
    // resend); Clock::time_point::max() when nothing waits on the time.
    Clock::time_point nextWake() const;

    std::uint64_t acknowledged() const { return acknowledged_; }
    // Records held that the archive has not acknowledged.
    std::size_t waiting() const { return records_.size(); }
    // The highest number held or acknowledged.
    std::uint64_t highest() const;

private:
    const OutboxSettings settings_;
    std::uint64_t acknowledged_;
    std::map<std::uint64_t, std::string> records_; // above acknowledged_
    bool connected_ = false;
    // Sent on this connection: every record held up to this number.
    std::uint64_t sentThrough_ = 0;
    // Since when the acknowledgement waits: the last send of a window that
    // was empty of records in flight, or the last move of the acknowledgement.
    Clock::time_point waitingSince_{};
};

} // namespace Fleet
