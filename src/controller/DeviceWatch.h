#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

// The devices present on the network as the controller reports them. The
// controller's device handlers call added() and removed() on the frame list's
// worker; they only take the watch's own lock and wake the waiter.
class DeviceWatch {
public:
    using Clock = std::chrono::steady_clock;

    void added(std::uint64_t id);
    void removed(std::uint64_t id);

    // True as soon as `id` is present; false when `deadline` passes first.
    bool waitFor(std::uint64_t id, Clock::time_point deadline);
    // Waits until `deadline`, calling `report` with the number of devices
    // present first and then after every change (outside the lock).
    void watchUntil(Clock::time_point deadline, const std::function<void(std::size_t)>& report);
    std::vector<std::uint64_t> present() const;
    // Waits until no device has come or gone for `quiet` (the devices that
    // answered the tool's presence are all listed), or until `deadline`.
    void waitUntilQuiet(std::chrono::milliseconds quiet, Clock::time_point deadline);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::set<std::uint64_t> present_;             // guarded by mutex_
    std::uint64_t version_ = 0;                   // guarded by mutex_; counts changes
    Clock::time_point lastChange_ = Clock::now(); // guarded by mutex_
};
