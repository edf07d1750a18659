#include "engine/framelist/PresenceTable.h"

#include "engine/framelist/TableMemory.h"

#include <utility>

namespace Vorn {

namespace {

// A frame survives while at most this many seconds have passed since it was last seen.
constexpr std::int64_t presenceLifetimeSeconds = 10;

} // namespace

PresenceTable::Change
PresenceTable::track(const FrameInfo& info, std::int32_t changeMark,
                     const std::function<void(std::uint64_t evicted)>& evicted) {
    std::lock_guard<std::mutex> lock(framesMutex_);
    auto entry = frames_.find(info.id);
    Change change = Change::None;
    if (entry == frames_.end()) {
        if (frames_.size() >= cap_ || waiting_.size() >= unansweredCap_) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            if (waiting_.empty())
                return Change::Refused;
            const std::uint64_t oldest = waiting_.front();
            forget(frames_.find(oldest));
            if (evicted)
                evicted(oldest);
        }
        entry = frames_.try_emplace(info.id).first;
        entry->second.waiting = waiting_.insert(waiting_.end(), info.id);
        change = Change::Added;
    } else if ((entry->second.info.mode != 0) != (info.mode != 0)) {
        change = Change::ModeFlipped;
    } else if (changeMark != entry->second.changeMark && info.mode == 0) {
        change = Change::Changed;
    }
    entry->second.info = info;
    entry->second.changeMark = changeMark;
    return change;
}

void PresenceTable::forget(std::unordered_map<std::uint64_t, Entry>::iterator entry) {
    if (!entry->second.answered)
        waiting_.erase(entry->second.waiting);
    frames_.erase(entry);
}

void PresenceTable::answered(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(framesMutex_);
    auto entry = frames_.find(id);
    if (entry == frames_.end() || entry->second.answered)
        return;
    entry->second.answered = true;
    waiting_.erase(entry->second.waiting);
}

std::uint64_t PresenceTable::dropped() const {
    return dropped_.load(std::memory_order_relaxed);
}

std::size_t PresenceTable::size() const {
    std::lock_guard<std::mutex> lock(framesMutex_);
    return frames_.size();
}

bool PresenceTable::refresh(std::uint64_t id, std::int64_t now, SenderCheck check) {
    std::lock_guard<std::mutex> lock(framesMutex_);
    auto entry = frames_.find(id);
    if (entry == frames_.end())
        return true;
    if (!check.acceptedIn(entry->second.info.mode))
        return false;
    entry->second.info.lastSeen = now;
    return true;
}

bool PresenceTable::contains(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(framesMutex_);
    return frames_.count(id) != 0;
}

std::optional<FrameInfo> PresenceTable::find(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(framesMutex_);
    auto entry = frames_.find(id);
    if (entry == frames_.end())
        return std::nullopt;
    return entry->second.info;
}

void PresenceTable::sweep(
    std::int64_t now,
    const std::function<void(std::vector<std::uint64_t>&& removed)>& whileLocked) {
    std::vector<std::uint64_t> removed;
    std::lock_guard<std::mutex> lock(framesMutex_);
    for (auto entry = frames_.begin(); entry != frames_.end();) {
        if (entry->second.info.lastSeen + presenceLifetimeSeconds < now) {
            removed.push_back(entry->first);
            if (!entry->second.answered)
                waiting_.erase(entry->second.waiting);
            entry = frames_.erase(entry);
        } else {
            ++entry;
        }
    }
    if (!removed.empty())
        shrinkAfterFlood(frames_);
    whileLocked(std::move(removed));
}

} // namespace Vorn
