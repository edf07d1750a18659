#include "engine/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Vorn::Event;

namespace {
using IntEvent = Event<std::function<void(int)>>;
}

TEST(EventTest, CallsLiveSubscribersInOrder) {
    IntEvent event;
    event.raise(1); // nobody listening: nothing happens
    EXPECT_FALSE(event.hasSubscribers());

    std::vector<std::string> calls;
    auto first = event.subscribe([&](int v) { calls.push_back("first " + std::to_string(v)); });
    auto second = event.subscribe([&](int v) { calls.push_back("second " + std::to_string(v)); });
    auto third = event.subscribe([&](int v) { calls.push_back("third " + std::to_string(v)); });
    event.raise(7);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 7", "second 7", "third 7"}));

    // A dropped token ends its subscription; the others keep their order.
    calls.clear();
    second.reset();
    event.raise(8);
    event.raise(9);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 8", "third 8", "first 9", "third 9"}));

    // Later subscribers go to the end, also after pruning.
    calls.clear();
    auto fourth = event.subscribe([&](int v) { calls.push_back("fourth " + std::to_string(v)); });
    first.reset();
    event.raise(10);
    EXPECT_EQ(calls, (std::vector<std::string>{"third 10", "fourth 10"}));

    third.reset();
    fourth.reset();
    calls.clear();
    EXPECT_TRUE(event.hasSubscribers()); // expired entries stay until a traversal
    event.raise(11);
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(event.hasSubscribers()); // ...which erased them
}

TEST(EventTest, HandlersCursorSkipsExpired) {
    IntEvent event;
    int sum = 0;
    auto a = event.subscribe([&](int v) { sum += v; });
    auto b = event.subscribe([&](int v) { sum += 10 * v; });
    auto c = event.subscribe([&](int v) { sum += 100 * v; });
    b.reset();
    {
        auto cursor = event.handlers();
        auto one = cursor->next();
        auto two = cursor->next();
        ASSERT_TRUE(one && two);
        EXPECT_FALSE(cursor->next());
        EXPECT_FALSE(cursor->next());
        (*one)(1);
        (*two)(1);
    }
    EXPECT_EQ(sum, 101);
}

TEST(EventTest, SubscriberMayDropItsOwnToken) {
    IntEvent event;
    std::optional<IntEvent::Token> selfToken;
    std::vector<int> seen;
    std::string captured = "still alive";
    int selfCalls = 0;
    auto before = event.subscribe([&](int v) { seen.push_back(v); });
    selfToken = event.subscribe([&, text = captured](int v) {
        ++selfCalls;
        selfToken.reset(); // the traversal keeps this callable alive
        seen.push_back(v * 100 + static_cast<int>(text.size()));
    });
    auto after = event.subscribe([&](int v) { seen.push_back(-v); });

    event.raise(1);
    event.raise(2);
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(seen, (std::vector<int>{1, 100 + static_cast<int>(captured.size()), -1, 2, -2}));
}

TEST(EventTest, PassesArgumentsAndReleasesLockOnThrow) {
    Event<std::function<void(int, const std::string&)>> event;
    std::string got;
    auto token = event.subscribe([&](int n, const std::string& s) { got = std::to_string(n) + s; });
    const std::string text = "abc";
    event.raise(3, text);
    EXPECT_EQ(got, "3abc");

    // An empty callable throws from raise; the event stays usable afterwards.
    auto empty = event.subscribe(std::function<void(int, const std::string&)>());
    EXPECT_THROW(event.raise(4, text), std::bad_function_call);
    EXPECT_EQ(got, "4abc");
    empty.reset();
    event.raise(5, text);
    EXPECT_EQ(got, "5abc");
}

TEST(EventTest, TokenOutlivesEvent) {
    IntEvent::Token token;
    int calls = 0;
    {
        IntEvent event;
        token = event.subscribe([&](int) { ++calls; });
        event.raise(0);
    }
    ASSERT_TRUE(token);
    (*token)(0);
    EXPECT_EQ(calls, 2);
}

// Subscribing, raising and dropping tokens from several threads at once. Meant
// to be run under ThreadSanitizer; checks that each raise reaches the
// long-lived subscriber exactly once and that no callable runs after it was
// freed (its captured state would be gone).
TEST(EventTest, ConcurrentSubscribeRaiseDrop) {
    IntEvent event;
    std::atomic<long> stableCalls{0};
    std::atomic<long> transientCalls{0};
    auto stable = event.subscribe([&](int) { stableCalls.fetch_add(1); });

    constexpr int raisers = 2;
    constexpr int churners = 2;
    constexpr int iterations = 2000;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int r = 0; r < raisers; ++r)
        threads.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < iterations; ++i)
                event.raise(i);
        });
    for (int c = 0; c < churners; ++c)
        threads.emplace_back([&, c] {
            while (!go.load())
                std::this_thread::yield();
            std::vector<IntEvent::Token> held;
            for (int i = 0; i < iterations; ++i) {
                auto payload = std::make_shared<std::vector<int>>(8, c);
                held.push_back(event.subscribe([&, payload](int v) {
                    transientCalls.fetch_add((*payload)[static_cast<std::size_t>(v) % 8] >= 0);
                }));
                if (held.size() > 4)
                    held.erase(held.begin() + (i % 3)); // drop from the middle too
            }
        });
    go.store(true);
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(stableCalls.load(), static_cast<long>(raisers) * iterations);
    stable.reset();
    const long transientBefore = transientCalls.load();
    event.raise(0); // every churner token is gone: nobody is called
    EXPECT_EQ(transientCalls.load(), transientBefore);
    EXPECT_FALSE(event.hasSubscribers());
    EXPECT_EQ(stableCalls.load(), static_cast<long>(raisers) * iterations);
}
