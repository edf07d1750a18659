#include "WatchFeed.h"

namespace Vornctl {

void WatchFeed::push(WatchEvent event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        events_.push_back(std::move(event));
    }
    changed_.notify_one();
}

void WatchFeed::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        events_.clear();
    }
    changed_.notify_all();
}

std::optional<WatchEvent> WatchFeed::next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || !events_.empty(); });
    if (stopped_)
        return std::nullopt;
    WatchEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}

} // namespace Vornctl
