#pragma once

#include <functional>
#include <mutex>

namespace Vornctl {

// A request to stop, raised once from any thread (a signal handler's thread,
// a test) and seen by whoever waits for it. The listener only wakes its
// waiter; it may run twice when the request and listen() cross, so it must
// not mind.
class StopSignal {
public:
    using Listener = std::function<void()>;

    // Idempotent; calls the listener (if any) the first time.
    void request();
    bool requested() const;

    // Sets the one listener, or clears it with an empty function. A listener
    // set after the request runs at once; once listen() has returned, the
    // previous listener is not running and never runs again.
    void listen(Listener listener);

private:
    // Held while the listener runs and while it is replaced; never taken
    // inside mutex_.
    std::mutex listenerMutex_;
    Listener listener_; // guarded by listenerMutex_
    mutable std::mutex mutex_;
    bool requested_ = false; // guarded by mutex_
};

} // namespace Vornctl
