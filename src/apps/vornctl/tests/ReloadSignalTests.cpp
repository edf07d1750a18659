#include "ReloadSignal.h"

#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(VornctlReloadSignal, StepsRunInOrderAndAFailureStopsNoOther) {
    Vornctl::ReloadSignal reload;
    std::vector<std::string> ran;
    auto first = reload.join("certificate", [&] {
        ran.push_back("certificate");
        throw std::runtime_error("cannot read server.key");
    });
    auto second = reload.join("token", [&] { ran.push_back("token"); });

    EXPECT_EQ(reload.request(), (std::vector<std::string>{"certificate: cannot read server.key"}));
    EXPECT_EQ(ran, (std::vector<std::string>{"certificate", "token"}));
    EXPECT_EQ(reload.completed(), 1u);

    // A step that has left runs no more; the other goes on.
    first = Vornctl::ReloadSignal::Membership();
    ran.clear();
    EXPECT_TRUE(reload.request().empty());
    EXPECT_EQ(ran, (std::vector<std::string>{"token"}));
    EXPECT_EQ(reload.completed(), 2u);
}

TEST(VornctlReloadSignal, AMovedMembershipLeavesOnceWhenItsLastOwnerGoes) {
    Vornctl::ReloadSignal reload;
    int runs = 0;
    {
        Vornctl::ReloadSignal::Membership outer;
        {
            auto inner = reload.join("step", [&] { ++runs; });
            outer = std::move(inner);
        } // the moved-from membership leaves nothing
        reload.request();
        EXPECT_EQ(runs, 1);
    }
    reload.request();
    EXPECT_EQ(runs, 1);
}

TEST(VornctlReloadSignal, LeavingWaitsForARunningStep) {
    Vornctl::ReloadSignal reload;
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    std::optional<Vornctl::ReloadSignal::Membership> member;
    member.emplace(reload.join("slow", [&] {
        entered = true;
        while (!release)
            std::this_thread::yield();
        finished = true;
    }));
    std::thread requester([&] { reload.request(); });
    ASSERT_TRUE(TestSupport::waitUntil([&] { return entered.load(); }, 10s));
    std::atomic<bool> left{false};
    std::thread leaver([&] {
        member.reset();
        left = true;
    });
    // The step still runs: its owner must not be gone before it ends.
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(left);
    release = true;
    leaver.join();
    requester.join();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(left);
}

} // namespace
