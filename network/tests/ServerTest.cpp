#include "transport/Server.h"
#include "Exception.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "WaitUntil.h"
#include "transport/Platform.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
// After winsock2.h, which must come before windows.h.
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>
#endif

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using namespace std::chrono_literals;
using Network::Server;

constexpr std::uint32_t loopback = 0x7F000001;
constexpr auto patience = 10s; // upper bound for anything that should happen at once

// A plain UDP socket on loopback, the other end of the server under test.
class Peer {
public:
    explicit Peer(const char* address = "127.0.0.1")
        : socket_(io_, udp::endpoint(asio::ip::make_address_v4(address), 0)) {
        socket_.set_option(asio::socket_base::broadcast(true));
    }

    std::uint16_t port() const { return socket_.local_endpoint().port(); }

    void sendTo(const std::string& data, std::uint16_t port) {
        socket_.send_to(asio::buffer(data), udp::endpoint(asio::ip::address_v4(loopback), port));
    }

    // The next datagram, or nothing when none arrives in time.
    std::optional<std::string> receive(std::chrono::milliseconds timeout,
                                       udp::endpoint* from = nullptr) {
        std::vector<char> buffer(65536);
        udp::endpoint sender;
        std::optional<std::string> result;
        bool done = false;
        socket_.async_receive_from(asio::buffer(buffer), sender,
                                   [&](const boost::system::error_code& ec, std::size_t count) {
                                       done = true;
                                       if (!ec)
                                           result.emplace(buffer.data(), count);
                                   });
        io_.restart();
        io_.run_for(timeout);
        if (!done) {
            socket_.cancel();
            io_.restart();
            io_.run();
        }
        if (from)
            *from = sender;
        return result;
    }

private:
    asio::io_context io_;
    udp::socket socket_;
};

struct Datagram {
    std::string bytes;
    std::uint32_t sender;
};

// Hands every delivery to the test-support recorder the test waits on.
struct Recording : Network::ServerEventHandler {
    void onReceive(const char* data, std::size_t length, std::uint32_t sender) override {
        datagrams.push({std::string(data, length), sender});
    }
    bool waitFor(std::size_t count) { return datagrams.waitForCount(count, patience); }
    TestSupport::Recorder<Datagram> datagrams;
};

std::size_t threadsInProcess();

// The thread count once the run-time's own helpers (a sanitizer's background
// thread starts with the first thread created) are up. A joined thread can
// stay listed in /proc for a moment after join returns (the kernel wakes the
// joiner before it releases the task), so the count is the lowest seen over
// a short while rather than the first reading.
std::size_t settledThreadCount() {
    { Server warmUp(6017, "127.0.0.1", 0); }
    std::size_t lowest = threadsInProcess();
    TestSupport::waitUntil(
        [&] {
            lowest = std::min(lowest, threadsInProcess());
            return false;
        },
        100ms);
    return lowest;
}

// Waits until the process runs `expected` threads; for the same reason a
// thread just joined may still be counted for a moment.
bool threadCountBecomes(std::size_t expected) {
    return TestSupport::waitUntil([&] { return threadsInProcess() == expected; }, 10s);
}

std::size_t threadsInProcess() {
#ifdef __linux__
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
#elif defined(_WIN32)
    // The system's list of every thread, those of this process counted.
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no thread snapshot: error " << GetLastError();
        return 0;
    }
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
#else
#error "no way to count this process's threads here"
#endif
}

template <class E> E constructionError(const std::string& address, std::uint16_t port) {
    try {
        Server server(6017, address, port);
    } catch (const E& error) {
        return error;
    }
    ADD_FAILURE() << "no exception of the expected type for " << address;
    return E("", 0, "");
}

// Wine lets a socket bind any IPv4 address, local or not (Windows does not).
bool runningUnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

TEST(ServerTest, IoThreadCountIsProcessorsButAtLeastFour) {
    EXPECT_EQ(Server::ioThreadCountFor(1), 4u);
    EXPECT_EQ(Server::ioThreadCountFor(2), 4u);
    EXPECT_EQ(Server::ioThreadCountFor(4), 4u);
    EXPECT_EQ(Server::ioThreadCountFor(8), 8u);
    EXPECT_EQ(Server::ioThreadCountFor(12), 12u);
}

