#pragma once

#include <functional>
#include <mutex>

namespace Vornctl {

// A request to read the files a running command keeps (SIGHUP: serve's token
// file), raised from any thread as often as it comes. A request with no
// listener is dropped: nothing was loaded yet that could be stale.
class ReloadSignal {
public:
    using Listener = std::function<void()>;

    // Runs the listener, if any, on the calling thread; requests run one at a time.
    void request();

    // Sets the one listener, or clears it with an empty function; once listen()
    // has returned, the previous listener is not running and never runs again.
    void listen(Listener listener);

private:
    std::mutex mutex_;  // held while the listener runs and while it is replaced
    Listener listener_; // guarded by mutex_
};

} // namespace Vornctl
