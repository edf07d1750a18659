#include "engine/AdmissionQueue.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <tuple>
#include <vector>

namespace {

using Entry = Vorn::AdmissionQueue::Entry;

Entry entry(std::uint64_t frame, Vorn::Lane lane, std::uint32_t tag, std::uint64_t giveUpAt = 0) {
    Entry e;
    e.frameId = frame;
    e.lane = lane;
    e.length = tag; // the tests tell entries apart by their length
    e.giveUpAt = giveUpAt;
    return e;
}

std::vector<std::uint32_t> tags(const std::vector<Entry>& entries) {
    std::vector<std::uint32_t> out;
    for (const Entry& e : entries)
        out.push_back(e.length);
    return out;
}

// Queues entries of (frame, lane, tag) in the order given.
void pushAll(Vorn::AdmissionQueue& queue,
             std::initializer_list<std::tuple<std::uint64_t, Vorn::Lane, std::uint32_t>> entries) {
    for (const auto& [frame, lane, tag] : entries)
        queue.push(entry(frame, lane, tag));
}

// Pops everything in the order the controller would serve it with room for all.
std::vector<std::uint32_t> drain(Vorn::AdmissionQueue& queue) {
    std::vector<Entry> served;
    while (auto next = queue.popFitting([](Vorn::Lane, std::uint32_t) { return true; }))
        served.push_back(std::move(*next));
    return tags(served);
}

} // namespace

TEST(AdmissionQueueTest, PromoteMovesAFramesLaterLanesInTheOrderTheyWaited) {
    Vorn::AdmissionQueue queue;
    pushAll(queue, {{7, Vorn::Lane::Failing, 1},
                    {8, Vorn::Lane::Answering, 20},
                    {7, Vorn::Lane::New, 2},
                    {7, Vorn::Lane::User, 30},
                    {7, Vorn::Lane::Failing, 3},
                    {9, Vorn::Lane::Failing, 40},
                    {7, Vorn::Lane::New, 4},
                    {7, Vorn::Lane::Answering, 5}});

    // User and Answering entries stay where they are; the other four move.
    EXPECT_EQ(queue.promote(7, Vorn::Lane::Answering), 4u);
    EXPECT_EQ(queue.promote(7, Vorn::Lane::Answering), 0u);
    EXPECT_EQ(queue.size(), 8u);
    EXPECT_EQ(drain(queue), (std::vector<std::uint32_t>{30, 20, 5, 1, 2, 3, 4, 40}));
}

TEST(AdmissionQueueTest, PromoteToNewLeavesAnsweringAndUserAlone) {
    Vorn::AdmissionQueue queue;
    pushAll(queue, {{7, Vorn::Lane::Failing, 1},
                    {7, Vorn::Lane::Answering, 2},
                    {8, Vorn::Lane::New, 10},
                    {7, Vorn::Lane::Failing, 3}});
    EXPECT_EQ(queue.promote(7, Vorn::Lane::New), 2u);
    EXPECT_EQ(drain(queue), (std::vector<std::uint32_t>{2, 10, 1, 3}));
    EXPECT_TRUE(queue.empty());
}

TEST(AdmissionQueueTest, PromotedEntriesStillLeaveWithTheirFrameAndKeepTheBounds) {
    Vorn::AdmissionQueue queue;
    queue.push(entry(7, Vorn::Lane::Failing, 1));
    queue.push(entry(7, Vorn::Lane::New, 2));
    Entry unbounded = entry(7, Vorn::Lane::Failing, 3);
    unbounded.bounded = false;
    queue.push(std::move(unbounded));
    queue.push(entry(8, Vorn::Lane::User, 4));
    EXPECT_EQ(queue.boundedBackground(), 2u);
    EXPECT_EQ(queue.boundedUser(), 1u);
    queue.promote(7, Vorn::Lane::Answering);
    EXPECT_EQ(queue.boundedBackground(), 2u);
    EXPECT_EQ(tags(queue.takeFrame(7)), (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_EQ(queue.boundedBackground(), 0u);
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_TRUE(queue.takeFrame(7).empty());
}

TEST(AdmissionQueueTest, EarliestGiveUpFollowsEveryWayOut) {
    Vorn::AdmissionQueue queue;
    EXPECT_EQ(queue.earliestGiveUp(), 0u);
    queue.push(entry(1, Vorn::Lane::New, 1, 300));
    queue.push(entry(2, Vorn::Lane::Answering, 2, 100));
    queue.push(entry(3, Vorn::Lane::Failing, 3, 0)); // never gives up
    queue.push(entry(4, Vorn::Lane::New, 4, 200));
    queue.push(entry(5, Vorn::Lane::New, 5, 100)); // the same time twice
    EXPECT_EQ(queue.earliestGiveUp(), 100u);

    EXPECT_TRUE(queue.takeExpired(99).empty());
    // Served: one of the two at 100 goes, the other still counts.
    ASSERT_TRUE(queue.popFitting(
        [](Vorn::Lane lane, std::uint32_t) { return lane == Vorn::Lane::Answering; }));
    EXPECT_EQ(queue.earliestGiveUp(), 100u);
    // Its frame leaves.
    EXPECT_EQ(tags(queue.takeFrame(5)), (std::vector<std::uint32_t>{5}));
    EXPECT_EQ(queue.earliestGiveUp(), 200u);
    EXPECT_EQ(tags(queue.takeExpired(250)), (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(queue.earliestGiveUp(), 300u);
    EXPECT_EQ(tags(queue.takeExpired(1000)), (std::vector<std::uint32_t>{1}));
    EXPECT_EQ(queue.earliestGiveUp(), 0u); // only the one without a give-up time is left
    EXPECT_EQ(queue.size(), 1u);
    queue.push(entry(6, Vorn::Lane::New, 6, 50));
    queue.clear();
    EXPECT_EQ(queue.earliestGiveUp(), 0u);
    EXPECT_TRUE(queue.empty());
}