TEST(ServerTest, BindsAndRunsItsThreadsAndEndsThemAll) {
    const std::size_t before = settledThreadCount();
    {
        Server server(6017, "127.0.0.1", 0);
        EXPECT_NE(server.localPort(), 0);
        EXPECT_EQ(server.ioThreadCount(),
                  Server::ioThreadCountFor(Network::logicalProcessorCount()));
#ifdef __linux__
        EXPECT_TRUE(threadCountBecomes(before + server.ioThreadCount()))
            << threadsInProcess() << " threads, " << before << " before";
#endif
    }
    EXPECT_TRUE(threadCountBecomes(before))
        << threadsInProcess() << " threads, " << before << " before";

    // An explicit port is bound as given.
    std::uint16_t port;
    {
        Peer probe;
        port = probe.port();
    }
    Server server(6017, "127.0.0.1", port);
    EXPECT_EQ(server.localPort(), port);
}

TEST(ServerTest, ConstructionFailuresNameTheOperationAndLeaveNothingRunning) {
    const std::size_t before = settledThreadCount();

    Peer holder;
    const auto inUse =
        constructionError<Network::AddressInUseException>("127.0.0.1", holder.port());
    EXPECT_TRUE(startsWith(inUse.message(), "bind: ")) << inUse.message();
    EXPECT_GT(inUse.message().size(), 6u);
    EXPECT_EQ(inUse.source(), "src/Server");
    EXPECT_GT(inUse.line(), 0);

    // A documentation-range address that no interface here has.
    if (!runningUnderWine()) {
        const auto notLocal =
            constructionError<Network::CouldNotCreateListenerException>("203.0.113.1", 0);
        EXPECT_TRUE(startsWith(notLocal.message(), "bind: ")) << notLocal.message();
        EXPECT_EQ(notLocal.source(), "src/Server");
    }

    for (const char* text : {"not an address", "256.1.1.1", "", "::1"}) {
        const auto unparsable =
            constructionError<Network::CouldNotCreateListenerException>(text, 0);
        const std::string& message = unparsable.message();
        EXPECT_FALSE(message.empty()) << text;
        EXPECT_FALSE(startsWith(message, "open: ") || startsWith(message, "bind: ") ||
                     startsWith(message, "set_option: "))
            << message;
        EXPECT_EQ(unparsable.source(), "src/Server");
    }

    EXPECT_TRUE(threadCountBecomes(before))
        << threadsInProcess() << " threads, " << before << " before";
}

TEST(ServerTest, DeliversWholeDatagramsUpToTheLimitAndDropsTheRest) {
    Recording recorder;
    auto server = std::make_unique<Server>(6017, "127.0.0.1", 0);
    server->addHandler(&recorder);
    Peer peer;

    std::string largest(Server::maxDatagram, '\0');
    for (std::size_t i = 0; i < largest.size(); ++i)
        largest[i] = static_cast<char>(i * 7 + 3);
    peer.sendTo(std::string(Server::maxDatagram + 1, 'x'), server->localPort());
    peer.sendTo(std::string(9000, 'y'), server->localPort());
    peer.sendTo(std::string(), server->localPort());
    peer.sendTo(largest, server->localPort());
    peer.sendTo("end", server->localPort());

    ASSERT_TRUE(recorder.waitFor(2));
    // All I/O threads have ended: nothing can still be on its way.
    server->removeHandler(&recorder);
    server.reset();

    auto received = recorder.datagrams.values();
    ASSERT_EQ(received.size(), 2u);
    if (received[0].bytes == "end")
        std::swap(received[0], received[1]);
    EXPECT_TRUE(received[0].bytes == largest) << "length " << received[0].bytes.size();
    EXPECT_EQ(received[1].bytes, "end");
    EXPECT_EQ(received[0].sender, loopback);
    EXPECT_EQ(received[1].sender, loopback);
}

