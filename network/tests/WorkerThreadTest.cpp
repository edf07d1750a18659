#include "engine/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {
constexpr auto deadline = 10s;
}

TEST(WorkerThreadTest, RunsHandlersInOrderOnItsThread) {
    // Declared before the worker, which is joined before they go.
    std::vector<int> order; // touched only on the worker until `done` is ready
    std::atomic<int> onWorker{0};
    std::promise<void> done;
    Vorn::WorkerThread worker;
    EXPECT_FALSE(worker.isCurrentThread());

    for (int i = 0; i < 200; ++i)
        worker.post([&, i] {
            order.push_back(i);
            onWorker += worker.isCurrentThread() ? 1 : 0;
        });
    worker.post([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(deadline), std::future_status::ready);

    std::vector<int> expected(200);
    for (int i = 0; i < 200; ++i)
        expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(order, expected);
    EXPECT_EQ(onWorker.load(), 200);
}

TEST(WorkerThreadTest, StopDiscardsQueuedHandlersAndJoins) {
    auto token = std::make_shared<int>(0);
    std::atomic<int> ran{0};
    std::promise<void> started;
    {
        Vorn::WorkerThread worker;
        std::promise<void> release;
        auto released = release.get_future().share();
        worker.post([&, released] {
            started.set_value();
            released.wait();
            worker.stop(); // from its own thread: ends the loop, does not join
            ++ran;
        });
        for (int i = 0; i < 10; ++i)
            worker.post([&ran, token] { ++ran; });
        EXPECT_EQ(token.use_count(), 11);
        ASSERT_EQ(started.get_future().wait_for(deadline), std::future_status::ready);
        release.set_value();

        worker.stop(); // joins: the first handler has finished when this returns
        EXPECT_EQ(ran.load(), 1);
        worker.stop(); // idempotent

        // Posting after stop is harmless and runs nothing.
        worker.post([&ran, token] { ++ran; });
        EXPECT_EQ(ran.load(), 1);
    }
    // Destruction freed every discarded handler without running it.
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(token.use_count(), 1);
}

TEST(WorkerThreadTest, StopWaitsForRunningHandler) {
    std::promise<void> started;
    std::atomic<bool> finished{false};
    Vorn::WorkerThread worker;
    worker.post([&] {
        started.set_value();
        std::this_thread::sleep_for(30ms);
        finished = true;
    });
    ASSERT_EQ(started.get_future().wait_for(deadline), std::future_status::ready);
    worker.stop();
    EXPECT_TRUE(finished.load());
}

// Idle means nothing queued and nothing running: a handler in progress, and
// one queued behind it, keep the worker busy until the last has returned.
TEST(WorkerThreadTest, IdleOnlyWhenNothingIsQueuedOrRunning) {
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> secondRan{false};
    Vorn::WorkerThread worker;
    EXPECT_TRUE(worker.idle());
    worker.post([&started, released] {
        started.set_value();
        released.wait();
    });
    worker.post([&] { secondRan = true; });
    EXPECT_FALSE(worker.idle());
    ASSERT_EQ(started.get_future().wait_for(deadline), std::future_status::ready);
    EXPECT_FALSE(worker.idle()); // the first runs, the second waits
    release.set_value();
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!worker.idle() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(worker.idle());
    EXPECT_TRUE(secondRan.load()); // idle came only after the last handler
}

TEST(WorkerThreadTest, ConcurrentStopsAndDestructionWithQueuedWork) {
    std::atomic<int> ran{0};
    auto token = std::make_shared<int>(0);
    auto worker = std::make_unique<Vorn::WorkerThread>();
    for (int i = 0; i < 1000; ++i)
        worker->post([&ran, token] { ++ran; });
    std::thread a([&] { worker->stop(); });
    std::thread b([&] { worker->stop(); });
    a.join();
    b.join();
    const int after = ran.load();
    // The stopped worker's destruction frees the handlers it never ran.
    worker.reset();
    EXPECT_EQ(token.use_count(), 1);

    // Destroying a worker that still has queued work does not run it.
    std::promise<void> started;
    std::promise<void> release;
    auto released = release.get_future().share();
    auto busy = std::make_unique<Vorn::WorkerThread>();
    Vorn::WorkerThread* self = busy.get(); // alive until its destructor has joined
    busy->post([&, self, released] {
        started.set_value();
        released.wait();
        self->stop();
    });
    busy->post([&ran] { ran += 1000; });
    ASSERT_EQ(started.get_future().wait_for(deadline), std::future_status::ready);
    release.set_value();
    busy.reset();
    EXPECT_EQ(ran.load(), after);
}

TEST(WorkerThreadTest, ThrowingHandlerIsCountedAndDoesNotEndTheLoop) {
    std::promise<std::size_t> counted;
    Vorn::WorkerThread worker;
    EXPECT_EQ(worker.handlerFailures(), 0u);
    worker.post([] { throw std::runtime_error("handler failure"); });
    worker.post([] { throw 7; }); // not a std::exception
    worker.post([&] { counted.set_value(worker.handlerFailures()); });
    auto seen = counted.get_future();
    ASSERT_EQ(seen.wait_for(deadline), std::future_status::ready);
    EXPECT_EQ(seen.get(), 2u);
}
