#include "DeviceEventFeed.h"

void DeviceEventFeed::push(DeviceEvent event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
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
}

std::optional<DeviceEvent> DeviceEventFeed::next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || !events_.empty(); });
    if (stopped_)
        return std::nullopt;
    DeviceEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}
