// The engine on a sick network, over the in-memory link on the virtual clock:
// racks of devices that announce themselves and never answer, a device that
// leaves while its requests wait, more requests than the queue holds. What a
// device that answers gets must not depend on them.

#include "MemoryLink.h"
#include "TestSupport.h"
#include "engine/VornNetwork.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

using namespace TestSupport;

namespace {

constexpr std::uint64_t millisecond = 1000000;
constexpr std::uint64_t healthyId = 0x0000000A0000000Bull;
constexpr std::uint32_t healthyAddress = 0x0A000001; // 10.0.0.1
// The standard behaviour's six attempts: 125 + 250 + ... + 4000 ms.
constexpr std::uint64_t retryBudgetMs = 7875;

std::uint64_t silentId(std::size_t i) {
    return 0x0000000100000000ull + i;
}
std::uint32_t silentAddress(std::size_t i) {
    return 0x0A010000 + static_cast<std::uint32_t>(i); // 10.1.x.y
}

// How one request ended.
struct Ending {
    std::atomic<int> count{0};
    std::atomic<Vorn::ErrorCode> error{Vorn::ErrorCode::Success};
    std::atomic<std::uint64_t> atMs{0}; // virtual milliseconds since the start
};

// The engine over a memory link with `silent` devices that never answer and
// one that does, whose replies the test delivers.
struct Rack : EngineOnLink {
    std::vector<std::unique_ptr<Ending>> endings;
    std::size_t answered = 0; // unicasts looked at by answerHealthy()
    // The devices that announce themselves again as the clock moves on.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> present;

    explicit Rack(std::size_t silent) {
        for (std::size_t i = 0; i < silent; ++i)
            present.emplace_back(silentId(i), silentAddress(i));
        present.emplace_back(healthyId, healthyAddress);
        for (const auto& [id, address] : present)
            announce(id, address);
    }
    void announce(std::uint64_t id, std::uint32_t address) {
        receive(presence({.id = id}), address);
    }
    // The clock moves on to `nanoseconds` in steps of at most 5 s, every
    // present device announcing itself after each: the presence sweep, which
    // runs on its own thread whenever it likes, takes none of them (it takes a
    // device not heard for more than 10 s).
    void advanceTo(std::uint64_t nanoseconds) {
        while (clock.now() < nanoseconds) {
            clock.advanceTo(std::min(nanoseconds, clock.now() + 5000 * millisecond));
            for (const auto& [id, address] : present)
                announce(id, address);
        }
    }

    // Sends a request of layout T; the returned ending is the test's to read.
    template <class T>
    Ending* send(std::uint64_t id, RequestClass requestClass,
                 Vorn::TimeoutBehavior* behavior = nullptr) {
        auto request = engine->makeCommand<T>(id);
        endings.push_back(std::make_unique<Ending>());
        Ending* ending = endings.back().get();
        const bool accepted = engine->send(
            id, request, behavior,
            [this, ending](std::uint64_t, const char*, unsigned, Vorn::ErrorCode error) {
                ending->error = error;
                ending->atMs = clock.elapsedMs();
                ++ending->count;
                progress.bump();
            },
            requestClass);
        if (!accepted) {
            endings.pop_back();
            return nullptr;
        }
        return ending;
    }
    std::size_t ended() const {
        std::size_t count = 0;
        for (const auto& ending : endings)
            count += ending->count > 0 ? 1 : 0;
        return count;
    }

    // The engine is idle and every request the test sent is pending, waiting
    // for room, or ended: none is still on its way between the engine's threads.
    bool settle() {
        return EngineOnLink::settle([&] {
            return engine->frameList().pendingCount() + engine->congestion().waiting() + ended() ==
                   endings.size();
        });
    }

