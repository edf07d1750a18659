#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

namespace Network {

// Ordered set of non-owning handler pointers. Registration order is delivery
// order; a handler is present at most once. The mutex is never held while a
// handler runs.
template <class Handler> class EventSource {
public:
    void addHandler(Handler* handler) {
        std::lock_guard<std::mutex> lock(handlersMutex_);
        if (std::find(handlers_.begin(), handlers_.end(), handler) == handlers_.end())
            handlers_.push_back(handler);
    }

    void removeHandler(Handler* handler) {
        std::lock_guard<std::mutex> lock(handlersMutex_);
        auto found = std::find(handlers_.begin(), handlers_.end(), handler);
        if (found != handlers_.end())
            handlers_.erase(found);
    }

protected:
    // Calls `deliver` with each handler, in order, outside the lock. The count
    // is read once; a handler added meanwhile is first called for the next delivery.
    template <class Deliver> void forEachHandler(Deliver&& deliver) {
        std::size_t count;
        {
            std::lock_guard<std::mutex> lock(handlersMutex_);
            count = handlers_.size();
        }
        for (std::size_t i = 0; i < count; ++i) {
            Handler* handler = nullptr;
            {
                std::lock_guard<std::mutex> lock(handlersMutex_);
                if (i < handlers_.size())
                    handler = handlers_[i];
            }
            if (handler)
                deliver(*handler);
        }
    }

private:
    std::mutex handlersMutex_; // guards handlers_
    std::vector<Handler*> handlers_;
};

} // namespace Network
