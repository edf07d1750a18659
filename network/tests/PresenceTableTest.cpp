#include "engine/framelist/PresenceTable.h"
#include "engine/framelist/DestinationCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using Change = Vorn::PresenceTable::Change;

Vorn::FrameInfo frame(std::uint64_t id, std::uint32_t mode, std::int64_t seen) {
    Vorn::FrameInfo info;
    info.id = id;
    info.mode = mode;
    info.lastSeen = seen;
    info.address = 0x7F000002;
    return info;
}

std::vector<std::uint64_t> sweep(Vorn::PresenceTable& table, std::int64_t now) {
    std::vector<std::uint64_t> removed;
    bool called = false;
    table.sweep(now, [&](std::vector<std::uint64_t>&& ids) {
        called = true;
        removed = std::move(ids);
    });
    EXPECT_TRUE(called); // every sweep reaches the destinations, removals or not
    std::sort(removed.begin(), removed.end());
    return removed;
}

TEST(PresenceTableTest, PresenceMessagesAddChangeAndFlipFrames) {
    Vorn::PresenceTable table;
    EXPECT_EQ(table.track(frame(1, 0, 100), 5), Change::Added);
    EXPECT_EQ(table.track(frame(1, 0, 101), 5), Change::None);
    EXPECT_EQ(table.track(frame(1, 0, 102), 6), Change::Changed);
    EXPECT_EQ(table.track(frame(1, 3, 103), 6), Change::ModeFlipped);
    EXPECT_EQ(table.track(frame(1, 4, 104), 9), Change::None); // non-zero to non-zero, any mark
    EXPECT_EQ(table.track(frame(1, 0, 105), 9), Change::ModeFlipped);
    EXPECT_EQ(table.track(frame(2, 2, 105), 0), Change::Added);

    const auto info = table.find(1);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->lastSeen, 105);
    EXPECT_EQ(info->mode, 0u);
    EXPECT_FALSE(table.find(3).has_value());
}

TEST(PresenceTableTest, OtherMessagesRefreshOnlyWhenAcceptableInTheFramesMode) {
    Vorn::PresenceTable table;
    table.track(frame(1, 0, 100), 0);
    table.track(frame(2, 2, 100), 0);
    const Vorn::PresenceTable::SenderCheck device{true, true};
    const Vorn::PresenceTable::SenderCheck tool{true, false};
    const Vorn::PresenceTable::SenderCheck malformed{false, true};

    EXPECT_FALSE(table.refresh(1, 105, tool)); // a tool's message from a mode-0 frame
    EXPECT_FALSE(table.refresh(1, 105, malformed));
    EXPECT_EQ(table.find(1)->lastSeen, 100);
    EXPECT_TRUE(table.refresh(1, 106, device));
    EXPECT_EQ(table.find(1)->lastSeen, 106);

    EXPECT_TRUE(table.refresh(2, 107, tool)); // any sender type in a non-zero mode
    EXPECT_FALSE(table.refresh(2, 108, malformed));
    EXPECT_EQ(table.find(2)->lastSeen, 107);

    EXPECT_TRUE(table.refresh(9, 109, malformed)); // unknown frames are not judged here
    EXPECT_FALSE(table.find(9).has_value());       // nor added
}

TEST(PresenceTableTest, SweepRemovesFramesSilentForMoreThanTenSeconds) {
    Vorn::PresenceTable table;
    table.track(frame(1, 0, 100), 0);
    table.track(frame(2, 0, 101), 0);
    EXPECT_TRUE(sweep(table, 110).empty());
    EXPECT_EQ(sweep(table, 111), (std::vector<std::uint64_t>{1}));
    EXPECT_FALSE(table.find(1).has_value());
    EXPECT_TRUE(table.find(2).has_value());
    EXPECT_TRUE(table.refresh(2, 105, {true, true})); // lastSeen follows the clock, also back
    EXPECT_TRUE(sweep(table, 115).empty());
    EXPECT_EQ(sweep(table, 116), (std::vector<std::uint64_t>{2}));
}

TEST(DestinationCacheTest, OverTheCapTheLongestAbsentGoFirstAndPresentFramesStay) {
    Vorn::DestinationCache cache(3);
    for (std::uint64_t id = 1; id <= 5; ++id)
        cache.record({id, static_cast<std::uint32_t>(id), false});
    cache.retire({}); // five present: over the cap, nothing to forget
    Vorn::Destination out;
    for (std::uint64_t id = 1; id <= 5; ++id)
        EXPECT_TRUE(cache.find(id, out)) << id;

    cache.retire({4});    // sweep 2: 4 leaves and goes (one over)
    cache.retire({2, 5}); // sweep 3: 2 and 5 leave; four kept, one over: a tie of two
    EXPECT_FALSE(cache.find(4, out));
    const int kept = (cache.find(2, out) ? 1 : 0) + (cache.find(5, out) ? 1 : 0);
    EXPECT_EQ(kept, 1);
    cache.record({2, 22, true}); // back: present again
    cache.record({5, 55, true});
    cache.record({6, 66, false});
    cache.retire({1, 3}); // sweep 4: five kept, 1 and 3 absent: both go
    EXPECT_FALSE(cache.find(1, out));
    EXPECT_FALSE(cache.find(3, out));
    ASSERT_TRUE(cache.find(2, out));
    EXPECT_EQ(out.address, 22u);
    EXPECT_TRUE(out.viaBroadcast);

    cache.moveTo(6, 0x7F000009);
    cache.moveTo(7, 0x7F000009); // never announced: stays unknown
    ASSERT_TRUE(cache.find(6, out));
    EXPECT_EQ(out.address, 0x7F000009u);
    EXPECT_EQ(out.frameId, 6u);
    Vorn::Destination untouched{42, 42, true};
    EXPECT_FALSE(cache.find(7, untouched));
    EXPECT_EQ(untouched.frameId, 42u);
}

} // namespace
