#include "Outbox.h"

#include <algorithm>

namespace Fleet {

Outbox::Outbox(std::uint64_t acknowledged, OutboxSettings settings)
    : settings_(settings), acknowledged_(acknowledged), sentThrough_(acknowledged) {}

void Outbox::add(std::uint64_t sequence, std::string payload) {
    if (sequence <= acknowledged_)
        return;
    records_.emplace(sequence, std::move(payload));
}

bool Outbox::acknowledge(std::uint64_t sequence, Clock::time_point now) {
    if (sequence <= acknowledged_)
        return false;
    acknowledged_ = sequence;
    records_.erase(records_.begin(), records_.upper_bound(sequence));
    sentThrough_ = std::max(sentThrough_, sequence);
    waitingSince_ = now;
    return true;
}

void Outbox::connected(Clock::time_point now) {
    connected_ = true;
    sentThrough_ = acknowledged_;
    waitingSince_ = now;
}

void Outbox::disconnected() {
    connected_ = false;
}

std::vector<OutgoingRecord> Outbox::due(Clock::time_point now) {
    std::vector<OutgoingRecord> out;
    if (!connected_)
        return out;
    const bool inFlight = sentThrough_ > acknowledged_ && !records_.empty() &&
                          records_.begin()->first <= sentThrough_;
    if (inFlight && now - waitingSince_ >= settings_.stall)
        sentThrough_ = acknowledged_; // lost on the way, or nobody stored them: again
    else if (!inFlight)
        waitingSince_ = now;
    std::size_t inWindow = 0;
    for (auto it = records_.begin(); it != records_.end() && inWindow < settings_.window;
         ++it, ++inWindow) {
        if (it->first <= sentThrough_)
            continue;
        if (out.empty() && sentThrough_ == acknowledged_)
            waitingSince_ = now;
        out.push_back({it->first, it->second});
        sentThrough_ = it->first;
    }
    return out;
}

Outbox::Clock::time_point Outbox::nextWake() const {
    const bool inFlight =
        connected_ && !records_.empty() && records_.begin()->first <= sentThrough_;
    return inFlight ? waitingSince_ + settings_.stall : Clock::time_point::max();
}

std::uint64_t Outbox::highest() const {
    return records_.empty() ? acknowledged_ : records_.rbegin()->first;
}

} // namespace Fleet
