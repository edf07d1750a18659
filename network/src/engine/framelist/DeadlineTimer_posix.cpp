#include "engine/framelist/DeadlineTimer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace Vorn {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void arm(int timer, std::int64_t nanoseconds) {
    itimerspec due{};
    due.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    due.it_value.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    if (::timerfd_settime(timer, 0, &due, nullptr) != 0)
        fail("timerfd_settime");
}

// Both descriptors do not block: a timer set anew between the poll and the
// read has nothing to read.
void drain(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace

// A monotonic timerfd (set by any thread with timerfd_settime, which wakes no
// one until it expires) and an eventfd for the interruption.
struct DeadlineTimer::Handles {
    int timer = -1;
    int interruption = -1;
    ~Handles() {
        if (timer >= 0)
            ::close(timer);
        if (interruption >= 0)
            ::close(interruption);
    }
};

DeadlineTimer::DeadlineTimer() : handles_(std::make_unique<Handles>()) {
    handles_->timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (handles_->timer < 0)
        fail("timerfd_create");
    handles_->interruption = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (handles_->interruption < 0)
        fail("eventfd");
}

DeadlineTimer::~DeadlineTimer() = default;

void DeadlineTimer::set(std::chrono::nanoseconds after) {
    arm(handles_->timer, std::max<std::int64_t>(after.count(), 1)); // 0 would clear it
}

void DeadlineTimer::clear() {
    arm(handles_->timer, 0);
}

void DeadlineTimer::interrupt() {
    const std::uint64_t one = 1;
    // EAGAIN: the counter is full, the sleeper is interrupted already.
    while (::write(handles_->interruption, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

DeadlineTimer::Woken DeadlineTimer::sleep() {
    pollfd watched[2] = {{handles_->timer, POLLIN, 0}, {handles_->interruption, POLLIN, 0}};
    while (::poll(watched, 2, -1) < 0)
        if (errno != EINTR)
            fail("poll");
    if (watched[1].revents != 0) {
        drain(handles_->interruption);
        return Woken::Interrupted;
    }
    drain(handles_->timer);
    return Woken::Rang;
}

} // namespace Vorn
