#include "engine/DeviceHealth.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using State = Vorn::DeviceHealth::State;

TEST(DeviceHealthTest, OutcomesMoveAFrameBetweenNewAnsweringAndFailing) {
    Vorn::DeviceHealth health;
    EXPECT_EQ(health.of(1), State::New);
    EXPECT_EQ(health.size(), 0u);

    // The first reply, and a reply after the frame counted as failing, are
    // news (its waiting requests are promoted); another reply is not.
    EXPECT_TRUE(health.answered(1));
    EXPECT_EQ(health.of(1), State::Answering);
    EXPECT_FALSE(health.answered(1));
    // One late or lost reply leaves it answering; the second in a row does not.
    health.failed(1);
    EXPECT_EQ(health.of(1), State::Answering);
    health.failed(1);
    EXPECT_EQ(health.of(1), State::Failing);
    health.failed(1);
    EXPECT_EQ(health.of(1), State::Failing);
    EXPECT_TRUE(health.answered(1));
    EXPECT_EQ(health.of(1), State::Answering);
    // A reply starts the count again: misses that are not in a row never fail it.
    for (int round = 0; round < 5; ++round) {
        health.failed(1);
        EXPECT_EQ(health.of(1), State::Answering);
        EXPECT_FALSE(health.answered(1));
    }

    // A first outcome may be a failure: still new after one, failing after two.
    health.failed(2);
    EXPECT_EQ(health.of(2), State::New);
    health.failed(2);
    EXPECT_EQ(health.of(2), State::Failing);
    EXPECT_TRUE(health.answered(2));
    EXPECT_EQ(health.of(3), State::New);
    EXPECT_EQ(health.size(), 2u);

    health.forget(1);
    EXPECT_EQ(health.of(1), State::New);
    EXPECT_TRUE(health.answered(1)); // news again after it came back
    health.forget(99);               // never seen: nothing happens
    EXPECT_EQ(health.size(), 2u);
}

TEST(DeviceHealthTest, PastItsCapTheTableStartsOver) {
    Vorn::DeviceHealth health;
    for (std::uint64_t id = 0; id < Vorn::DeviceHealth::cap; ++id) {
        health.failed(id);
        health.failed(id);
    }
    EXPECT_EQ(health.size(), Vorn::DeviceHealth::cap);
    // A known frame changes in place, the table does not start over.
    EXPECT_TRUE(health.answered(5));
    EXPECT_EQ(health.size(), Vorn::DeviceHealth::cap);
    // One more frame: everything else counts as new again.
    EXPECT_TRUE(health.answered(Vorn::DeviceHealth::cap));
    EXPECT_EQ(health.size(), 1u);
    EXPECT_EQ(health.of(5), State::New);
    EXPECT_EQ(health.of(6), State::New); // was failing
    EXPECT_EQ(health.of(Vorn::DeviceHealth::cap), State::Answering);
}

// Replies and time-outs from several I/O threads at once: each frame's first
// reply is reported as news exactly once. Meant for ThreadSanitizer as well.
TEST(DeviceHealthTest, ConcurrentFirstRepliesAreNewsOnce) {
    Vorn::DeviceHealth health;
    std::atomic<int> news{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (std::uint64_t id = 0; id < 500; ++id)
                if (health.answered(id))
                    ++news;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(news.load(), 500);
    EXPECT_EQ(health.size(), 500u);
}