    // Moves the clock to the next deadline, at most `stepMs` on, and lets the
    // engine act on it.
    bool step(std::uint64_t stepMs) {
        const std::uint64_t limit = clock.now() + stepMs * millisecond;
        const std::uint64_t deadline = engine->frameList().earliestDeadline();
        advanceTo(deadline != 0 && deadline < limit ? deadline : limit);
        engine->expireNow();
        return settle();
    }

    // Answers what was sent to the healthy device since the last call.
    void answerHealthy() {
        const auto sends = link.unicasts();
        for (; answered < sends.size(); ++answered) {
            if (sends[answered].address != healthyAddress)
                continue;
            const auto& bytes = sends[answered].bytes;
            const std::uint32_t sequence =
                Vorn::Wire::readU32(bytes.data() + Vorn::Header::sequence);
            const auto reply = datagram(100, healthyId, Vorn::Code::boardIdReply, sequence);
            receive(reply, healthyAddress);
        }
    }
    // When the first datagram to `address` left, in virtual ms.
    std::optional<std::uint64_t> firstSentMs(std::uint32_t address) const {
        for (const auto& sent : link.unicasts())
            if (sent.address == address)
                return (sent.at - VirtualClock::start) / millisecond;
        return std::nullopt;
    }
    // When the last datagram to the healthy device left, in virtual ms.
    std::uint64_t lastSentToHealthyMs() const {
        std::uint64_t at = 0;
        for (const auto& sent : link.unicasts())
            if (sent.address == healthyAddress)
                at = (sent.at - VirtualClock::start) / millisecond;
        return at;
    }
};

TEST(SickNetwork, UserReadOfAnAnsweringDeviceNeverWaitsBehindSilentRack) {
    constexpr std::size_t silent = 300;
    Rack rack(silent);
    for (std::size_t i = 0; i < silent; ++i)
        ASSERT_NE(rack.send<Vorn::MSG_GetDeviceConfig>(silentId(i), RequestClass::Background),
                  nullptr);
    // The healthy device's own name comes after the 300 in arrival order.
    Ending* healthyName = rack.send<Vorn::MSG_GetDeviceConfig>(healthyId, RequestClass::Background);
    ASSERT_NE(healthyName, nullptr);
    ASSERT_TRUE(rack.settle());

    // Serial reads while the rack is named, time-outs halve the window and
    // retransmissions pile up: each leaves at once and completes on its reply.
    std::size_t reads = 0;
    while (rack.clock.elapsedMs() < 2 * retryBudgetMs) {
        if (rack.clock.elapsedMs() >= reads * 500) {
            const std::uint64_t sentAt = rack.clock.elapsedMs();
            Ending* read = rack.send<Vorn::MSG_GetBoardID>(healthyId, RequestClass::UserAction);
            ASSERT_NE(read, nullptr);
            ASSERT_EQ(rack.lastSentToHealthyMs(), sentAt) << "read " << reads << " waited";
            rack.answerHealthy();
            ASSERT_EQ(read->count.load(), 1);
            EXPECT_EQ(read->error.load(), Vorn::ErrorCode::Success);
            ++reads;
        }
        rack.answerHealthy();
        ASSERT_TRUE(rack.step(100)) << "at " << rack.clock.elapsedMs() << " ms";
    }
    EXPECT_GE(reads, 31u);

    // The background name of the answering device, queued behind 300 others,
    // moved up once the device had answered a read: it went out with the
    // first room that a time-out made (125 ms), not behind the rack.
    ASSERT_EQ(healthyName->count.load(), 1);
    EXPECT_EQ(healthyName->error.load(), Vorn::ErrorCode::Success);
    EXPECT_LE(healthyName->atMs.load(), 200u);

    // Every silent name ended once, none later than its budget, counted from
    // its first datagram, plus the last attempt's time-out: waiting for room
    // between attempts never outlasts the budget.
    for (std::size_t i = 0; i < silent; ++i) {
        ASSERT_EQ(rack.endings[i]->count.load(), 1) << i;
        EXPECT_EQ(rack.endings[i]->error.load(), Vorn::ErrorCode::TimedOut) << i;
        const auto firstSent = rack.firstSentMs(silentAddress(i));
        ASSERT_TRUE(firstSent) << i;
        EXPECT_LE(rack.endings[i]->atMs.load(), *firstSent + retryBudgetMs + 4000) << i;
    }
    EXPECT_EQ(rack.engine->congestion().waiting(), 0u);
    EXPECT_EQ(rack.engine->congestion().state().bytesInFlight, 0u);
}

// One attempt that waits a minute: long enough to outlast a device's absence.
class MinuteLong : public Vorn::TimeoutBehavior {
public:
    int initialTimeout() const override { return 60000; }
    int retryTimeout(int) const override { return 60000; }
    int attemptCount() const override { return 1; }
};

TEST(SickNetwork, WaitingRequestsOfADeviceThatLeavesEndOnceAtOnce) {
    constexpr std::size_t fillers = 17; // 17 x 32 bytes of 560 in flight
    Rack rack(fillers + 2);
    MinuteLong minute;
    for (std::size_t i = 0; i < fillers; ++i)
        ASSERT_NE(
            rack.send<Vorn::MSG_GetDeviceConfig>(silentId(i), RequestClass::Background, &minute),
            nullptr);
    std::vector<Ending*> leaving;
    for (int i = 0; i < 3; ++i)
        leaving.push_back(
            rack.send<Vorn::MSG_GetBoardID>(silentId(fillers), RequestClass::Background, &minute));
    Ending* staying =
        rack.send<Vorn::MSG_GetBoardID>(silentId(fillers + 1), RequestClass::Background, &minute);
    ASSERT_TRUE(rack.settle());
    ASSERT_EQ(rack.engine->congestion().waiting(), 4u);

    // Eleven seconds on, everyone announces again but one: the sweep takes it.
    std::erase(rack.present, std::pair{silentId(fillers), silentAddress(fillers)});
    rack.clock.advanceMs(11000);
    for (std::size_t i = 0; i < fillers; ++i)
        rack.announce(silentId(i), silentAddress(i));
    rack.announce(silentId(fillers + 1), silentAddress(fillers + 1));
    rack.announce(healthyId, healthyAddress);
    rack.engine->frameList().sweep();

    ASSERT_TRUE(rack.progress.waitUntil(
        [&] {
            for (Ending* ending : leaving)
                if (ending->count == 0)
                    return false;
            return true;
        },
        5000ms));
    for (Ending* ending : leaving) {
        EXPECT_EQ(ending->error.load(), Vorn::ErrorCode::SendFailed);
        EXPECT_EQ(ending->atMs.load(), 11000u) << "ended when its device left";
    }
    EXPECT_EQ(staying->count.load(), 0);
    EXPECT_EQ(rack.engine->congestion().waiting(), 1u);

    // Nothing more reaches the requests that ended: a minute on, each of the
    // others times out once and the departed ones stay ended once.
    rack.advanceTo(rack.clock.now() + 60000 * millisecond);
    rack.engine->expireNow();
    ASSERT_TRUE(rack.settle());
    ASSERT_TRUE(rack.step(60000));
    for (Ending* ending : leaving)
        EXPECT_EQ(ending->count.load(), 1);
    EXPECT_EQ(staying->count.load(), 1);
}

// A background request (a name) that waits its turn longer than its retry
// budget, behind requests to devices that do not answer, is still sent once
// there is room: waiting is no failure of its device. The user's requests
// never wait so long: their budget counts from send().
TEST(SickNetwork, ABackgroundRequestWaitingPastItsBudgetIsStillSent) {
    constexpr std::size_t fillers = 17; // 17 x 32 bytes of 560 in flight for a minute
    Rack rack(fillers);
    MinuteLong minute;
    for (std::size_t i = 0; i < fillers; ++i)
        ASSERT_NE(
            rack.send<Vorn::MSG_GetDeviceConfig>(silentId(i), RequestClass::Background, &minute),
            nullptr);
    Ending* name = rack.send<Vorn::MSG_GetDeviceConfig>(healthyId, RequestClass::Background);
    ASSERT_NE(name, nullptr);
    ASSERT_TRUE(rack.settle());
    ASSERT_EQ(rack.engine->congestion().waiting(), 1u);

    rack.advanceTo(rack.clock.now() + 2 * retryBudgetMs * millisecond);
    rack.engine->expireNow();
    ASSERT_TRUE(rack.settle());
    EXPECT_EQ(name->count.load(), 0) << "gave up while it waited for room";
    EXPECT_EQ(rack.engine->congestion().waiting(), 1u);

    // The minute's attempts time out and make room: it leaves then, and its
    // reply ends it.
    ASSERT_TRUE(rack.step(60000));
    ASSERT_EQ(rack.firstSentMs(healthyAddress), std::optional<std::uint64_t>{60000});
    rack.answerHealthy();
    ASSERT_EQ(name->count.load(), 1);
    EXPECT_EQ(name->error.load(), Vorn::ErrorCode::Success);
    EXPECT_EQ(name->atMs.load(), 60000u);
}

// A reply that comes after its attempt timed out, while the next attempt
// still waits for room, ends the request: the attempts resend the same bytes,
// so it is the reply they wait for. The waiting attempt never leaves and
// gives its room back; the request ends once.
TEST(SickNetwork, ALateReplyEndsTheRequestWhoseNextAttemptWaits) {
    // One answered request grows the window to 1120 bytes; the request under
    // test and fillers that hold their bytes for a minute take all of it.
    constexpr std::size_t window = 2 * Vorn::CongestionController::segmentSize;
    constexpr std::size_t fillers =
        (window - Vorn::MSG_GetBoardID::size) / Vorn::MSG_GetDeviceConfig::size;
    Rack rack(fillers);
    MinuteLong minute;
    Ending* first = rack.send<Vorn::MSG_GetBoardID>(healthyId, RequestClass::Background);
    ASSERT_NE(first, nullptr);
    rack.answerHealthy();
    ASSERT_EQ(first->count.load(), 1);
    ASSERT_EQ(rack.engine->congestion().state().congestionWindow, window);

    Ending* read = rack.send<Vorn::MSG_GetBoardID>(healthyId, RequestClass::Background);
    ASSERT_NE(read, nullptr);
    for (std::size_t i = 0; i < fillers; ++i)
        ASSERT_NE(
            rack.send<Vorn::MSG_GetDeviceConfig>(silentId(i), RequestClass::Background, &minute),
            nullptr);
    ASSERT_TRUE(rack.settle());
    ASSERT_EQ(rack.engine->congestion().waiting(), 0u);

    // The first attempt times out and the window halves below what the
    // fillers hold: the second attempt waits for room.
    ASSERT_TRUE(rack.step(125));
    ASSERT_EQ(rack.clock.elapsedMs(), 125u);
    ASSERT_EQ(rack.engine->congestion().waiting(), 1u);
    EXPECT_EQ(read->count.load(), 0);

    rack.answerHealthy(); // the reply to the first attempt, late
    ASSERT_EQ(read->count.load(), 1);
    EXPECT_EQ(read->error.load(), Vorn::ErrorCode::Success);
    EXPECT_EQ(read->atMs.load(), 125u);

    // A minute on the fillers time out and make room: the second attempt
    // is admitted, finds its request ended and gives the room back unsent.
    ASSERT_TRUE(rack.step(60000));
    ASSERT_TRUE(rack.step(60000));
    EXPECT_EQ(read->count.load(), 1);
    std::size_t toHealthy = 0;
    for (const auto& sent : rack.link.unicasts())
        toHealthy += sent.address == healthyAddress ? 1 : 0;
    EXPECT_EQ(toHealthy, 2u); // the first request, and the first attempt of this one
    EXPECT_EQ(rack.engine->congestion().waiting(), 0u);
    EXPECT_EQ(rack.engine->congestion().state().bytesInFlight, 0u);
    EXPECT_EQ(rack.engine->congestion().releaseFaults(), 0u);
    EXPECT_EQ(rack.engine->frameList().pendingCount(), 0u);
}

TEST(SickNetwork, QueueBoundRefusesBackgroundRequestsWithoutLeaking) {
    Rack rack(1);
    const std::size_t fill = 560 / Vorn::MSG_GetDeviceConfig::size;
    const std::size_t acceptable = fill + Vorn::CongestionController::backgroundBound;
    auto witness = std::make_shared<int>(0);
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < acceptable + 10; ++i) {
        auto request = rack.engine->makeCommand<Vorn::MSG_GetDeviceConfig>(silentId(0));
        if (rack.engine->send(
                silentId(0), request, nullptr,
                [witness](std::uint64_t, const char*, unsigned, Vorn::ErrorCode) {},
                RequestClass::Background))
            ++accepted;
    }
    EXPECT_EQ(accepted, acceptable);
    EXPECT_EQ(witness.use_count(), 1 + static_cast<long>(acceptable)); // refused ones are gone
    // The user's requests have their own room.
    Ending* read = rack.send<Vorn::MSG_GetBoardID>(healthyId, RequestClass::UserAction);
    ASSERT_NE(read, nullptr);
    rack.answerHealthy();
    EXPECT_EQ(read->error.load(), Vorn::ErrorCode::Success);

