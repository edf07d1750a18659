#include "DeviceEventFeed.h"

void DeviceEventFeed::push(DeviceEvent event) {
    const bool mayWait =
        event.kind != DeviceEvent::Kind::Named && event.kind != DeviceEvent::Kind::NameUnread;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (mayWait)
            room_.wait(lock, [this] { return stopped_ || events_.size() < bound_; });
        if (stopped_)
            return;
        events_.push_back(std::move(event));
    }
    changed_.notify_one();
}

void DeviceEventFeed::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        events_.clear();
    }
    changed_.notify_all();
    room_.notify_all();
}

std::optional<DeviceEvent> DeviceEventFeed::next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || !events_.empty(); });
    if (stopped_)
        return std::nullopt;
    DeviceEvent event = std::move(events_.front());
    events_.pop_front();
    // A push waits only while the feed holds `bound_` events or more (names
    // may take it above): room comes as it falls under the bound.
    const bool roomMade = events_.size() + 1 == bound_;
    lock.unlock();
    if (roomMade)
        room_.notify_all();
    return event;
}
