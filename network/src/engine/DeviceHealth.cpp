#include "engine/DeviceHealth.h"

namespace Vorn {

DeviceHealth::State DeviceHealth::Record::state() const {
    if (misses >= missesToFail)
        return State::Failing;
    return answered ? State::Answering : State::New;
}

DeviceHealth::State DeviceHealth::of(std::uint64_t frameId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = records_.find(frameId);
    return found == records_.end() ? State::New : found->second.state();
}

bool DeviceHealth::answered(std::uint64_t frameId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Record& record = recordOf(frameId);
    const State before = record.state();
    record.answered = true;
    record.misses = 0;
    return before != State::Answering;
}

void DeviceHealth::failed(std::uint64_t frameId) {
    std::lock_guard<std::mutex> lock(mutex_);
    Record& record = recordOf(frameId);
    if (record.misses < missesToFail)
        ++record.misses;
}

void DeviceHealth::forget(std::uint64_t frameId) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.erase(frameId);
}

std::size_t DeviceHealth::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

DeviceHealth::Record& DeviceHealth::recordOf(std::uint64_t frameId) {
    // An outcome can arrive just after its frame left and was forgotten; the
    // cap keeps such leftovers from piling up. What is lost is advice only:
    // the frames count as new again.
    if (records_.size() >= cap && records_.find(frameId) == records_.end())
        records_.clear();
    return records_[frameId];
}

} // namespace Vorn
