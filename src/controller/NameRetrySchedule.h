#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

// When to ask a device for its name again after a request for it failed: 10 s
// after the first failure, 30 s after the second, 60 s after the third and
// every 60 s from then on, for as long as the device stays. A rack that boots
// slowly, announcing itself before it answers, gets its names once it does,
// without a device that never answers being asked more than once a minute.
// After `maxFailures` failed requests (about 18 minutes of asking) a device is
// asked no more until it leaves and comes back: one that announces itself
// without ever answering (a fault, or a stranger's made-up ID) costs a bounded
// number of requests. Times are steady nanoseconds. Not thread-safe: its owner
// guards it.
class NameRetrySchedule {
public:
    static constexpr unsigned maxFailures = 20;

    // The wait after the n-th failure (n from 1), in milliseconds.
    static std::uint64_t delayMs(unsigned failures);

    // A request for the device's name failed at `now`: schedules the next
    // one; false (and nothing scheduled) after the last one allowed.
    bool failed(std::uint64_t deviceId, std::uint64_t now);
    // The device was named, or left: nothing more is asked.
    void forget(std::uint64_t deviceId);
    // The devices whose next request is due at `now`, earliest first. They stay
    // known, with their failures counted, until failed() or forget().
    std::vector<std::uint64_t> takeDue(std::uint64_t now);
    // The earliest time a request is due; nothing when none is scheduled.
    std::optional<std::uint64_t> nextDue() const;
    std::size_t size() const { return devices_.size(); }

private:
    struct Device {
        unsigned failures = 0;
        std::uint64_t due = 0; // 0: asked, outcome not known yet; max: given up
    };
    std::unordered_map<std::uint64_t, Device> devices_;
};
