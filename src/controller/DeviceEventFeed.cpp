#include "DeviceEventFeed.h"

void DeviceEventFeed::push(DeviceEvent event) {
    using Kind = DeviceEvent::Kind;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        const auto aside = asideById_.find(event.id);
        if (aside != asideById_.end()) {
            if (event.kind == Kind::Removed) {
                // Kept aside, never shown: it goes unseen, unless only a change of
                // a device shown waited there.
                const bool shown = aside->second->kind == Kind::Changed;
                aside_.erase(aside->second);
                asideById_.erase(aside);
                if (!shown)
                    return;
            } else if (event.kind == Kind::Changed) {
                const Kind kept = aside->second->kind; // an addition stays one
                *aside->second = std::move(event);
                aside->second->kind = kept;
                return;
            }
        } else if (events_.size() >= bound_ &&
                   (event.kind == Kind::Added || event.kind == Kind::Changed)) {
            aside_.push_back(std::move(event));
            asideById_.emplace(aside_.back().id, std::prev(aside_.end()));
            return; // the reader is woken by what waits in order
        }
        events_.push_back(std::move(event));
    }
    changed_.notify_one();
}

void DeviceEventFeed::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        events_.clear();
        aside_.clear();
        asideById_.clear();
    }
    changed_.notify_all();
}

std::optional<DeviceEvent> DeviceEventFeed::next() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || !events_.empty() || !aside_.empty(); });
    if (stopped_)
        return std::nullopt;
    if (events_.empty()) {
        DeviceEvent event = std::move(aside_.front());
        asideById_.erase(event.id);
        aside_.pop_front();
        return event;
    }
    DeviceEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}
