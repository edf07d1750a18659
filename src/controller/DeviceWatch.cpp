#include "DeviceWatch.h"

#include <algorithm>

void DeviceWatch::added(std::uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_.insert(id);
        ++version_;
        lastChange_ = Clock::now();
    }
    changed_.notify_all();
}

void DeviceWatch::removed(std::uint64_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        present_.erase(id);
        ++version_;
        lastChange_ = Clock::now();
    }
    changed_.notify_all();
}

bool DeviceWatch::waitFor(std::uint64_t id, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return present_.count(id) != 0; });
}

void DeviceWatch::watchUntil(Clock::time_point deadline,
                             const std::function<void(std::size_t)>& report) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const std::uint64_t seen = version_;
        const std::size_t count = present_.size();
        lock.unlock();
        report(count);
        lock.lock();
        if (!changed_.wait_until(lock, deadline, [&] { return version_ != seen; }))
            return;
    }
}

void DeviceWatch::waitUntilQuiet(std::chrono::milliseconds quiet, Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const Clock::time_point until = std::min(lastChange_ + quiet, deadline);
        if (Clock::now() >= until)
            return;
        changed_.wait_until(lock, until);
    }
}

std::vector<std::uint64_t> DeviceWatch::present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {present_.begin(), present_.end()};
}
