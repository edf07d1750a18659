#include "engine/framelist/DeadlineTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace std::chrono_literals;
using Vorn::DeadlineTimer;
using Woken = DeadlineTimer::Woken;

namespace {

// Long enough never to ring during a test: a sleep that ends before it was
// ended by what the test did.
constexpr auto never = std::chrono::nanoseconds(3600s);

std::future<Woken> sleepOn(DeadlineTimer& timer) {
    return std::async(std::launch::async, [&timer] { return timer.sleep(); });
}

} // namespace

TEST(DeadlineTimerTest, ATimeMovedWhileTheSleeperSleepsWakesItAtTheNewTime) {
    DeadlineTimer timer;
    timer.set(never);
    auto sleeper = sleepOn(timer);
    EXPECT_EQ(sleeper.wait_for(20ms), std::future_status::timeout);
    timer.set(1ms);
    ASSERT_EQ(sleeper.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sleeper.get(), Woken::Rang);

    // A time already past, or now, rings at once.
    timer.set(-5s);
    EXPECT_EQ(timer.sleep(), Woken::Rang);
    timer.set(0ns);
    EXPECT_EQ(timer.sleep(), Woken::Rang);
}

TEST(DeadlineTimerTest, AnInterruptionWakesTheSleeperAndComesFirst) {
    DeadlineTimer timer;
    timer.clear();
    auto sleeper = sleepOn(timer);
    timer.interrupt();
    ASSERT_EQ(sleeper.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sleeper.get(), Woken::Interrupted);

    // Given before the sleep, it ends the next one; a timer that rang as well
    // is seen in the sleep after.
    timer.set(0ns);
    timer.interrupt();
    EXPECT_EQ(timer.sleep(), Woken::Interrupted);
    EXPECT_EQ(timer.sleep(), Woken::Rang);
}
