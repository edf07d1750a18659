#include "EventQueue.h"

namespace Vornctl::Serve {

bool EventQueue::push(std::string_view line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (overflowed_)
        return false;
    if (pending_.size() + line.size() + 1 > capacity_) {
        overflowed_ = true;
        pending_.clear();
        pending_.shrink_to_fit();
        return true; // the writer drops the client
    }
    const bool wake = pending_.empty();
    pending_.append(line);
    pending_ += '\n';
    return wake;
}

std::string EventQueue::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    out.swap(pending_);
    return out;
}

bool EventQueue::overflowed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return overflowed_;
}

} // namespace Vornctl::Serve
