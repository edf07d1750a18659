// FloodSend: presence messages of a serviced product (type 10), each from a
// new random frame id, sent from 127.0.0.3 to a tool's port on 127.0.0.1 at a
// steady rate: the sender of bench/serve_flood.py, apart from the measured
// process. Loopback only. It stops after S seconds whether or not it reached
// the rate, and says which rate it reached.
//
//   FloodSend --port PORT [--rate N] [--seconds S]

#include "BenchSupport.h"

#include <boost/asio.hpp>

#include <random>

namespace {

using Bench::Clock;
using namespace std::chrono_literals;

constexpr const char* program = "FloodSend";

int run(int argc, char** argv) {
    const Bench::Arguments arguments(argc, argv, {"--port", "--rate", "--seconds"}, {});
    if (!arguments.has("--port"))
        throw std::invalid_argument("--port PORT (the tool's UDP port) is required");
    const auto port = static_cast<std::uint16_t>(arguments.number("--port", 0, 1, 65535));
    const std::size_t rate = arguments.number("--rate", 100000, 1, 10000000);
    const std::size_t seconds = arguments.number("--seconds", 60, 1, 3600);

    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(
        io, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.3"), 0));
    const boost::asio::ip::udp::endpoint tool(boost::asio::ip::make_address_v4("127.0.0.1"), port);
    std::mt19937_64 random(std::random_device{}());
    const std::size_t total = rate * seconds;
    std::size_t sent = 0, next = 0;
    const auto start = Clock::now();
    // Ends on time even when this machine cannot send the rate asked for: the
    // rate reached is reported instead.
    while (next < total && Bench::secondsSince(start) < static_cast<double>(seconds)) {
        // Catch up to where an even stream would be by now (in bursts of at
        // most 10 ms' worth, so that the clock is looked at), then nap for 1 ms.
        const double elapsed = Bench::secondsSince(start);
        const auto due =
            std::min(total, static_cast<std::size_t>(elapsed * static_cast<double>(rate)));
        const std::size_t burst = std::max<std::size_t>(rate / 100, 1);
        for (const std::size_t end = std::min(std::max(due, next + 1), next + burst); next < end;
             ++next) {
            const auto message = Bench::presenceFrom(random() | 1);
            boost::system::error_code error;
            socket.send_to(boost::asio::buffer(message), tool, 0, error);
            if (!error)
                ++sent;
        }
        std::this_thread::sleep_for(1ms);
    }
    const double took = Bench::secondsSince(start);
    std::printf("FloodSend: %zu of %zu presence messages sent in %.1f s (%.0f/s)\n", sent, total,
                took, static_cast<double>(sent) / took);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}
