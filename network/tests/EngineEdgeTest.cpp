// The engine at the edges of its rules, over an in-memory link on a virtual
// clock: a behaviour that allows fewer than one attempt, and a request built
// with sequence 0, which is not tracked.

#include "MemoryLink.h"
#include "TestSupport.h"
#include "engine/VornNetwork.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

using namespace TestSupport;

namespace {

constexpr std::uint64_t deviceId = 0x0000000A0000000Cull;
constexpr std::uint32_t deviceAddress = 0x7F000003; // 127.0.0.3

struct Ending {
    std::atomic<int> count{0};
    std::atomic<Vorn::ErrorCode> error{Vorn::ErrorCode::Success};
};

struct Engine : EngineOnLink {
    Engine() { receive(presence({.id = deviceId}), deviceAddress); }

    std::function<void(std::uint64_t, const char*, unsigned, Vorn::ErrorCode)> ending(Ending& end) {
        return [this, &end](std::uint64_t, const char*, unsigned, Vorn::ErrorCode error) {
            end.error = error;
            ++end.count;
            progress.bump();
        };
    }
    // Moves the clock to the earliest deadline and takes the time-outs due.
    void expireNext() {
        const std::uint64_t deadline = engine->frameList().earliestDeadline();
        ASSERT_NE(deadline, 0u) << "nothing is pending";
        clock.advanceTo(deadline);
        engine->frameList().expireNow();
    }
};

// Zero (or fewer) attempts: the request is still sent once and ends once,
// instead of never being sent or being retried for ever.
struct NoAttempts final : Vorn::TimeoutBehavior {
    int initialTimeout() const override { return 100; }
    int retryTimeout(int) const override { return 100; }
    int attemptCount() const override { return attempts; }
    int attempts = 0;
};

TEST(EngineEdges, ABehaviourOfFewerThanOneAttemptSendsOnceAndEndsOnce) {
    for (const int attempts : {0, -3}) {
        Engine e;
        NoAttempts behaviour;
        behaviour.attempts = attempts;
        Ending end;
        auto request = e.engine->makeCommand<Vorn::MSG_GetBoardID>(deviceId);
        ASSERT_TRUE(e.engine->send(deviceId, request, &behaviour, e.ending(end)));
        ASSERT_TRUE(e.progress.waitUntil([&] { return e.link.unicastCount() >= 1; }, 5000ms));
        e.expireNext();
        ASSERT_TRUE(e.settle([&] { return end.count > 0; })) << attempts << " attempts";
        EXPECT_EQ(end.count.load(), 1);
        EXPECT_EQ(end.error.load(), Vorn::ErrorCode::TimedOut);
        EXPECT_EQ(e.link.unicastCount(), 1u) << attempts << " attempts";
        EXPECT_EQ(e.engine->frameList().earliestDeadline(), 0u); // nothing left to retry
    }
}

TEST(EngineEdges, ARequestWithSequenceZeroTakesNoRoomAndNoReplyEndsIt) {
    Engine e;
    auto request = e.engine->makeCommand<Vorn::MSG_GetBoardID>(deviceId);
    Vorn::Wire::writeU32(request.data() + Vorn::Header::sequence, 0);
    Ending end;
    ASSERT_TRUE(e.engine->send(deviceId, request, nullptr, e.ending(end)));
    ASSERT_TRUE(e.progress.waitUntil([&] { return e.link.unicastCount() >= 1; }, 5000ms));
    EXPECT_EQ(e.engine->congestion().state().bytesInFlight, 0u); // not admitted: no room taken

    // A reply echoing sequence 0 is unsolicited: it ends nothing.
    e.receive(datagram(100, deviceId, Vorn::Code::boardIdReply, 0), deviceAddress);
    ASSERT_TRUE(e.settle([] { return true; }));
    EXPECT_EQ(end.count.load(), 0);

    // Its attempts time out as any request's do, and it ends once.
    while (end.count == 0 && e.link.unicastCount() <= 6) {
        ASSERT_NO_FATAL_FAILURE(e.expireNext());
        ASSERT_TRUE(e.settle([] { return true; }));
    }
    EXPECT_EQ(end.count.load(), 1);
    EXPECT_EQ(end.error.load(), Vorn::ErrorCode::TimedOut);
    EXPECT_EQ(e.engine->congestion().state().bytesInFlight, 0u);
}

} // namespace
