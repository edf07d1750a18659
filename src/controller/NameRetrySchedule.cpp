#include "NameRetrySchedule.h"

#include <algorithm>
#include <limits>
#include <utility>

std::uint64_t NameRetrySchedule::delayMs(unsigned failures) {
    switch (failures) {
    case 0:
    case 1:
        return 10000;
    case 2:
        return 30000;
    default:
        return 60000;
    }
}

bool NameRetrySchedule::failed(std::uint64_t deviceId, std::uint64_t now) {
    Device& device = devices_[deviceId];
    if (device.failures >= maxFailures)
        return false; // given up already
    ++device.failures;
    if (device.failures == maxFailures) {
        // Kept (with no time due) until forget(), so that the device is not
        // taken for a new one and asked all over again.
        device.due = std::numeric_limits<std::uint64_t>::max();
        return false;
    }
    device.due = now + delayMs(device.failures) * 1000000;
    return true;
}

void NameRetrySchedule::forget(std::uint64_t deviceId) {
    devices_.erase(deviceId);
}

std::vector<std::uint64_t> NameRetrySchedule::takeDue(std::uint64_t now) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> due; // (due, device)
    for (auto& [id, device] : devices_)
        if (device.due != 0 && device.due <= now &&
            device.due != std::numeric_limits<std::uint64_t>::max()) {
            due.emplace_back(device.due, id);
            device.due = 0;
        }
    std::sort(due.begin(), due.end());
    std::vector<std::uint64_t> ids;
    ids.reserve(due.size());
    for (const auto& entry : due)
        ids.push_back(entry.second);
    return ids;
}

std::optional<std::uint64_t> NameRetrySchedule::nextDue() const {
    std::optional<std::uint64_t> earliest;
    for (const auto& [id, device] : devices_)
        if (device.due != 0 && device.due != std::numeric_limits<std::uint64_t>::max() &&
            (!earliest || device.due < *earliest))
            earliest = device.due;
    return earliest;
}