TEST(ServerTest, HandlersAreCalledOnceEachInRegistrationOrder) {
    using Log = TestSupport::Recorder<std::pair<int, std::string>>;
    Log log;
    struct Tagged : Network::ServerEventHandler {
        Tagged(int tag, Log& log) : tag(tag), log(log) {}
        void onReceive(const char* data, std::size_t length, std::uint32_t) override {
            log.push({tag, std::string(data, length)});
        }
        int tag;
        Log& log;
    };
    Tagged first(1, log), second(2, log), never(3, log);

    auto server = std::make_unique<Server>(6017, "127.0.0.1", 0);
    // Registration order, not address order, decides; a repeat is ignored.
    server->addHandler(&second);
    server->addHandler(&first);
    server->addHandler(&second);
    server->removeHandler(&never);

    Peer peer;
    constexpr int datagrams = 20;
    for (int i = 0; i < datagrams; ++i)
        peer.sendTo("d" + std::to_string(i), server->localPort());
    ASSERT_TRUE(log.waitForCount(2 * datagrams, patience));

    // After removal only the remaining handler hears from the server.
    server->removeHandler(&second);
    peer.sendTo("after", server->localPort());
    ASSERT_TRUE(log.waitForCount(2 * datagrams + 1, patience));
    server.reset();

    std::map<std::string, std::vector<int>> callsByDatagram;
    for (const auto& [tag, bytes] : log.values())
        callsByDatagram[bytes].push_back(tag);
    ASSERT_EQ(callsByDatagram.size(), datagrams + 1u);
    for (int i = 0; i < datagrams; ++i)
        EXPECT_EQ(callsByDatagram["d" + std::to_string(i)], (std::vector<int>{2, 1})) << i;
    EXPECT_EQ(callsByDatagram["after"], std::vector<int>{1});
}

TEST(ServerTest, SendToReachesTheGivenAddressAndPortWithACopy) {
    Server server(6017, "127.0.0.1", 0);
    Peer peer;
    std::string data = "hello device";
    ASSERT_TRUE(server.sendTo(data.data(), data.size(), loopback, peer.port()));
    data.assign(data.size(), '#'); // the server sends its own copy

    udp::endpoint from;
    const auto received = peer.receive(patience, &from);
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, "hello device");
    EXPECT_EQ(from.address().to_v4().to_uint(), loopback);
    EXPECT_EQ(from.port(), server.localPort());
}

TEST(ServerTest, SendsFailOnceTeardownHasBegun) {
    // The handler is inside a delivery when the server is destroyed; the
    // destructor waits for it, and meanwhile sends from it must start failing.
    struct Probe : Network::ServerEventHandler {
        void onReceive(const char*, std::size_t, std::uint32_t) override {
            entered.push(true);
            const auto giveUp = std::chrono::steady_clock::now() + patience;
            while (server->sendTo("x", 1, loopback, sinkPort)) {
                if (std::chrono::steady_clock::now() > giveUp)
                    return;
                std::this_thread::yield();
            }
            sendFailed = true;
            broadcastFailed = !server->broadcast("x", 1);
        }
        Server* server = nullptr;
        std::uint16_t sinkPort = 0;
        TestSupport::Recorder<bool> entered;
        std::atomic<bool> sendFailed{false};
        std::atomic<bool> broadcastFailed{false};
    } probe;

    Peer sink;
    auto server = std::make_unique<Server>(sink.port(), "127.0.0.1", 0);
    probe.server = server.get();
    probe.sinkPort = sink.port();
    server->addHandler(&probe);
    Peer peer;
    peer.sendTo("go", server->localPort());
    ASSERT_TRUE(probe.entered.waitForFirst(patience).has_value());
    server.reset();
    EXPECT_TRUE(probe.sendFailed);
    EXPECT_TRUE(probe.broadcastFailed);
}