    // Teardown drops what still waits; no completion outlives the engine.
    rack.engine.reset();
    EXPECT_EQ(witness.use_count(), 1);
}

// A stranger announces ever new frame ids: the frames that never answered stay
// at their limit, the longest present going first; the device that answered
// keeps its place and is served as before.
TEST(SickNetwork, AFloodOfNewFrameIdsKeepsTheUnansweredAtTheirCapAndTheAnsweringDevice) {
    Vorn::AnyNetworkType type;
    VirtualClock clock;
    Progress progress;
    MemoryLink link{clock, progress};
    constexpr std::size_t cap = 64, unansweredCap = 32;
    Vorn::FrameList frames(type, link, clock.clocks(), Vorn::FrameList::defaultDestinationCap, cap,
                           unansweredCap);
    std::atomic<std::size_t> added{0}, removed{0};
    std::atomic<bool> healthyRemoved{false};
    auto addedToken = frames.frameAdded.subscribe([&](std::uint64_t) { ++added; });
    auto removedToken = frames.frameRemoved.subscribe([&](std::uint64_t id) {
        ++removed;
        if (id == healthyId)
            healthyRemoved = true;
    });
    auto announce = [&](std::uint64_t id) {
        const auto bytes = presence({.id = id});
        frames.onReceive(bytes.data(), bytes.size(), healthyAddress);
    };
    std::uint32_t sequence = 40;
    auto askAndAnswer = [&](std::uint64_t id) {
        const auto request = datagram(100, 0, Vorn::Code::getBoardId, ++sequence);
        std::atomic<int> endings{0};
        std::atomic<Vorn::ErrorCode> error{Vorn::ErrorCode::TimedOut};
        EXPECT_TRUE(frames.sendRequest(1000, Vorn::Destination{id, healthyAddress, false},
                                       request.data(), request.size(),
                                       [&](const char*, unsigned, Vorn::ErrorCode e) {
                                           error = e;
                                           ++endings;
                                       }));
        const auto reply = datagram(100, id, Vorn::Code::boardIdReply, sequence);
        frames.onReceive(reply.data(), reply.size(), healthyAddress);
        return endings == 1 && error == Vorn::ErrorCode::Success;
    };
    announce(healthyId);
    ASSERT_TRUE(askAndAnswer(healthyId));

    auto fakeId = [](std::size_t i) { return 0x00BAD00000000000ull + i; };
    const std::size_t flood = unansweredCap * 3;
    for (std::size_t i = 0; i < flood; ++i)
        announce(fakeId(i));
    ASSERT_TRUE(waitUntil([&] { return frames.idle() && added == flood + 1; }, 10s))
        << added << " added";
    EXPECT_EQ(removed, flood - unansweredCap);
    EXPECT_EQ(frames.frameCount(), unansweredCap + 1);
    EXPECT_EQ(frames.framesDropped(), flood - unansweredCap);
    EXPECT_FALSE(healthyRemoved);
    EXPECT_FALSE(frames.findFrame(fakeId(0)));                    // the longest present went first
    EXPECT_TRUE(frames.findFrame(fakeId(flood - unansweredCap))); // the newest stayed
    EXPECT_TRUE(askAndAnswer(healthyId));
}

