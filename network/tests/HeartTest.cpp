#include "engine/Heart.h"

#include "TestSupport.h"
#include "transport/Server.h"
#include "wire/Message.h"
#include "wire/Wire.h"

#include <boost/asio/ip/udp.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>

using namespace TestSupport;

namespace {

TEST(HeartTest, WaitIsMeasuredFromTheStartOfTheBroadcastAcrossTheCounterWrap) {
    EXPECT_EQ(Vorn::Heart::waitAfter(0xFFFFFF00u, 0x00000010u), 728u); // 272 ms elapsed
    EXPECT_EQ(Vorn::Heart::waitAfter(500, 500), 1000u);
    EXPECT_EQ(Vorn::Heart::waitAfter(500, 1499), 1u);
    EXPECT_EQ(Vorn::Heart::waitAfter(500, 1500), 0u); // a whole period: next one at once
    EXPECT_EQ(Vorn::Heart::waitAfter(500, 90000), 0u);
}

// The tick source reports every broadcast as taking a whole period, so the
// next one follows at once; each broadcast draws one sequence number.
TEST(HeartTest, SlowBroadcastsAreFollowedAtOnceAndDestructionEndsTheWaitAtOnce) {
    Network::Server server(6017, "127.0.0.1", 0);
    {
        std::atomic<std::uint32_t> ticks{0xFFFFFC00u}; // wraps during the run
        const std::uint32_t before = Vorn::nextSequence.load();
        Vorn::Heart heart(server, 1, 2, 6, 9, [&] { return ticks.fetch_add(1000); });
        EXPECT_TRUE(waitUntil([&] { return Vorn::nextSequence.load() - before >= 20; }));
    }

    const std::uint32_t before = Vorn::nextSequence.load();
    auto heart = std::make_unique<Vorn::Heart>(server, 1, 2, 6, 9);
    ASSERT_TRUE(waitUntil([&] { return Vorn::nextSequence.load() != before; }));
    const auto start = std::chrono::steady_clock::now();
    heart.reset(); // the thread is waiting out its second
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(Vorn::nextSequence.load(), before + 1);
}

// Receives the heart's broadcasts on the wildcard address: only inside the
// test run's own network namespace.
TEST(HeartTest, BroadcastsPresenceAboutEverySecond) {
    VORN_REQUIRE_TEST_NAMESPACE();
    namespace ip = boost::asio::ip;
    boost::asio::io_context io;
    ip::udp::socket listener(io, ip::udp::endpoint(ip::address_v4::any(), 0));
    const std::uint16_t port = listener.local_endpoint().port();
    Network::Server server(port, "127.0.0.1", 0);

    std::vector<std::vector<char>> received;
    std::vector<std::chrono::steady_clock::time_point> arrivals;
    {
        Vorn::Heart heart(server, 0x11111111, 0x22222222, 6, 9);
        while (received.size() < 3) {
            // One broadcast, waited for at most three periods.
            std::vector<char> buffer(200);
            ip::udp::endpoint from;
            std::optional<std::size_t> got;
            listener.async_receive_from(
                boost::asio::buffer(buffer), from,
                [&](const boost::system::error_code& error, std::size_t size) {
                    if (!error)
                        got = size;
                });
            io.restart();
            io.run_for(3s);
            if (!got) {
                listener.cancel();
                io.restart();
                io.run(); // the cancelled receive's handler
            }
            ASSERT_TRUE(got) << "broadcast " << received.size() + 1 << " did not come within 3 s";
            buffer.resize(*got);
            received.push_back(buffer);
            arrivals.push_back(std::chrono::steady_clock::now());
        }
    }
    for (std::size_t i = 0; i < received.size(); ++i) {
        const char* m = received[i].data();
        ASSERT_EQ(received[i].size(), 100u);
        EXPECT_EQ(Vorn::Wire::readFrameId(m), 0x2222222211111111u);
        EXPECT_EQ(Vorn::Wire::readU32(m + 8), 0xFFFFFFFEu);
        EXPECT_EQ(Vorn::Wire::readU32(m + 12), 0xFFFFFFFDu);
        EXPECT_EQ(Vorn::Wire::readU16(m + 16), 6);
        EXPECT_EQ(Vorn::Wire::readU16(m + 18), 0);
        EXPECT_EQ(Vorn::Wire::readU16(m + 20), 100);
        EXPECT_EQ(Vorn::Wire::readU16(m + 22), 9);
        for (int offset = 28; offset < 96; ++offset)
            EXPECT_EQ(m[offset], 0) << offset;
        if (i > 0) {
            EXPECT_EQ(Vorn::Wire::readU32(m + 24),
                      Vorn::Wire::readU32(received[i - 1].data() + 24) + 1);
            const auto gap = arrivals[i] - arrivals[i - 1];
            EXPECT_GT(gap, 900ms);
            EXPECT_LT(gap, 1600ms);
        }
    }
}

} // namespace