TEST(ServerTest, TeardownWithTrafficArrivingReturnsAndDeliversNothingMore) {
    const std::size_t before = settledThreadCount();
    Recording recorder;
    auto server = std::make_unique<Server>(6017, "127.0.0.1", 0);
    server->addHandler(&recorder);
    const std::uint16_t port = server->localPort();

    // Quiet server: aborted receives deliver nothing.
    Peer peer;
    peer.sendTo("one", port);
    ASSERT_TRUE(recorder.waitFor(1));
    server.reset();
    EXPECT_EQ(recorder.datagrams.values().size(), 1u);
    EXPECT_TRUE(threadCountBecomes(before))
        << threadsInProcess() << " threads, " << before << " before";

    // Busy server: destruction while datagrams keep arriving.
    server = std::make_unique<Server>(6017, "127.0.0.1", 0);
    server->addHandler(&recorder);
    std::atomic<bool> stop{false};
    std::thread sender([&, port = server->localPort()] {
        Peer blaster;
        for (int i = 0; i < 100000 && !stop; ++i)
            blaster.sendTo("burst", port);
    });
    ASSERT_TRUE(recorder.waitFor(2));
    server.reset();
    const std::size_t afterTeardown = recorder.datagrams.values().size();
    stop = true;
    sender.join();
    EXPECT_EQ(recorder.datagrams.values().size(), afterTeardown);
    EXPECT_TRUE(threadCountBecomes(before))
        << threadsInProcess() << " threads, " << before << " before";
}

TEST(ServerTest, ConcurrentSendersAndReceivers) {
    constexpr int clients = 4;
    constexpr int roundTrips = 150;
    constexpr int extraSenders = 2;
    constexpr int extraSends = 300;

    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < clients; ++i)
        peers.push_back(std::make_unique<Peer>());
    Peer sink;

    // Echoes each datagram "<client> <n>" back to that client's socket, from
    // the I/O thread, and counts deliveries per datagram.
    struct Echo : Network::ServerEventHandler {
        void onReceive(const char* data, std::size_t length, std::uint32_t sender) override {
            const std::string text(data, length);
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++seen[text];
            }
            if (sender == loopback)
                server->sendTo(data, length, loopback, ports[std::stoi(text)]);
        }
        Server* server = nullptr;
        std::vector<std::uint16_t> ports;
        std::mutex mutex; // guards seen
        std::map<std::string, int> seen;
    } echo;
    // Declared after its handler: the server (and its I/O threads) ends first.
    Server server(6017, "127.0.0.1", 0);
    echo.server = &server;
    for (const auto& peer : peers)
        echo.ports.push_back(peer->port());
    server.addHandler(&echo);

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            for (int n = 0; n < roundTrips; ++n) {
                const std::string text = std::to_string(c) + " " + std::to_string(n);
                peers[c]->sendTo(text, server.localPort());
                const auto reply = peers[c]->receive(patience);
                if (!reply || *reply != text) {
                    ++failures;
                    return;
                }
            }
        });
    for (int s = 0; s < extraSenders; ++s)
        threads.emplace_back([&] {
            const std::string text(100, 's');
            for (int n = 0; n < extraSends; ++n)
                if (!server.sendTo(text.data(), text.size(), loopback, sink.port()))
                    ++failures;
        });
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(failures, 0);
    server.removeHandler(&echo);
    std::lock_guard<std::mutex> lock(echo.mutex);
    EXPECT_EQ(echo.seen.size(), std::size_t(clients * roundTrips));
    for (const auto& [text, count] : echo.seen)
        EXPECT_EQ(count, 1) << text;
}

// Limited broadcast received on the wildcard address: only in the test run's
// own network namespace.
TEST(ServerTest, BroadcastGoesToTheBroadcastPort) {
    VORN_REQUIRE_TEST_NAMESPACE();

    Peer listener("0.0.0.0");
    Server server(listener.port(), "127.0.0.1", 0);
    ASSERT_NE(server.localPort(), listener.port());
    const std::string data = "presence";
    ASSERT_TRUE(server.broadcast(data.data(), data.size()));

    udp::endpoint from;
    const auto received = listener.receive(patience, &from);
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, data);
    EXPECT_EQ(from.port(), server.localPort());
}
