#include "transport/Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#endif

TEST(PlatformTest, TickCountFollowsAMonotonicMillisecondClock) {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    const std::uint32_t first = Network::tickCount();
    std::this_thread::sleep_for(60ms);
    const std::uint32_t second = Network::tickCount();
    const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - start).count();

    // Unsigned difference: correct across the 32-bit wrap as well. The
    // Windows counter advances in steps of up to about 16 ms.
    const std::uint32_t ticks = second - first;
    EXPECT_GE(ticks, 60u - 20u);
    EXPECT_LE(ticks, static_cast<std::uint32_t>(elapsed) + 20u);
}

TEST(PlatformTest, LogicalProcessorsAtLeastOne) {
    const unsigned count = Network::logicalProcessorCount();
    EXPECT_GE(count, 1u);
    if (std::thread::hardware_concurrency() != 0) {
        EXPECT_EQ(count, std::thread::hardware_concurrency());
    }
}

// The inner clean-up must not end the outer start-up: a socket still opens.
// (Without a socket library to start, the same holds trivially elsewhere; the
// check is the Windows one.)
TEST(PlatformTest, SocketLibraryInstancesNest) {
#ifdef _WIN32
    Network::SocketLibrary outer;
    { Network::SocketLibrary inner; }
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    EXPECT_NE(s, INVALID_SOCKET);
    if (s != INVALID_SOCKET)
        closesocket(s);
#else
    GTEST_SKIP() << "the socket library needs no start-up here";
#endif
}
