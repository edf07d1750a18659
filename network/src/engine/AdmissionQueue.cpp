#include "engine/AdmissionQueue.h"

#include <algorithm>
#include <utility>

namespace Vorn {

namespace {

std::size_t& boundedCount(Lane lane, std::size_t& user, std::size_t& background) {
    return lane == Lane::User ? user : background;
}

} // namespace

void AdmissionQueue::push(Entry entry) {
    if (entry.bounded)
        ++boundedCount(entry.lane, boundedUser_, boundedBackground_);
    entry.arrival = ++arrivals_;
    if (entry.giveUpAt != 0)
        giveUpTimes_.insert(entry.giveUpAt);
    const std::uint64_t frameId = entry.frameId;
    auto& lane = lanes_[static_cast<std::size_t>(entry.lane)];
    lane.push_back(std::move(entry));
    byFrame_.emplace(frameId, std::prev(lane.end()));
    ++count_;
}

AdmissionQueue::Entry AdmissionQueue::take(LaneList& lane, LaneList::iterator at) {
    auto [first, last] = byFrame_.equal_range(at->frameId);
    for (auto it = first; it != last; ++it)
        if (it->second == at) {
            byFrame_.erase(it);
            break;
        }
    if (at->bounded)
        --boundedCount(at->lane, boundedUser_, boundedBackground_);
    if (at->giveUpAt != 0)
        giveUpTimes_.erase(giveUpTimes_.find(at->giveUpAt));
    --count_;
    Entry entry = std::move(*at);
    lane.erase(at);
    return entry;
}

std::vector<AdmissionQueue::LaneList::iterator>
AdmissionQueue::entriesOf(std::uint64_t frameId) const {
    std::vector<LaneList::iterator> found;
    auto [first, last] = byFrame_.equal_range(frameId);
    for (auto it = first; it != last; ++it)
        found.push_back(it->second);
    // The index keeps no order of its own: the entries as they queued.
    std::sort(found.begin(), found.end(), [](LaneList::iterator a, LaneList::iterator b) {
        return a->lane != b->lane ? a->lane < b->lane : a->arrival < b->arrival;
    });
    return found;
}

std::vector<AdmissionQueue::Entry> AdmissionQueue::takeFrame(std::uint64_t frameId) {
    const std::vector<LaneList::iterator> found = entriesOf(frameId);
    std::vector<Entry> taken;
    taken.reserve(found.size());
    for (auto it : found)
        taken.push_back(take(lanes_[static_cast<std::size_t>(it->lane)], it));
    return taken;
}

std::size_t AdmissionQueue::promote(std::uint64_t frameId, Lane lane) {
    std::vector<LaneList::iterator> found = entriesOf(frameId);
    // They join the lane in the order they began to wait, whatever lane each waited in.
    std::sort(found.begin(), found.end(),
              [](LaneList::iterator a, LaneList::iterator b) { return a->arrival < b->arrival; });
    std::size_t moved = 0;
    auto& to = lanes_[static_cast<std::size_t>(lane)];
    for (const auto at : found) {
        if (at->lane <= lane || at->lane == Lane::User)
            continue;
        // The node moves as it is: the index's iterator stays valid.
        to.splice(to.end(), lanes_[static_cast<std::size_t>(at->lane)], at);
        at->lane = lane;
        ++moved;
    }
    return moved;
}

std::vector<AdmissionQueue::Entry> AdmissionQueue::takeExpired(std::uint64_t now) {
    std::vector<Entry> taken;
    if (giveUpTimes_.empty() || *giveUpTimes_.begin() > now)
        return taken;
    for (auto& lane : lanes_)
        for (auto it = lane.begin(); it != lane.end();) {
            auto next = std::next(it);
            if (it->giveUpAt != 0 && it->giveUpAt <= now)
                taken.push_back(take(lane, it));
            it = next;
        }
    return taken;
}

void AdmissionQueue::clear() {
    byFrame_.clear();
    giveUpTimes_.clear();
    for (auto& lane : lanes_)
        lane.clear();
    count_ = boundedUser_ = boundedBackground_ = 0;
}

} // namespace Vorn