// A segment as large as the tool is measured with is seen whole by the
// default limits: no frame loses its place, none is left out.
TEST(SickNetwork, ALargeSegmentIsSeenWholeByTheDefaultLimits) {
    Vorn::AnyNetworkType type;
    VirtualClock clock;
    Progress progress;
    MemoryLink link{clock, progress};
    Vorn::FrameList frames(type, link, clock.clocks());
    std::atomic<std::size_t> added{0};
    auto addedToken = frames.frameAdded.subscribe([&](std::uint64_t) { ++added; });
    constexpr std::size_t segment = 65536;
    for (std::uint64_t id = 1; id <= segment; ++id) {
        const auto bytes = presence({.id = id});
        frames.onReceive(bytes.data(), bytes.size(), 0x0A000000 + static_cast<std::uint32_t>(id));
    }
    ASSERT_TRUE(waitUntil([&] { return frames.idle() && added == segment; }, 60s))
        << added << " of " << segment << " added";
    EXPECT_EQ(frames.frameCount(), segment);
    EXPECT_EQ(frames.framesDropped(), 0u);
    EXPECT_EQ(frames.presencesDeferred(), 0u);
}

// New ids faster than the event handlers: past a bound on the events waiting,
// a new id is deferred (and counted) until the handlers catch up, so the queue
// cannot grow with the sender's rate; present frames are heard as ever.
TEST(SickNetwork, NewFramesWaitWhileTheEventBacklogIsFull) {
    Vorn::AnyNetworkType type;
    VirtualClock clock;
    Progress progress;
    MemoryLink link{clock, progress};
    const std::size_t bound = Vorn::FrameList::maxQueuedFrameEvents;
    Vorn::FrameList frames(type, link, clock.clocks());
    std::mutex gate;
    std::atomic<std::size_t> added{0};
    auto addedToken = frames.frameAdded.subscribe([&](std::uint64_t) {
        const std::lock_guard<std::mutex> pass(gate);
        ++added;
    });
    // Taken after subscribing: the event's lock is never taken while the gate is held.
    std::unique_lock<std::mutex> held(gate); // the handlers wait until the test lets them
    auto announce = [&](std::uint64_t id) {
        const auto bytes = presence({.id = id});
        frames.onReceive(bytes.data(), bytes.size(), 0x0A000001);
    };
    const std::size_t sent = bound + 100;
    for (std::uint64_t id = 1; id <= sent; ++id)
        announce(id);
    // The handler in progress may or may not have taken the first event yet.
    EXPECT_GE(frames.frameCount(), bound);
    EXPECT_LE(frames.frameCount(), bound + 1);
    EXPECT_EQ(frames.presencesDeferred(), sent - frames.frameCount());
    EXPECT_EQ(frames.framesDropped(), 0u); // none lost its place: they come in later
    EXPECT_FALSE(frames.findFrame(sent));
    const std::uint64_t deferred = frames.presencesDeferred();
    announce(7); // present: heard, not deferred
    EXPECT_EQ(frames.presencesDeferred(), deferred);

    held.unlock();
    ASSERT_TRUE(waitUntil([&] { return frames.idle(); }, 20s));
    EXPECT_EQ(added, frames.frameCount());
    announce(sent + 1); // the handlers caught up: new ids are taken in again
    EXPECT_TRUE(frames.findFrame(sent + 1));
}

