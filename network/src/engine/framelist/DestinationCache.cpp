#include "engine/framelist/DestinationCache.h"

#include "engine/framelist/TableMemory.h"

#include <algorithm>
#include <utility>

namespace Vorn {

void DestinationCache::record(const Destination& destination) {
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    destinations_[destination.frameId] = Entry{destination, 0};
}

void DestinationCache::moveTo(std::uint64_t frameId, std::uint32_t address) {
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    auto entry = destinations_.find(frameId);
    if (entry != destinations_.end())
        entry->second.destination.address = address;
}

bool DestinationCache::find(std::uint64_t frameId, Destination& out) const {
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    auto entry = destinations_.find(frameId);
    if (entry == destinations_.end())
        return false;
    out = entry->second.destination;
    return true;
}

void DestinationCache::leave(std::uint64_t frameId) {
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    auto entry = destinations_.find(frameId);
    if (entry != destinations_.end())
        entry->second.absentSince = sweepCount_ + 1;
}

void DestinationCache::retire(const std::vector<std::uint64_t>& removed) {
    std::lock_guard<std::mutex> lock(destinationsMutex_);
    const std::uint64_t sweep = ++sweepCount_;
    for (std::uint64_t id : removed) {
        auto entry = destinations_.find(id);
        if (entry != destinations_.end())
            entry->second.absentSince = sweep;
    }
    if (destinations_.size() <= cap_)
        return;
    // Over the cap: the longest absent go first; present frames always stay.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> absent; // (absentSince, id)
    for (const auto& [id, entry] : destinations_) {
        if (entry.absentSince != 0)
            absent.emplace_back(entry.absentSince, id);
    }
    const std::size_t excess = destinations_.size() - cap_;
    const std::size_t count = std::min(excess, absent.size());
    std::nth_element(absent.begin(), absent.begin() + static_cast<std::ptrdiff_t>(count),
                     absent.end());
    for (std::size_t i = 0; i < count; ++i)
        destinations_.erase(absent[i].second);
    shrinkAfterFlood(destinations_);
}

} // namespace Vorn
