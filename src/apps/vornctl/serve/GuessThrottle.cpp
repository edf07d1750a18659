#include "GuessThrottle.h"

#include <algorithm>

namespace Vornctl::Serve {

std::chrono::milliseconds GuessThrottle::failed(const std::string& address, Clock::time_point now) {
    auto found = table_.find(address);
    if (found == table_.end()) {
        makeRoom(now);
        found = table_.emplace(address, Entry{}).first;
    }
    Entry& entry = found->second;
    if (entry.failures > 0 && now - entry.last > settings_.forgetAfter)
        entry.failures = 0;
    entry.last = now;
    if (entry.failures < 64)
        ++entry.failures;
    if (entry.failures <= settings_.freeFailures)
        return std::chrono::milliseconds{0};
    const unsigned doublings = std::min(entry.failures - settings_.freeFailures - 1, 30u);
    const auto delay = settings_.firstDelay * (std::int64_t{1} << doublings);
    return std::min<std::chrono::milliseconds>(delay, settings_.maxDelay);
}

void GuessThrottle::succeeded(const std::string& address) {
    table_.erase(address);
}

std::size_t GuessThrottle::heldBack(Clock::time_point now) const {
    return static_cast<std::size_t>(
        std::count_if(table_.begin(), table_.end(), [&](const auto& item) {
            return item.second.failures >= settings_.freeFailures &&
                   now - item.second.last <= settings_.forgetAfter;
        }));
}

void GuessThrottle::makeRoom(Clock::time_point now) {
    if (table_.size() < settings_.maxAddresses)
        return;
    std::erase_if(table_,
                  [&](const auto& item) { return now - item.second.last > settings_.forgetAfter; });
    if (table_.size() < settings_.maxAddresses)
        return;
    const auto quietest =
        std::min_element(table_.begin(), table_.end(), [](const auto& a, const auto& b) {
            return a.second.last < b.second.last;
        });
    table_.erase(quietest);
}

} // namespace Vornctl::Serve