// When every present frame has answered, a new one is refused: no event, no
// destination, nothing pushed out.
TEST(SickNetwork, AFullTableOfAnsweringFramesRefusesNewOnes) {
    Vorn::AnyNetworkType type;
    VirtualClock clock;
    Progress progress;
    MemoryLink link{clock, progress};
    Vorn::FrameList frames(type, link, clock.clocks(), Vorn::FrameList::defaultDestinationCap, 2);
    std::atomic<int> added{0}, removed{0};
    auto addedToken = frames.frameAdded.subscribe([&](std::uint64_t) { ++added; });
    auto removedToken = frames.frameRemoved.subscribe([&](std::uint64_t) { ++removed; });
    auto request = [&](std::uint64_t id, std::uint32_t sequence) {
        const auto bytes = datagram(100, 0, Vorn::Code::getBoardId, sequence);
        return frames.sendRequest(1000, Vorn::Destination{id, 0x0A000001, false}, bytes.data(),
                                  bytes.size(), [](const char*, unsigned, Vorn::ErrorCode) {});
    };
    for (std::uint64_t id : {1ull, 2ull}) {
        const auto bytes = presence({.id = id});
        frames.onReceive(bytes.data(), bytes.size(), 0x0A000001);
        ASSERT_TRUE(request(id, static_cast<std::uint32_t>(40 + id)));
        const auto reply =
            datagram(100, id, Vorn::Code::boardIdReply, static_cast<std::uint32_t>(40 + id));
        frames.onReceive(reply.data(), reply.size(), 0x0A000001);
    }
    const auto stranger = presence({.id = 3});
    frames.onReceive(stranger.data(), stranger.size(), 0x0A000009);
    ASSERT_TRUE(waitUntil([&] { return frames.idle(); }, 5s));
    EXPECT_EQ(added, 2);
    EXPECT_EQ(removed, 0);
    EXPECT_FALSE(frames.findFrame(3));
    Vorn::Destination none;
    EXPECT_FALSE(frames.findDestination(3, none));
    EXPECT_EQ(frames.framesDropped(), 1u);
}

} // namespace

