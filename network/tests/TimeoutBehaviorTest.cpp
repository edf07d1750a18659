#include "engine/TimeoutBehavior.h"

#include <gtest/gtest.h>

TEST(TimeoutBehaviorTest, StandardBackOff) {
    Vorn::StandardTimeoutBehavior behavior;
    EXPECT_EQ(behavior.initialTimeout(), 125);
    EXPECT_EQ(behavior.retryTimeout(0), behavior.initialTimeout());
    const int expected[] = {125, 250, 500, 1000, 2000, 4000};
    for (int attempt = 0; attempt < 6; ++attempt)
        EXPECT_EQ(behavior.retryTimeout(attempt), expected[attempt]) << attempt;
    EXPECT_EQ(behavior.retryTimeout(32), 125);
    EXPECT_EQ(behavior.attemptCount(), 6);
}
