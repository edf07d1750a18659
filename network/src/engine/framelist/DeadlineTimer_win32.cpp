#include "engine/framelist/DeadlineTimer.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#include <winsock2.h> // also brings windows.h

namespace Vorn {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

} // namespace

// A waitable timer (set anew by any thread with SetWaitableTimer, which wakes
// no one until it is due) and an event for the interruption; both reset
// themselves when a wait ends on them.
struct DeadlineTimer::Handles {
    HANDLE timer = nullptr;
    HANDLE interruption = nullptr;
    ~Handles() {
        if (timer)
            CloseHandle(timer);
        if (interruption)
            CloseHandle(interruption);
    }
};

DeadlineTimer::DeadlineTimer() : handles_(std::make_unique<Handles>()) {
    handles_->timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (!handles_->timer)
        fail("CreateWaitableTimer");
    handles_->interruption = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!handles_->interruption)
        fail("CreateEvent");
}

DeadlineTimer::~DeadlineTimer() = default;

void DeadlineTimer::set(std::chrono::nanoseconds after) {
    // Negative: relative, in units of 100 ns (rounded up, at least one).
    LARGE_INTEGER due;
    due.QuadPart = -std::max<std::int64_t>((after.count() + 99) / 100, 1);
    if (!SetWaitableTimer(handles_->timer, &due, 0, nullptr, nullptr, FALSE))
        fail("SetWaitableTimer");
}

void DeadlineTimer::clear() {
    // A timer that rang unseen stays signalled: the sleeper wakes once more and
    // finds nothing due.
    CancelWaitableTimer(handles_->timer);
}

void DeadlineTimer::interrupt() {
    SetEvent(handles_->interruption);
}

DeadlineTimer::Woken DeadlineTimer::sleep() {
    const HANDLE watched[2] = {handles_->interruption, handles_->timer};
    switch (WaitForMultipleObjects(2, watched, FALSE, INFINITE)) {
    case WAIT_OBJECT_0:
        return Woken::Interrupted;
    case WAIT_OBJECT_0 + 1:
        return Woken::Rang;
    default:
        fail("WaitForMultipleObjects");
    }
}

} // namespace Vorn
