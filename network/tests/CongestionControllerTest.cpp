#include "engine/CongestionController.h"
#include "Exception.h"
#include "Recorder.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;

using State = Vorn::CongestionController::State;

// Found by argument-dependent lookup (the namespace of State) when a comparison fails.
namespace Vorn {
static void PrintTo(const State& s, std::ostream* out) {
    *out << "{inFlight " << s.bytesInFlight << ", threshold " << s.slowStartThreshold << ", window "
         << s.congestionWindow << "}";
}
} // namespace Vorn

namespace {

constexpr auto deadline = 10s;

// Applies a script of acknowledgements ('a') and losses ('l') of zero length.
void play(Vorn::CongestionController& controller, const std::string& script) {
    for (char op : script) {
        if (op == 'a')
            controller.acknowledge(0);
        else
            controller.reportLoss(0);
    }
}

// Values recorded from the worker thread, waited for with a deadline.
using Log = TestSupport::Recorder<int>;

} // namespace

TEST(CongestionControllerTest, WindowGrowthAndHalving) {
    Vorn::CongestionController controller;
    EXPECT_EQ(controller.state(), (State{0, 65536, 560}));

    play(controller, "a");
    EXPECT_EQ(controller.state().congestionWindow, 1120u);
    play(controller, std::string(115, 'a'));
    EXPECT_EQ(controller.state().congestionWindow, 65520u); // 116 acknowledgements
    play(controller, "a");
    EXPECT_EQ(controller.state().congestionWindow, 66080u); // slow start ends here
    play(controller, "a");
    EXPECT_EQ(controller.state().congestionWindow, 66084u); // + 313600 / 66080

    controller.reportLoss(0);
    EXPECT_EQ(controller.state(), (State{0, 33042, 33042}));
    play(controller, "a");
    EXPECT_EQ(controller.state().congestionWindow, 33051u); // + 313600 / 33042
}

TEST(CongestionControllerTest, LossesKeepTheFloors) {
    {
        Vorn::CongestionController controller; // loss at the initial window 560
        controller.reportLoss(0);
        EXPECT_EQ(controller.state(), (State{0, 1120, 560}));
        play(controller, "a");
        EXPECT_EQ(controller.state().congestionWindow, 1120u);
        play(controller, "a");
        EXPECT_EQ(controller.state().congestionWindow, 1400u);
    }
    {
        Vorn::CongestionController controller;
        play(controller, "laalaaalaaaal");
        ASSERT_EQ(controller.state().congestionWindow, 1000u);
        controller.reportLoss(0);
        EXPECT_EQ(controller.state(), (State{0, 1120, 560}));
        play(controller, "aa");
        EXPECT_EQ(controller.state().congestionWindow, 1400u);
    }
    {
        Vorn::CongestionController controller;
        play(controller, "laalaalaaaaaal");
        ASSERT_EQ(controller.state().congestionWindow, 1121u);
        controller.reportLoss(0);
        EXPECT_EQ(controller.state(), (State{0, 1120, 560}));
    }
    {
        Vorn::CongestionController controller;
        play(controller, std::string(13, 'a') + "la");
        ASSERT_EQ(controller.state().congestionWindow, 4000u);
        controller.reportLoss(0);
        EXPECT_EQ(controller.state(), (State{0, 2000, 2000}));
        for (int i = 0; i < 20; ++i) {
            controller.reportLoss(0);
            const State s = controller.state();
            EXPECT_GE(s.congestionWindow, 560u);
            EXPECT_GE(s.slowStartThreshold, 1120u);
        }
    }
}

TEST(CongestionControllerTest, WindowStopsAt313601) {
    Vorn::CongestionController controller;
    std::uint32_t previous = 0;
    int acks = 0;
    while (controller.state().congestionWindow != previous && acks < 1000000) {
        previous = controller.state().congestionWindow;
        controller.acknowledge(0);
        ++acks;
    }
    EXPECT_EQ(controller.state().congestionWindow, 313601u);
    play(controller, "aaaa");
    EXPECT_EQ(controller.state().congestionWindow, 313601u);
}

