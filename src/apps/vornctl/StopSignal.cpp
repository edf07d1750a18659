#include "StopSignal.h"

namespace Vornctl {

void StopSignal::request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (requested_)
            return;
        requested_ = true;
    }
    std::lock_guard<std::mutex> lock(listenerMutex_);
    if (listener_)
        listener_();
}

bool StopSignal::requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

void StopSignal::listen(Listener listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listener_ = std::move(listener);
    if (listener_ && requested())
        listener_();
}

} // namespace Vornctl
