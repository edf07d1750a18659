#include "DeviceEventFeed.h"
#include "DeviceWatch.h"
#include "Handoff.h"

#include "Recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(Handoff, DeliversAcrossThreadsOnceAndHonoursTheDeadline) {
    Handoff<int> late;
    const auto start = Clock::now();
    EXPECT_FALSE(late.waitUntil(start + 50ms));
    EXPECT_GE(Clock::now() - start, 50ms);

    Handoff<int> result;
    std::thread producer([copy = result] {
        copy.deliver(7);
        copy.deliver(8); // ignored
    });
    EXPECT_EQ(result.waitUntil(Clock::now() + 10s), 7);
    producer.join();
    EXPECT_EQ(result.waitUntil(Clock::now()), 7);
}

TEST(DeviceWatch, WaitsForADeviceAndReportsEveryChange) {
    DeviceWatch watch;
    EXPECT_FALSE(watch.waitFor(5, Clock::now() + 20ms));

    std::thread engine([&] {
        watch.added(5);
        watch.added(6);
        watch.removed(5);
    });
    EXPECT_TRUE(watch.waitFor(6, Clock::now() + 10s));
    engine.join();
    EXPECT_EQ(watch.present(), (std::vector<std::uint64_t>{6}));

    // The report follows the count without losing the last change.
    std::vector<std::size_t> counts;
    std::thread later([&] {
        watch.added(7);
        watch.added(8);
    });
    watch.watchUntil(Clock::now() + 300ms, [&](std::size_t count) { counts.push_back(count); });
    later.join();
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.back(), 3u);
    EXPECT_EQ(watch.present(), (std::vector<std::uint64_t>{6, 7, 8}));
}

DeviceEvent eventOf(std::uint64_t id) {
    DeviceEvent event;
    event.id = id;
    return event;
}

TEST(DeviceEventFeed, KeepsOrderAndAStopWakesTheReaderAndDropsWhatWaits) {
    DeviceEventFeed feed;
    TestSupport::Recorder<bool> readAll;
    std::vector<std::uint64_t> read; // the reader's until it is joined
    std::thread reader([&] {
        while (const auto event = feed.next()) {
            read.push_back(event->id);
            if (read.size() == 3)
                readAll.push(true);
        }
    });
    for (std::uint64_t id = 1; id <= 3; ++id)
        feed.push(eventOf(id));
    const bool allRead = readAll.waitForFirst(10s).value_or(false);
    // The reader now waits for a fourth event: only the stop can end it (a
    // stop that does not wake it hangs the join).
    feed.stop();
    reader.join();
    EXPECT_TRUE(allRead);
    EXPECT_EQ(read, (std::vector<std::uint64_t>{1, 2, 3}));

    // Events still queued when the feed stops are dropped; nothing passes
    // a stopped feed, and a second stop changes nothing.
    DeviceEventFeed queued;
    queued.push(eventOf(1));
    queued.push(eventOf(2));
    queued.stop();
    EXPECT_FALSE(queued.next());
    queued.push(eventOf(3));
    queued.stop();
    EXPECT_FALSE(queued.next());
}

} // namespace