// Every admitted byte is released once: by a reply (the window grows), a
// time-out (it halves) or a send that never happened (it stays). Releasing
// more than a lane holds is the caller's fault: counted, and nothing changes.
TEST(CongestionControllerTest, BytesAreReleasedOnceAndUnsentOnesLeaveTheWindowAlone) {
    using Admission = Vorn::CongestionController::Admission;
    Vorn::CongestionController controller;
    ASSERT_TRUE(controller.waitForRoom(300));
    controller.acknowledge(300);
    EXPECT_EQ(controller.state(), (State{0, 65536, 1120}));
    controller.acknowledge(300); // the same bytes again
    EXPECT_EQ(controller.state(), (State{0, 65536, 1120}));
    EXPECT_EQ(controller.releaseFaults(), 1u);

    // Unsent: back without a change to the window, whatever the lane.
    ASSERT_EQ(controller.admitNow(500, Vorn::Lane::User), Admission::Admitted);
    ASSERT_EQ(controller.admitNow(200, Vorn::Lane::Failing), Admission::Admitted);
    controller.returnUnsent(500, Vorn::Lane::User);
    controller.returnUnsent(200, Vorn::Lane::Failing);
    EXPECT_EQ(controller.state(), (State{0, 65536, 1120}));
    controller.returnUnsent(1, Vorn::Lane::User);
    EXPECT_EQ(controller.releaseFaults(), 2u);

    // More than the lane holds, even when other lanes hold enough: no halving.
    ASSERT_EQ(controller.admitNow(200, Vorn::Lane::New), Admission::Admitted);
    controller.reportLoss(200, Vorn::Lane::Failing);
    controller.reportLoss(201, Vorn::Lane::New);
    EXPECT_EQ(controller.state(), (State{200, 65536, 1120}));
    EXPECT_EQ(controller.releaseFaults(), 4u);
    controller.reportLoss(200, Vorn::Lane::New);
    EXPECT_EQ(controller.state(), (State{0, 1120, 560}));
    EXPECT_EQ(controller.releaseFaults(), 4u);
}

TEST(CongestionControllerTest, AdmitsInlineUntilFullThenQueues) {
    std::promise<std::thread::id> sixth; // outlives the worker that fulfils it
    Vorn::CongestionController controller;
    const auto caller = std::this_thread::get_id();
    int inline_ = 0;
    for (int i = 0; i < 5; ++i) {
        bool ran = false;
        EXPECT_TRUE(controller.submit(1, 100, [&] {
            ran = std::this_thread::get_id() == caller;
            ++inline_;
        }));
        EXPECT_TRUE(ran) << i; // ran on this thread before submit returned
    }
    EXPECT_EQ(controller.state().bytesInFlight, 500u);

    // 600 bytes exceed the 560-byte window: the sixth waits on the worker.
    EXPECT_TRUE(controller.submit(1, 100, [&] { sixth.set_value(std::this_thread::get_id()); }));
    auto ranOn = sixth.get_future();
    EXPECT_EQ(controller.state().bytesInFlight, 500u);
    controller.acknowledge(100);
    ASSERT_EQ(ranOn.wait_for(deadline), std::future_status::ready);
    EXPECT_NE(ranOn.get(), caller);
    EXPECT_EQ(controller.state().bytesInFlight, 500u);
    EXPECT_EQ(inline_, 5);
}

