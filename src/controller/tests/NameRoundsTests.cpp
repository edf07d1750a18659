// Names asked again after a failure: the schedule's back-off, and a device
// that announces itself long before it answers, named by the controller on a
// later round (over the in-memory link, on the virtual clock).

#include "MemoryLink.h"
#include "NameRetrySchedule.h"
#include "TestSupport.h"
#include "VornService.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace TestSupport;

namespace {

constexpr std::uint64_t second = 1000000000;

TEST(NameRetrySchedule, BacksOffTo60SecondsAndForgetsNamedOrDepartedDevices) {
    NameRetrySchedule schedule;
    EXPECT_FALSE(schedule.nextDue());
    schedule.failed(1, 100 * second);
    schedule.failed(2, 105 * second);
    EXPECT_EQ(schedule.nextDue(), 110 * second);
    EXPECT_TRUE(schedule.takeDue(110 * second - 1).empty());
    EXPECT_EQ(schedule.takeDue(115 * second), (std::vector<std::uint64_t>{1, 2}));
    // Taken rounds are not due again until their outcome is known.
    EXPECT_FALSE(schedule.nextDue());
    EXPECT_TRUE(schedule.takeDue(1000 * second).empty());
    EXPECT_EQ(schedule.size(), 2u);

    // Device 1 keeps failing: 30 s, then 60 s, and 60 s from then on.
    std::uint64_t now = 120 * second;
    for (std::uint64_t delay : {30, 60, 60, 60}) {
        schedule.failed(1, now);
        EXPECT_EQ(schedule.nextDue(), now + delay * second);
        EXPECT_EQ(schedule.takeDue(now + delay * second), (std::vector<std::uint64_t>{1}));
        now += delay * second;
    }
    schedule.forget(1);
    schedule.forget(2);
    schedule.failed(1, now);
    EXPECT_EQ(schedule.nextDue(), now + 10 * second) << "a device that comes back starts over";
}

// A device that never answers is asked a bounded number of times; one that
// leaves and comes back is asked again from the start.
TEST(NameRetrySchedule, GivesUpAfterItsLastRoundUntilTheDeviceComesBack) {
    NameRetrySchedule schedule;
    std::uint64_t now = 0;
    std::size_t rounds = 1; // the first request, before any failure
    while (schedule.failed(7, now)) {
        ASSERT_LT(rounds, 100u) << "never gives up";
        const auto due = schedule.nextDue();
        ASSERT_TRUE(due);
        ASSERT_EQ(schedule.takeDue(*due), (std::vector<std::uint64_t>{7}));
        now = *due;
        ++rounds;
    }
    EXPECT_EQ(rounds, NameRetrySchedule::maxFailures);
    EXPECT_GE(now, 15 * 60 * second) << "asked for a quarter of an hour at least";
    EXPECT_FALSE(schedule.nextDue());
    EXPECT_TRUE(schedule.takeDue(~std::uint64_t(0) - 1).empty());
    EXPECT_FALSE(schedule.failed(7, now)) << "a late failure schedules nothing";
    EXPECT_FALSE(schedule.nextDue());
    schedule.forget(7);
    EXPECT_TRUE(schedule.failed(7, now));
    EXPECT_EQ(schedule.nextDue(), now + 10 * second);
}

// A device reply to a name request, with `name` in its name field.
std::vector<char> nameReply(std::uint64_t deviceId, std::uint32_t sequence,
                            const std::string& name) {
    auto bytes =
        datagram(Vorn::deviceConfigReplyMinimum, deviceId, Vorn::Code::deviceConfigReply, sequence);
    std::memcpy(bytes.data() + Vorn::deviceNameOffset, name.c_str(), name.size() + 1);
    return bytes;
}

TEST(NameRounds, ABootingDeviceIsNamedOnALaterRound) {
    constexpr std::uint64_t deviceId = 0x0000000A0000000Bull;
    constexpr std::uint32_t deviceAddress = 0x0A000002;
    VirtualClock clock;
    Progress progress;
    MemoryLink link{clock, progress};
    VornService service(link, clock.clocks());
    service.start();
    VornNetwork& engine = *service.engine();
    const auto announce = [&] {
        const auto bytes = presence({.id = deviceId});
        engine.frameList().onReceive(bytes.data(), bytes.size(), deviceAddress);
    };
    announce();

    struct Round {
        bool ok;
        std::string name;
        std::uint64_t atMs;
    };
    TestSupport::Recorder<Round> rounds;
    const auto roundCount = [&] { return rounds.size(); };
    ASSERT_TRUE(service.requestDeviceName(
        deviceId,
        [&](std::uint64_t, bool ok, std::string name) {
            rounds.push({ok, std::move(name), clock.elapsedMs()});
            progress.bump();
        },
        NameRounds::UntilNamed));

    // Booting: every attempt of the first round goes unanswered, while the
    // device keeps announcing itself.
    while (roundCount() == 0) {
        const std::size_t sent = link.unicastCount();
        const std::uint64_t deadline = engine.frameList().earliestDeadline();
        ASSERT_NE(deadline, 0u);
        clock.advanceTo(deadline);
        announce();
        engine.expireNow();
        ASSERT_TRUE(progress.waitUntil(
            [&] { return roundCount() > 0 || link.unicastCount() > sent; }, 5000ms));
    }
    EXPECT_EQ(link.unicastCount(), 6u);
    EXPECT_FALSE(rounds.values()[0].ok);
    EXPECT_EQ(rounds.values()[0].atMs, 7875u);
    EXPECT_EQ(service.namesToRetry(), 1u);

    // Nothing is asked before the 10 s are up; then one request goes out.
    clock.advanceMs(10000 - 1);
    announce();
    service.retryNamesNow();
    EXPECT_EQ(link.unicastCount(), 6u);
    clock.advanceMs(1);
    service.retryNamesNow();
    ASSERT_EQ(link.unicastCount(), 7u);

    // The device has booted and answers it.
    const auto request = link.unicasts().back();
    EXPECT_EQ(Vorn::Wire::readU16(request.bytes.data() + Vorn::Header::command),
              Vorn::Code::getDeviceConfig);
    const auto reply = nameReply(
        deviceId, Vorn::Wire::readU32(request.bytes.data() + Vorn::Header::sequence), "Stage left");
    engine.frameList().onReceive(reply.data(), reply.size(), deviceAddress);
    ASSERT_TRUE(progress.waitUntil([&] { return roundCount() == 2; }, 5000ms));
    const auto second = rounds.values().at(1);
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.name, "Stage left");
    EXPECT_EQ(second.atMs, 17875u);
    EXPECT_EQ(service.namesToRetry(), 0u);
    clock.advanceMs(600000);
    announce();
    service.retryNamesNow();
    EXPECT_EQ(link.unicastCount(), 7u) << "a named device is not asked again";
}

} // namespace
