// The engine over an in-memory link on a virtual clock: its retry schedule to
// the millisecond, and every request ending exactly once over links that lose,
// duplicate, reorder and delay datagrams in both directions, one seed each.

#include "MemoryLink.h"
#include "TestSupport.h"
#include "engine/VornNetwork.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <queue>
#include <random>

using namespace TestSupport;

namespace {

constexpr std::uint64_t deviceId = 0x0000000A0000000Bull;
constexpr std::uint32_t deviceAddress = 0x7F000002; // 127.0.0.2
constexpr std::uint64_t millisecond = 1000000;

// The engine over a memory link with one device present.
struct LinkedEngine : EngineOnLink {
    LinkedEngine() { deliver(presence({.id = deviceId})); }
    void deliver(const std::vector<char>& bytes) { receive(bytes, deviceAddress); }
};

// How long attempt `attempt` (0-based) of the standard behaviour waits.
std::uint64_t attemptTimeoutMs(std::size_t attempt) {
    return std::uint64_t{125} << attempt;
}

TEST(EngineOverLink, RetryScheduleAndTimeOutAreExactOnTheVirtualClock) {
    LinkedEngine e;
    auto request = e.engine->makeCommand<Vorn::MSG_GetBoardID>(deviceId);
    std::atomic<int> ends{0};
    std::atomic<std::uint64_t> endedAtMs{0};
    std::atomic<Vorn::ErrorCode> outcome{Vorn::ErrorCode::Success};
    ASSERT_TRUE(e.engine->send(
        deviceId, request, nullptr,
        [&](std::uint64_t id, const char* reply, unsigned length, Vorn::ErrorCode error) {
            EXPECT_EQ(id, deviceId);
            EXPECT_EQ(reply, nullptr);
            EXPECT_EQ(length, 0u);
            endedAtMs = e.clock.elapsedMs();
            outcome = error;
            ++ends;
            e.progress.bump();
        }));

    // Each attempt: its datagram is on the link, then the clock jumps to its
    // deadline and the time-out is taken at once.
    for (std::size_t attempt = 1; ends == 0; ++attempt) {
        ASSERT_TRUE(e.progress.waitUntil(
            [&] { return e.link.unicastCount() >= attempt || ends > 0; }, 5000ms));
        if (ends > 0)
            break;
        ASSERT_LE(attempt, 6u) << "more attempts than the behaviour allows";
        const std::uint64_t deadline = e.engine->frameList().earliestDeadline();
        ASSERT_NE(deadline, 0u);
        e.clock.advanceTo(deadline);
        e.engine->frameList().expireNow();
    }

    const auto sends = e.link.unicasts();
    ASSERT_EQ(sends.size(), 6u);
    const std::uint64_t expectedMs[] = {0, 125, 375, 875, 1875, 3875};
    for (std::size_t i = 0; i < sends.size(); ++i) {
        EXPECT_EQ((sends[i].at - VirtualClock::start) / millisecond, expectedMs[i]) << i;
        EXPECT_EQ(sends[i].bytes, request.bytes) << "attempt " << i << " resends the same bytes";
        EXPECT_EQ(sends[i].address, deviceAddress);
    }
    EXPECT_EQ(outcome.load(), Vorn::ErrorCode::TimedOut);
    EXPECT_EQ(endedAtMs.load(), 7875u);
    EXPECT_EQ(ends.load(), 1);
    const Vorn::EngineFigures figures = e.engine->figures();
    EXPECT_EQ(figures.timedOut, 1u);
    EXPECT_EQ(figures.retransmissions, 5u);
    EXPECT_EQ(figures.answered + figures.failed + figures.bytesInFlight, 0u);
}

// A device's first missed reply (late on a busy machine, or lost) leaves its
// retransmission in the lane it was in; the second in a row puts it among the
// devices that do not answer, whose lane holds a quarter of the window.
TEST(EngineOverLink, ADeviceJoinsTheFailingLaneOnlyAfterTwoMissesInARow) {
    LinkedEngine e;
    auto request = e.engine->makeCommand<Vorn::MSG_GetBoardID>(deviceId);
    const auto length = static_cast<std::uint32_t>(request.size());
    std::atomic<int> ends{0};
    ASSERT_TRUE(e.engine->send(
        deviceId, request, nullptr,
        [&](std::uint64_t, const char*, unsigned, Vorn::ErrorCode) {
            ++ends;
            e.progress.bump();
        },
        RequestClass::Background));
    const Vorn::Lane expected[] = {Vorn::Lane::New, Vorn::Lane::New, Vorn::Lane::Failing,
                                   Vorn::Lane::Failing};
    for (std::size_t attempt = 0; attempt < std::size(expected); ++attempt) {
        if (attempt > 0) {
            e.clock.advanceTo(e.engine->frameList().earliestDeadline());
            e.engine->frameList().expireNow();
        }
        ASSERT_TRUE(e.progress.waitUntil([&] { return e.link.unicastCount() > attempt; }, 5000ms))
            << "attempt " << attempt;
        for (Vorn::Lane lane :
             {Vorn::Lane::User, Vorn::Lane::Answering, Vorn::Lane::New, Vorn::Lane::Failing})
            EXPECT_EQ(e.engine->congestion().bytesInFlight(lane),
                      lane == expected[attempt] ? length : 0u)
                << "attempt " << attempt << ", lane " << static_cast<int>(lane);
    }
    EXPECT_EQ(ends.load(), 0);
}

// A datagram the socket does not take was never on the wire: its bytes come
// back, the window neither grows nor shrinks, and the request ends SendFailed.
TEST(EngineOverLink, ARefusedSendReturnsItsBytesWithoutMovingTheWindow) {
    LinkedEngine e;
    const auto before = e.engine->congestion().state();
    e.link.refuseUnicasts = true;
    for (RequestClass requestClass : {RequestClass::UserAction, RequestClass::Background}) {
        auto request = e.engine->makeCommand<Vorn::MSG_GetBoardID>(deviceId);
        std::atomic<int> ends{0};
        std::atomic<Vorn::ErrorCode> outcome{Vorn::ErrorCode::Success};
        ASSERT_TRUE(e.engine->send(
            deviceId, request, nullptr,
            [&](std::uint64_t, const char*, unsigned, Vorn::ErrorCode error) {
                outcome = error;
                ++ends;
            },
            requestClass));
        EXPECT_EQ(ends.load(), 1); // at once, on this thread
        EXPECT_EQ(outcome.load(), Vorn::ErrorCode::SendFailed);
    }
    EXPECT_EQ(e.engine->congestion().state(), before);
    EXPECT_EQ(e.engine->congestion().releaseFaults(), 0u);
    EXPECT_EQ(e.engine->frameList().pendingCount(), 0u);
    EXPECT_EQ(e.engine->figures().failed, 2u);
    EXPECT_EQ(e.engine->figures().timedOut + e.engine->figures().answered, 0u);
}

// One request as the property test follows it.
struct Tracked {
    std::uint32_t sequence = 0;
    std::atomic<int> ends{0};
    std::atomic<bool> wrongReply{false};
    std::atomic<bool> answered{false}; // ended with a reply
    std::size_t sendsSeen = 0;         // its datagrams taken from the link
    std::uint64_t lastSendAt = 0;      // virtual nanoseconds
};

// A datagram under way on the lossy link.
struct InFlight {
    std::uint64_t at;    // virtual nanoseconds of delivery
    std::uint64_t order; // ties keep sending order
    bool toDevice;
    std::vector<char> bytes;
    bool operator>(const InFlight& other) const {
        return at != other.at ? at > other.at : order > other.order;
    }
};

// Runs one seeded scenario; returns a description of the first property it
// breaks, or nothing.
std::string runScenario(unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const double loss = chance(random) * 0.5;
    const double duplication = chance(random) * 0.4;
    const std::uint64_t maxDelayMs = 1 + random() % 400; // beyond a first time-out: reordering
    const bool tearDownEarly = seed % 4 == 0;
    const std::size_t stepsBeforeTeardown = random() % 40;

    LinkedEngine e;
    constexpr std::size_t requestCount = 4;
    std::vector<std::unique_ptr<Tracked>> requests;
    auto witness = std::make_shared<int>(0);
    std::atomic<bool> tornDown{false};
    std::atomic<bool> endedAfterTeardown{false};
    for (std::size_t i = 0; i < requestCount; ++i) {
        auto request = e.engine->makeCommand<Vorn::MSG_GetBoardID>(deviceId);
        requests.push_back(std::make_unique<Tracked>());
        Tracked& tracked = *requests.back();
        const bool accepted = e.engine->send(
            deviceId, request, nullptr,
            [&e, &tracked, &tornDown, &endedAfterTeardown,
             witness](std::uint64_t, const char* reply, unsigned length, Vorn::ErrorCode error) {
                if (tornDown)
                    endedAfterTeardown = true;
                if (error == Vorn::ErrorCode::Success &&
                    (length < Vorn::Header::size ||
                     Vorn::Wire::readU32(reply + Vorn::Header::sequence) != tracked.sequence ||
                     Vorn::Wire::readFrameId(reply + Vorn::Header::sourceId) != deviceId))
                    tracked.wrongReply = true;
                tracked.answered = error == Vorn::ErrorCode::Success;
                ++tracked.ends;
                e.progress.bump();
            },
            // Half of them in the background: a lost reply moves those to
            // the lane of devices that fail, and back once one is answered.
            i % 2 == 0 ? RequestClass::UserAction : RequestClass::Background);
        if (!accepted)
            return "request refused";
        tracked.sequence = request.sequence();
    }

    std::priority_queue<InFlight, std::vector<InFlight>, std::greater<>> inFlight;
    std::uint64_t order = 0;
    auto transmit = [&](bool toDevice, const std::vector<char>& bytes) {
        if (chance(random) < loss)
            return;
        const int copies = chance(random) < duplication ? 2 : 1;
        for (int copy = 0; copy < copies; ++copy)
            inFlight.push(
                {e.clock.now() + (random() % maxDelayMs) * millisecond, order++, toDevice, bytes});
    };
    auto find = [&](std::uint32_t sequence) -> Tracked* {
        for (auto& tracked : requests)
            if (tracked->sequence == sequence)
                return tracked.get();
        return nullptr;
    };
    std::size_t taken = 0; // datagrams taken from the link
    auto takeSends = [&] {
        const auto sends = e.link.unicasts();
        for (; taken < sends.size(); ++taken) {
            Tracked* tracked = find(Vorn::Wire::readU32(sends[taken].bytes.data() + 24));
            if (tracked == nullptr)
                return false;
            ++tracked->sendsSeen;
            tracked->lastSendAt = sends[taken].at;
            transmit(true, sends[taken].bytes);
        }
        return true;
    };
    auto deadlineOf = [&](const Tracked& tracked) {
        return tracked.lastSendAt + attemptTimeoutMs(tracked.sendsSeen - 1) * millisecond;
    };
    auto allEnded = [&] {
        for (auto& tracked : requests)
            if (tracked->ends == 0)
                return false;
        return true;
    };

    for (std::size_t step = 0;; ++step) {
        if (!takeSends())
            return "a datagram with a sequence the test never sent";
        if (allEnded() || (tearDownEarly && step == stepsBeforeTeardown))
            break;
        // The next thing to happen: a delivery or a request's deadline.
        std::uint64_t next = inFlight.empty() ? 0 : inFlight.top().at;
        for (auto& tracked : requests)
            if (tracked->ends == 0 && (next == 0 || deadlineOf(*tracked) < next))
                next = deadlineOf(*tracked);
        e.clock.advanceTo(next);
        if (!inFlight.empty() && inFlight.top().at <= next) {
            const InFlight arrival = inFlight.top();
            inFlight.pop();
            if (arrival.toDevice) {
                const std::uint32_t sequence = Vorn::Wire::readU32(arrival.bytes.data() + 24);
                transmit(false, datagram(100, deviceId, Vorn::Code::boardIdReply, sequence));
            } else {
                e.deliver(arrival.bytes); // a matching reply completes on this thread
            }
            continue;
        }
        // Deadlines reached: each such request either sends again or ends,
        // on the engine's threads; wait for all of them before going on.
        std::vector<std::pair<Tracked*, std::size_t>> expiring;
        for (auto& tracked : requests)
            if (tracked->ends == 0 && deadlineOf(*tracked) <= next)
                expiring.emplace_back(tracked.get(), tracked->sendsSeen);
        e.engine->frameList().expireNow();
        const bool settled = e.progress.waitUntil(
            [&] {
                const auto sent = e.link.unicasts();
                for (auto [tracked, sendsBefore] : expiring) {
                    std::size_t sends = 0;
                    for (const auto& sentDatagram : sent)
                        if (Vorn::Wire::readU32(sentDatagram.bytes.data() + 24) ==
                            tracked->sequence)
                            ++sends;
                    if (tracked->ends == 0 && sends == sendsBefore)
                        return false;
                }
                return true;
            },
            5000ms);
        if (!settled)
            return "a request neither sent again nor ended after its deadline";
    }

    if (e.engine->congestion().releaseFaults() != 0)
        return "bytes released that were not in flight";
    if (!tearDownEarly && e.engine->congestion().state().bytesInFlight != 0)
        return "bytes still in flight after every request ended";
    if (!tearDownEarly) {
        // Every request counted once by how it ended; every datagram after a
        // request's first counted as a retransmission.
        const Vorn::EngineFigures figures = e.engine->figures();
        std::size_t answered = 0;
        for (const auto& tracked : requests)
            answered += tracked->answered ? 1 : 0;
        if (figures.answered != answered ||
            figures.answered + figures.timedOut + figures.failed != requests.size())
            return "requests counted " + std::to_string(figures.answered) + " answered, " +
                   std::to_string(figures.timedOut) + " timed out, " +
                   std::to_string(figures.failed) + " failed";
        if (figures.retransmissions != e.link.unicastCount() - requests.size())
            return "retransmissions counted " + std::to_string(figures.retransmissions) + " of " +
                   std::to_string(e.link.unicastCount() - requests.size());
    }
    tornDown = true;
    e.engine.reset();
    if (endedAfterTeardown)
        return "a completion ran after teardown began";
    if (witness.use_count() != 1)
        return "a completion outlived the engine";
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const int ends = requests[i]->ends;
        if (requests[i]->wrongReply)
            return "request " + std::to_string(i) + " completed with another sequence's reply";
        if (ends > 1 || (!tearDownEarly && ends != 1))
            return "request " + std::to_string(i) + " ended " + std::to_string(ends) + " times";
    }
    return {};
}

TEST(EngineOverLink, EveryRequestEndsExactlyOnceOverLossyLinks) {
    constexpr unsigned seeds = 3000;
    for (unsigned seed = 0; seed < seeds; ++seed) {
        const std::string broken = runScenario(seed);
        ASSERT_TRUE(broken.empty()) << "seed " << seed << ": " << broken;
    }
}

} // namespace
