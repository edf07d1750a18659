#include "ReloadSignal.h"

namespace Vornctl {

void ReloadSignal::request() {
    const std::lock_guard lock(mutex_);
    if (listener_)
        listener_();
}

void ReloadSignal::listen(Listener listener) {
    const std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

} // namespace Vornctl