namespace {

// A user request that waits for room past its retry budget ends as timed out
// without ever being sent: its budget counts from send(), and an answer could
// no longer come in the time the user was promised.
TEST(SickNetwork, AUserRequestWaitingPastItsBudgetEndsUnsent) {
    constexpr std::size_t fillers = 17; // 17 x 32 bytes of the 560 in the user lane, for a minute
    Rack rack(fillers);
    MinuteLong minute;
    for (std::size_t i = 0; i < fillers; ++i)
        ASSERT_NE(
            rack.send<Vorn::MSG_GetDeviceConfig>(silentId(i), RequestClass::UserAction, &minute),
            nullptr);
    Ending* read = rack.send<Vorn::MSG_GetBoardID>(healthyId, RequestClass::UserAction);
    ASSERT_NE(read, nullptr);
    ASSERT_TRUE(rack.settle());
    ASSERT_EQ(rack.engine->congestion().waiting(), 1u);

    rack.advanceTo(rack.clock.now() + (retryBudgetMs + 1) * millisecond);
    rack.engine->expireNow();
    ASSERT_TRUE(rack.settle());
    EXPECT_EQ(read->count.load(), 1);
    EXPECT_EQ(read->error.load(), Vorn::ErrorCode::TimedOut);
    EXPECT_EQ(rack.firstSentMs(healthyAddress), std::nullopt);
    EXPECT_EQ(rack.engine->congestion().waiting(), 0u);
}

} // namespace
