#include "engine/framelist/RequestTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr std::uint64_t ms = 1000000; // steady nanoseconds

// A completion that appends its tag to `calls` and holds `alive` while it exists.
Vorn::RequestCompletion tagged(std::vector<std::string>& calls, std::string tag,
                               std::shared_ptr<int> alive = nullptr) {
    return [&calls, tag = std::move(tag), alive](const char*, unsigned, Vorn::ErrorCode) {
        calls.push_back(tag);
    };
}

void callAll(std::vector<Vorn::RequestCompletion>& completions) {
    for (auto& completion : completions)
        completion(nullptr, 0, Vorn::ErrorCode::TimedOut);
}

TEST(RequestTableTest, ReplacedAndWithdrawnRequestsAreDroppedUncalledAndOnlyTheirOwn) {
    Vorn::RequestTable table;
    std::vector<std::string> calls;
    auto first = std::make_shared<int>(0);
    const auto firstTicket = table.add(7, tagged(calls, "first", first), 100 * ms);
    EXPECT_EQ(first.use_count(), 2);
    const auto secondTicket = table.add(7, tagged(calls, "second"), 200 * ms);
    EXPECT_NE(firstTicket, secondTicket);
    EXPECT_EQ(first.use_count(), 1); // the replaced completion is gone, never called
    EXPECT_EQ(table.size(), 1u);

    // A refused send of the first request must not take back the second.
    table.withdraw(7, firstTicket);
    Vorn::RequestCompletion completion;
    std::uint64_t deadline = 0;
    ASSERT_TRUE(table.take(7, completion, deadline));
    EXPECT_EQ(deadline, 200 * ms);
    completion(nullptr, 0, Vorn::ErrorCode::Success);
    EXPECT_EQ(calls, (std::vector<std::string>{"second"}));
    EXPECT_FALSE(table.take(7, completion, deadline)); // answered once only

    // The replaced request's deadline ends nothing: the table is empty.
    std::vector<Vorn::RequestCompletion> expired;
    EXPECT_EQ(table.takeExpired(1000 * ms, expired), 0u);
    EXPECT_TRUE(expired.empty());

    auto withdrawn = std::make_shared<int>(0);
    const auto ticket = table.add(9, tagged(calls, "withdrawn", withdrawn), 100 * ms);
    table.withdraw(9, ticket);
    EXPECT_EQ(withdrawn.use_count(), 1);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(calls.size(), 1u);
}

// Thousands of requests, most answered and some replaced, so that the deadline
// heap is rebuilt from the table several times: each pass hands out exactly the
// live requests due, earliest first, and reports the next live deadline.
TEST(RequestTableTest, ExpiryTakesExactlyTheLiveRequestsDueInDeadlineOrder) {
    Vorn::RequestTable table;
    std::vector<std::string> calls;
    std::vector<std::pair<std::uint64_t, std::string>> live; // (deadline, tag)
    for (std::uint32_t sequence = 1; sequence <= 5000; ++sequence) {
        const std::uint64_t deadline = (1 + (sequence * 7919) % 6000) * ms; // distinct
        const std::string tag = std::to_string(sequence);
        table.add(sequence, tagged(calls, tag), deadline);
        if (sequence % 10 != 0) {
            Vorn::RequestCompletion answered;
            std::uint64_t answeredDeadline = 0;
            ASSERT_TRUE(table.take(sequence, answered, answeredDeadline));
            ASSERT_EQ(answeredDeadline, deadline);
        } else if (sequence % 30 == 0) {
            table.add(sequence, tagged(calls, "again" + tag), deadline + 7000 * ms);
            live.emplace_back(deadline + 7000 * ms, "again" + tag);
        } else {
            live.emplace_back(deadline, tag);
        }
    }
    std::sort(live.begin(), live.end());
    EXPECT_EQ(table.size(), live.size());
    EXPECT_EQ(table.earliestDeadline(), live.front().first);
    // The deadline order agrees, past the answered and replaced requests' entries.
    EXPECT_EQ(table.nextDeadline(), live.front().first);

    std::size_t done = 0;
    for (std::uint64_t now : {0 * ms, 2500 * ms, 2500 * ms, 9000 * ms, 20000 * ms}) {
        std::vector<Vorn::RequestCompletion> expired;
        const std::uint64_t next = table.takeExpired(now, expired);
        callAll(expired);
        std::vector<std::string> expected;
        for (; done < live.size() && live[done].first <= now; ++done)
            expected.push_back(live[done].second);
        EXPECT_EQ(calls, expected) << "at " << now / ms << " ms";
        EXPECT_EQ(next, done < live.size() ? live[done].first : 0u);
        EXPECT_EQ(table.earliestDeadline(), next);
        EXPECT_EQ(table.nextDeadline(), next);
        EXPECT_EQ(table.size(), live.size() - done);
        calls.clear();
    }
    EXPECT_EQ(done, live.size());
}

} // namespace