TEST(CongestionControllerTest, ExactFitIsAdmitted) {
    Vorn::CongestionController controller;
    ASSERT_TRUE(controller.waitForRoom(460));
    bool ran = false;
    EXPECT_TRUE(controller.submit(2, 100, [&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_EQ(controller.state().bytesInFlight, 560u);

    // A length that would wrap a 32-bit sum must not slip in.
    std::atomic<bool> hugeRan{false};
    EXPECT_TRUE(controller.submit(3, 0xFFFFFFFFu, [&] { hugeRan = true; }));
    EXPECT_FALSE(hugeRan.load());
    EXPECT_EQ(controller.state().bytesInFlight, 560u);
    controller.shutdown();
    EXPECT_FALSE(hugeRan.load());
}

TEST(CongestionControllerTest, QueuedJobsRunInOrderAndFittingSubmitBypasses) {
    Log log; // outlives the controller, whose worker writes to it
    Vorn::CongestionController controller;
    ASSERT_TRUE(controller.waitForRoom(500));

    // 100 does not fit into 60 free bytes; these wait on the worker in order.
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(controller.submit(10, 100, [&log, i] { log.push(i); }));

    // A later request that fits is admitted at once, ahead of the queue.
    EXPECT_TRUE(controller.submit(11, 60, [&log] { log.push(0); }));
    EXPECT_EQ(log.values(), (std::vector<int>{0}));

    controller.acknowledge(560); // window 1120, nothing in flight
    ASSERT_TRUE(log.waitForCount(4, deadline));
    EXPECT_EQ(log.values(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(controller.state().bytesInFlight, 300u);
}

TEST(CongestionControllerTest, StopEndsWaitsAndRefusesSubmits) {
    Vorn::CongestionController controller;
    auto waiting = std::async(std::launch::async, [&] { return controller.waitForRoom(1000); });
    EXPECT_EQ(controller.admitNow(1000, Vorn::Lane::Answering),
              Vorn::CongestionController::Admission::Full);
    EXPECT_EQ(waiting.wait_for(0ms), std::future_status::timeout); // it does not fit
    const auto stopped = std::chrono::steady_clock::now();
    controller.stop();
    ASSERT_EQ(waiting.wait_for(deadline), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);

    auto token = std::make_shared<int>(0);
    bool ran = false;
    EXPECT_FALSE(controller.submit(1, 10, [&ran, token] { ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_EQ(token.use_count(), 1);          // the refused action is gone
    EXPECT_FALSE(controller.waitForRoom(10)); // fits, but the controller is shutting down
}

TEST(CongestionControllerTest, DestroyedControllerNeverRunsQueuedAction) {
    auto token = std::make_shared<int>(0);
    std::atomic<int> ran{0};
    {
        Vorn::CongestionController controller;
        ASSERT_TRUE(controller.waitForRoom(560));
        for (int i = 0; i < 3; ++i)
            EXPECT_TRUE(controller.submit(5, 100, [&ran, token] { ++ran; }));
        EXPECT_EQ(token.use_count(), 4);
    }
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(token.use_count(), 1);

    Vorn::CongestionController twice;
    twice.shutdown();
    twice.shutdown();
    EXPECT_FALSE(twice.submit(1, 1, [] {}));
}

TEST(CongestionControllerTest, WaitTimesOutAfterPollLimit) {
    Vorn::CongestionController controller(5);
    const auto start = std::chrono::steady_clock::now();
    try {
        controller.waitForRoom(1000);
        FAIL() << "no exception";
    } catch (const Vorn::CongestionWaitTimeoutException& e) {
        EXPECT_EQ(e.source(), "src/CongestionController");
        EXPECT_GT(e.line(), 0);
        EXPECT_EQ(e.message(), "A timeout occured when attempting to communicate on the network");
    }
    // Six sleeps of at least 1 ms each happened before giving up.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 6ms);
    EXPECT_EQ(controller.state().bytesInFlight, 0u);
}

// A clock the test sets, for give-up times.
struct ManualClock {
    std::shared_ptr<std::atomic<std::uint64_t>> now =
        std::make_shared<std::atomic<std::uint64_t>>(1);
    Vorn::CongestionController::Clock clock() const {
        return [now = now] { return now->load(); };
    }
};

using Ticket = Vorn::CongestionController::Ticket;
using Admission = Vorn::CongestionController::Admission;

TEST(CongestionControllerTest, UserLaneIsNeverHeldUpByBackgroundBytes) {
    Vorn::CongestionController controller;
    // The background fills the window: a new-device request, then one to a
    // failing device (which may hold a quarter of it), then nothing fits.
    EXPECT_EQ(controller.admitNow(420, Vorn::Lane::New), Admission::Admitted);
    EXPECT_EQ(controller.admitNow(140, Vorn::Lane::Failing), Admission::Admitted);
    EXPECT_EQ(controller.admitNow(1, Vorn::Lane::Answering), Admission::Full);

    // The user's request is measured on the user's bytes alone.
    bool ran = false;
    EXPECT_EQ(controller.submit(Ticket{1, 36, Vorn::Lane::User}, [&](Vorn::Lane) { ran = true; }),
              Admission::Admitted);
    EXPECT_TRUE(ran);
    EXPECT_EQ(controller.bytesInFlight(Vorn::Lane::User), 36u);
    EXPECT_EQ(controller.state().bytesInFlight, 596u);

    // ...and the user's bytes still count for the background.
    controller.acknowledge(420, Vorn::Lane::New);
    EXPECT_EQ(controller.state(), (State{176, 65536, 1120}));
    EXPECT_EQ(controller.admitNow(944, Vorn::Lane::Answering), Admission::Admitted);
    EXPECT_EQ(controller.admitNow(1, Vorn::Lane::Answering), Admission::Full);
    // The user lane has its whole window of its own: 1120 - 36.
    EXPECT_EQ(controller.admitNow(1084, Vorn::Lane::User), Admission::Admitted);
    EXPECT_EQ(controller.admitNow(1, Vorn::Lane::User), Admission::Full);
}

TEST(CongestionControllerTest, FailingLaneHoldsAtMostAQuarterOfTheWindow) {
    Vorn::CongestionController controller;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(controller.admitNow(35, Vorn::Lane::Failing), Admission::Admitted) << i;
    EXPECT_EQ(controller.admitNow(35, Vorn::Lane::Failing), Admission::Full); // 175 > 560 / 4
    EXPECT_EQ(controller.admitNow(420, Vorn::Lane::New), Admission::Admitted);
    EXPECT_EQ(controller.admitNow(1, Vorn::Lane::Answering), Admission::Full);
    controller.reportLoss(35, Vorn::Lane::Failing);
    EXPECT_EQ(controller.bytesInFlight(Vorn::Lane::Failing), 105u);
    EXPECT_EQ(controller.admitNow(35, Vorn::Lane::Failing), Admission::Admitted);
}

TEST(CongestionControllerTest, WaitingRequestsAreServedInLaneOrder) {
    Log log; // outlives the controller, whose thread writes to it
    Vorn::CongestionController controller;
    ASSERT_TRUE(controller.waitForRoom(560));
    // Queued in the reverse of their lanes' order; each lane first come first served.
    const std::pair<Vorn::Lane, int> requests[] = {{Vorn::Lane::Failing, 4},
                                                   {Vorn::Lane::New, 3},
                                                   {Vorn::Lane::Answering, 2},
                                                   {Vorn::Lane::Failing, 5},
                                                   {Vorn::Lane::Answering, 1}};
    for (auto [lane, tag] : requests) {
        const Ticket ticket{static_cast<std::uint64_t>(tag), 100, lane};
        EXPECT_EQ(controller.submit(ticket, [&log, tag = tag](Vorn::Lane) { log.push(tag); }),
                  Admission::Queued);
    }
    EXPECT_EQ(controller.waiting(), 5u);

    // A time-out halves nothing below 560 and frees the window: 2, 1 and 3
    // fit (300 bytes) and the failing lane's quarter (140) takes one of 100.
    controller.reportLoss(560);
    ASSERT_TRUE(log.waitForCount(4, deadline));
    EXPECT_EQ(log.values(), (std::vector<int>{2, 1, 3, 4}));
    EXPECT_EQ(controller.waiting(), 1u);
    controller.acknowledge(100, Vorn::Lane::Failing);
    ASSERT_TRUE(log.waitForCount(5, deadline));
    EXPECT_EQ(log.values().back(), 5);
}

TEST(CongestionControllerTest, WaitingRequestGivesUpAtItsTimeAndWithItsFrame) {
    ManualClock clock;
    Log log;
    Vorn::CongestionController controller(Vorn::CongestionController::defaultPollLimit,
                                          clock.clock());
    ASSERT_TRUE(controller.waitForRoom(560));
    auto token = std::make_shared<int>(0);
    std::vector<std::pair<int, Vorn::ErrorCode>> endings; // written on this thread only
    const auto submitTagged = [&](std::uint64_t frame, std::uint64_t giveUpAt, int tag) {
        return controller.submit(
            Ticket{frame, 100, Vorn::Lane::New, giveUpAt},
            [&log, tag, token](Vorn::Lane) { log.push(tag); },
            [&endings, tag, token](Vorn::ErrorCode why) { endings.emplace_back(tag, why); });
    };
    EXPECT_EQ(submitTagged(7, 1000, 1), Admission::Queued);
    EXPECT_EQ(submitTagged(8, 2000, 2), Admission::Queued);
    EXPECT_EQ(submitTagged(7, 3000, 3), Admission::Queued);
    EXPECT_EQ(submitTagged(9, 0, 4), Admission::Queued); // waits until admitted

    clock.now->store(999);
    controller.expireNow();
    EXPECT_TRUE(endings.empty());
    clock.now->store(2000);
    controller.expireNow();
    EXPECT_EQ(endings, (std::vector<std::pair<int, Vorn::ErrorCode>>{
                           {1, Vorn::ErrorCode::TimedOut}, {2, Vorn::ErrorCode::TimedOut}}));

    // Frame 7 leaves: its request ends at once, the other one stays.
    controller.dropFrame(7);
    ASSERT_EQ(endings.size(), 3u);
    EXPECT_EQ(endings[2], (std::pair<int, Vorn::ErrorCode>{3, Vorn::ErrorCode::SendFailed}));
    controller.dropFrame(7);
    clock.now->store(1u << 30);
    controller.expireNow();
    EXPECT_EQ(endings.size(), 3u); // each ended once
    EXPECT_EQ(controller.waiting(), 1u);

    controller.acknowledge(560);
    ASSERT_TRUE(log.waitForCount(1, deadline));
    EXPECT_EQ(log.values(), (std::vector<int>{4}));
    EXPECT_EQ(endings.size(), 3u);
    controller.shutdown();
    EXPECT_EQ(token.use_count(), 1); // every queued job is gone
}

TEST(CongestionControllerTest, PromotedRequestsAreServedInTheOrderTheyWaited) {
    Log log; // outlives the controller, whose thread writes to it
    Vorn::CongestionController controller;
    ASSERT_TRUE(controller.waitForRoom(560));
    // Frame 7's requests wait in the New and Failing lanes, mixed, beside frame
    // 8's in New; a user request is never moved.
    const std::tuple<std::uint64_t, Vorn::Lane, int> requests[] = {
        {7, Vorn::Lane::Failing, 1}, {8, Vorn::Lane::New, 9}, {7, Vorn::Lane::New, 2},
        {7, Vorn::Lane::Failing, 3}, {7, Vorn::Lane::New, 4}, {7, Vorn::Lane::Failing, 5},
        {7, Vorn::Lane::User, 0},    {7, Vorn::Lane::New, 6}};
    for (auto [frame, lane, tag] : requests)
        ASSERT_EQ(controller.submit(Ticket{frame, 10, lane},
                                    [&log, tag = tag](Vorn::Lane admitted) {
                                        log.push(admitted == Vorn::Lane::Answering ? tag : -tag);
                                    }),
                  lane == Vorn::Lane::User ? Admission::Admitted : Admission::Queued);
    controller.promote(7);
    controller.acknowledge(560); // window 1120: room for all
    ASSERT_TRUE(log.waitForCount(8, deadline));
    // The user's ran at once; then 7's in the Answering lane as they came, then 8's.
    EXPECT_EQ(log.values(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, -9}));
}

// Releases after which nothing waiting fits leave the queue's thread asleep:
// it wakes at most once, for the release that lets the waiting request in.
TEST(CongestionControllerTest, QueueThreadSleepsWhileNothingWaitingFits) {
    Log log; // outlives the controller, whose thread writes to it
    Vorn::CongestionController controller;
    ASSERT_EQ(controller.admitNow(460, Vorn::Lane::User), Admission::Admitted);
    ASSERT_EQ(controller.admitNow(100, Vorn::Lane::User), Admission::Admitted);
    ASSERT_EQ(
        controller.submit(Ticket{1, 560, Vorn::Lane::New}, [&log](Vorn::Lane) { log.push(1); }),
        Admission::Queued);
    for (int i = 0; i < 100; ++i) {
        // 100 bytes leave and come back: 460 + 560 never fit in 560.
        if (i % 2 == 0)
            controller.returnUnsent(100, Vorn::Lane::User);
        else
            controller.reportLoss(100, Vorn::Lane::User); // the window stays at its floor
        ASSERT_EQ(controller.admitNow(100, Vorn::Lane::User), Admission::Admitted) << i;
        controller.promote(1); // already in a lane no later than Answering's
    }
    ASSERT_TRUE(TestSupport::waitUntil([&] { return controller.idle(); }));
    EXPECT_EQ(controller.wakeUps(), 0u);
    EXPECT_EQ(controller.waiting(), 1u);

    controller.returnUnsent(460, Vorn::Lane::User);
    EXPECT_EQ(controller.waiting(), 1u); // 100 + 560 still do not fit
    controller.returnUnsent(100, Vorn::Lane::User);
    ASSERT_TRUE(log.waitForCount(1, deadline));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return controller.idle(); }));
    EXPECT_LE(controller.wakeUps(), 1u); // none when the thread had not yet gone to sleep
}

// A request that leaves the queue unsent (given up, or its frame gone) lets
// the one that waited behind it in, with no release to wake the thread.
TEST(CongestionControllerTest, RequestLeavingTheQueueLetsTheNextOneIn) {
    ManualClock clock;
    Log log;
    Vorn::CongestionController controller(Vorn::CongestionController::defaultPollLimit,
                                          clock.clock());
    ASSERT_EQ(controller.admitNow(460, Vorn::Lane::New), Admission::Admitted);
    const auto submitTagged = [&](std::uint64_t frame, std::uint32_t length, std::uint64_t giveUpAt,
                                  int tag) {
        return controller.submit(Ticket{frame, length, Vorn::Lane::New, giveUpAt},
                                 [&log, tag](Vorn::Lane) { log.push(tag); });
    };
    ASSERT_EQ(submitTagged(7, 500, 1000, 1), Admission::Queued);
    ASSERT_EQ(submitTagged(8, 500, 0, 2), Admission::Queued);
    ASSERT_EQ(submitTagged(9, 150, 0, 3), Admission::Queued);
    controller.returnUnsent(100, Vorn::Lane::New); // 360 + 500 do not fit

    clock.now->store(1000);
    controller.expireNow();  // 1 gives up; 360 + 500 still do not fit
    controller.dropFrame(8); // 2 leaves; 360 + 150 fit
    ASSERT_TRUE(log.waitForCount(1, deadline));
    EXPECT_EQ(log.values(), (std::vector<int>{3}));
    EXPECT_EQ(controller.waiting(), 0u);
}

// On the steady clock the queue's thread ends give-ups by itself, the sooner
// one first even when it came after a later one it was already sleeping for.
TEST(CongestionControllerTest, QueueThreadWakesForTheEarliestGiveUp) {
    using Clock = std::chrono::steady_clock;
    const auto nanosecondsNow = [] {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count());
    };
    TestSupport::Recorder<std::pair<int, Clock::time_point>> endings;
    Vorn::CongestionController controller(Vorn::CongestionController::defaultPollLimit,
                                          nanosecondsNow);
    ASSERT_TRUE(controller.waitForRoom(560));
    const auto submitGivingUpAfter = [&](std::chrono::milliseconds after, int tag) {
        const std::uint64_t giveUpAt =
            nanosecondsNow() +
            static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(after).count());
        return controller.submit(
            Ticket{static_cast<std::uint64_t>(tag), 100, Vorn::Lane::New, giveUpAt},
            [](Vorn::Lane) {},
            [&endings, tag](Vorn::ErrorCode) {
                endings.push({tag, Clock::now()});
            });
    };
    const auto start = Clock::now();
    ASSERT_EQ(submitGivingUpAfter(60s, 1), Admission::Queued);
    ASSERT_EQ(submitGivingUpAfter(50ms, 2), Admission::Queued);
    const auto first = endings.waitForFirst(deadline);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->first, 2);
    EXPECT_GE(first->second - start, 50ms);
    EXPECT_EQ(controller.waiting(), 1u);
    controller.shutdown();
    EXPECT_EQ(endings.size(), 1u);
}

TEST(CongestionControllerTest, QueueBoundRefusesFirstSendsButNeverRetransmissions) {
    Vorn::CongestionController controller;
    ASSERT_TRUE(controller.waitForRoom(560));
    auto token = std::make_shared<int>(0);
    for (std::size_t i = 0; i < Vorn::CongestionController::backgroundBound; ++i)
        ASSERT_EQ(controller.submit(
                      Ticket{i, 32, i % 2 ? Vorn::Lane::New : Vorn::Lane::Failing},
                      [token](Vorn::Lane) {}, [token](Vorn::ErrorCode) {}),
                  Admission::Queued);
    bool ran = false;
    bool gaveUp = false;
    EXPECT_EQ(controller.submit(
                  Ticket{1, 32, Vorn::Lane::Answering}, [&ran, token](Vorn::Lane) { ran = true; },
                  [&gaveUp, token](Vorn::ErrorCode) { gaveUp = true; }),
              Admission::Refused);
    EXPECT_EQ(token.use_count(),
              1 + 2 * static_cast<long>(Vorn::CongestionController::backgroundBound));
    // A retransmission of an accepted request is queued beyond the bound.
    EXPECT_EQ(controller.submit(Ticket{1, 32, Vorn::Lane::Failing, 0, false}, [](Vorn::Lane) {}),
              Admission::Queued);
    // The user's lane has a bound of its own (its bytes fit first: fill them).
    ASSERT_EQ(controller.admitNow(560, Vorn::Lane::User), Admission::Admitted);
    for (std::size_t i = 0; i < Vorn::CongestionController::userBound; ++i)
        ASSERT_EQ(controller.submit(Ticket{i, 36, Vorn::Lane::User}, [](Vorn::Lane) {}),
                  Admission::Queued);
    EXPECT_EQ(controller.submit(Ticket{1, 36, Vorn::Lane::User}, [](Vorn::Lane) {}),
              Admission::Refused);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(gaveUp);

    controller.shutdown(); // queued jobs are dropped, none runs nor gives up
    EXPECT_EQ(token.use_count(), 1);
}

// Many threads admitting and releasing at once: admission never overfills the
// window and every byte comes back. Meant for ThreadSanitizer as well.
TEST(CongestionControllerTest, ConcurrentAdmissionNeverOverfills) {
    Vorn::CongestionController controller;
    std::atomic<bool> overfilled{false};
    std::atomic<int> admitted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (!controller.waitForRoom(200))
                    return;
                ++admitted;
                const State s = controller.state();
                if (s.bytesInFlight > s.congestionWindow)
                    overfilled = true;
                controller.acknowledge(200);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(overfilled.load());
    EXPECT_EQ(admitted.load(), 6 * 200); // a wait that refuses admits nothing
    EXPECT_EQ(controller.state().bytesInFlight, 0u);
}
