#pragma once

#include <chrono>
#include <memory>

namespace Vorn {

// A sleep until a time that other threads may set, move or clear without
// waking the sleeper: the time-out thread sleeps until the earliest deadline
// of a request still pending, and the reply that ends that request moves the
// time on instead of waking it. One thread sleeps; any thread sets.
class DeadlineTimer {
public:
    // Throws std::system_error when the system gives no timer.
    DeadlineTimer();
    ~DeadlineTimer();
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;

    // Rings `after` from now (at once when not positive), in place of any time
    // set before.
    void set(std::chrono::nanoseconds after);
    // Rings no more until set again.
    void clear();
    // Wakes the sleeper now (to stop it), or at once in its next sleep.
    void interrupt();

    enum class Woken { Rang, Interrupted };
    // Sleeps until the time set passes or interrupt() is called.
    Woken sleep();

private:
    struct Handles; // the system's timer and the interruption's signal
    const std::unique_ptr<Handles> handles_;
};

} // namespace Vorn
