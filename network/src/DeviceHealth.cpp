#include "DeviceHealth.h"

DeviceHealth::State DeviceHealth::of(std::uint64_t frameId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = answering_.find(frameId);
    if (found == answering_.end())
        return State::New;
    return found->second ? State::Answering : State::Failing;
}

bool DeviceHealth::answered(std::uint64_t frameId) {
    return set(frameId, true) != State::Answering;
}

void DeviceHealth::failed(std::uint64_t frameId) {
    set(frameId, false);
}

void DeviceHealth::forget(std::uint64_t frameId) {
    std::lock_guard<std::mutex> lock(mutex_);
    answering_.erase(frameId);
}

std::size_t DeviceHealth::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answering_.size();
}

DeviceHealth::State DeviceHealth::set(std::uint64_t frameId, bool answering) {
    std::lock_guard<std::mutex> lock(mutex_);
    // An outcome can arrive just after its frame left and was forgotten; the
    // cap keeps such leftovers from piling up. What is lost is advice only:
    // the frames count as new again.
    auto found = answering_.find(frameId);
    if (found != answering_.end()) {
        const State before = found->second ? State::Answering : State::Failing;
        found->second = answering;
        return before;
    }
    if (answering_.size() >= cap)
        answering_.clear();
    answering_.emplace(frameId, answering);
    return State::New;
}
