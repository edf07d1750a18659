#pragma once

#include <list>
#include <memory>
#include <mutex>

namespace Vorn {

// Publish/subscribe list with weak subscriptions: a subscription lives exactly
// as long as the token returned by subscribe(). Subscribers are called in
// subscription order with the event's mutex held, so a subscriber must not
// subscribe to or raise the same event from inside its call; it may drop its
// own token.
template <class F> class Event {
public:
    using Token = std::shared_ptr<F>;

    // Cursor over the live subscribers; holds the event locked while it lives.
    class Handlers {
    public:
        explicit Handlers(Event& event) : lock_(event.mutex_), event_(event) {
            position_ = event_.subscribers_.begin();
        }
        Handlers(const Handlers&) = delete;
        Handlers& operator=(const Handlers&) = delete;

        // The next live subscriber, or empty at the end. Expired entries met on
        // the way are erased.
        std::shared_ptr<F> next() {
            while (position_ != event_.subscribers_.end()) {
                if (auto callable = position_->lock()) {
                    ++position_;
                    return callable;
                }
                position_ = event_.subscribers_.erase(position_);
            }
            return {};
        }

    private:
        std::unique_lock<std::mutex> lock_;
        Event& event_;
        typename std::list<std::weak_ptr<F>>::iterator position_;
    };

    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    [[nodiscard]] Token subscribe(F callable) {
        auto token = std::make_shared<F>(std::move(callable));
        std::lock_guard<std::mutex> lock(mutex_);
        subscribers_.push_back(token);
        return token;
    }

    // True while any subscription (live or not yet pruned) is listed: lets a
    // raiser skip building arguments nobody would receive.
    bool hasSubscribers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !subscribers_.empty();
    }

    std::shared_ptr<Handlers> handlers() { return std::make_shared<Handlers>(*this); }

    template <class... Args> void raise(Args&&... args) {
        auto cursor = handlers();
        while (auto callable = cursor->next())
            (*callable)(args...);
    }

private:
    std::mutex mutex_; // guards subscribers_
    std::list<std::weak_ptr<F>> subscribers_;
};

} // namespace Vorn
