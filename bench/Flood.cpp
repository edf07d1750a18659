// Flood: a running engine under a stream of presence messages, each from a new
// frame id (a faulty device or a spoofer), with a real simulated device next to
// them. Measured:
//
//   - heap in use (mallinfo2) above the engine's own baseline: at the peak, per
//     frame the engine saw, and once every flooded frame has expired;
//   - the process's CPU during the flood, without the flood sender's own thread;
//   - the real device's serial number, read again and again during the flood
//     by a second thread: how many reads completed, failed, and the slowest.
//
// A listing client (as the window and `vornctl list` are) asks every new device
// for its name; the flooded frames never answer, so those requests fill the
// congestion window until they time out. --no-listing leaves that out.
//
//   scripts/netns.sh -- build/native/bench/Flood [--frames N] [--seconds S] [--no-listing]
//
// The devices (the real one and the listener that ignores requests for the
// flooded ids) are simulated in process by the simulator library on the device
// port; the flood comes from 127.0.0.3.

#include "BenchSupport.h"

#include "DeviceSimulator.h"
#include "VornService.h"
#include "wire/Message.h"
#include "wire/Wire.h"

#include <boost/asio.hpp>

#include <atomic>
#include <future>
#include <memory>

namespace {

using Bench::Clock;
using namespace std::chrono_literals;

constexpr const char* program = "Flood";
constexpr std::uint64_t realDevice = 0x0000000A0000000Bull;
constexpr std::uint64_t firstFloodId = 0x4000000000000000ull;

// Sends `frames` presence messages from distinct ids to the tool, evenly over
// `duration`, from its own thread; its CPU time is kept apart.
class FloodSender {
public:
    FloodSender(std::uint16_t toolPort, std::size_t frames, std::chrono::milliseconds duration)
        : socket_(io_,
                  boost::asio::ip::udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.3"), 0)),
          thread_([=, this] { run(toolPort, frames, duration); }) {}
    ~FloodSender() { join(); }
    FloodSender(const FloodSender&) = delete;
    FloodSender& operator=(const FloodSender&) = delete;

    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    double cpuSeconds() const { return cpuSeconds_; }
    std::size_t sent() const { return sent_; }

private:
    void run(std::uint16_t toolPort, std::size_t frames, std::chrono::milliseconds duration) {
        const boost::asio::ip::udp::endpoint tool(boost::asio::ip::make_address_v4("127.0.0.1"),
                                                  toolPort);
        const auto start = Clock::now();
        std::size_t next = 0;
        while (next < frames) {
            // Catch up to where an even stream would be by now, then nap for 1 ms.
            const double share = std::min(1.0, Bench::secondsSince(start) * 1000.0 /
                                                   static_cast<double>(duration.count()));
            const auto due = static_cast<std::size_t>(share * static_cast<double>(frames));
            for (; next < std::max(due, next + 1) && next < frames; ++next) {
                const auto message = Bench::presenceFrom(firstFloodId + next);
                boost::system::error_code error;
                socket_.send_to(boost::asio::buffer(message), tool, 0, error);
                if (!error)
                    ++sent_;
            }
            std::this_thread::sleep_for(1ms);
        }
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        cpuSeconds_ = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9;
    }

    boost::asio::io_context io_;
    boost::asio::ip::udp::socket socket_; // used by the thread only
    std::atomic<double> cpuSeconds_{0};
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;
};

// Reads the real device's serial number one request after another until told
// to stop, from its own thread. A read not ended within 30 s counts as failed.
class SerialReader {
public:
    explicit SerialReader(VornService& service) : service_(service), thread_([this] { run(); }) {}
    ~SerialReader() { stop(); }
    SerialReader(const SerialReader&) = delete;
    SerialReader& operator=(const SerialReader&) = delete;

    void stop() {
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    std::size_t completed() const { return completed_; }
    std::size_t failed() const { return failed_; }
    double slowestSeconds() const { return slowest_; }

private:
    void run() {
        while (!stopping_) {
            auto result = std::make_shared<std::promise<bool>>();
            auto outcome = result->get_future();
            const auto start = Clock::now();
            if (!service_.requestSerialNumber(
                    realDevice,
                    [result](std::uint64_t, bool ok, unsigned) { result->set_value(ok); })) {
                ++failed_;
                std::this_thread::sleep_for(10ms);
                continue;
            }
            const bool ok = outcome.wait_for(30s) == std::future_status::ready && outcome.get();
            slowest_ = std::max(slowest_.load(), Bench::secondsSince(start));
            ++(ok ? completed_ : failed_);
            std::this_thread::sleep_for(20ms);
        }
    }

    VornService& service_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> completed_{0};
    std::atomic<std::size_t> failed_{0};
    std::atomic<double> slowest_{0};
    std::thread thread_;
};

int run(int argc, char** argv) {
    const Bench::Arguments arguments(argc, argv, {"--frames", "--seconds"}, {"--no-listing"});
    const std::size_t frames = arguments.number("--frames", 100000, 1, 10000000);
    const auto seconds = std::chrono::seconds(arguments.number("--seconds", 10, 1, 600));
    const bool listing = !arguments.has("--no-listing");
    const Bench::Watchdog watchdog(program, seconds + 120s);
    const std::string loadAtStart = Bench::loadAverage();

    VornSim::SimulatorConfig config;
    VornSim::DeviceSetup device;
    device.id = realDevice;
    device.name = "Real device";
    device.serial = 20261207;
    config.devices = {device};
    VornSim::DeviceSimulator simulator(config);

    std::atomic<std::size_t> added{0};
    std::atomic<std::size_t> removed{0};
    std::atomic<std::size_t> namesAsked{0};
    std::atomic<std::size_t> namesRefused{0};
    VornService service("127.0.0.1");
    service.deviceAddedHandlers.push_back([&](std::uint64_t id) {
        ++added;
        if (!listing)
            return;
        ++namesAsked;
        if (!service.requestDeviceName(id, [](std::uint64_t, bool, std::string) {}))
            ++namesRefused;
    });
    service.deviceRemovedHandlers.push_back([&](std::uint64_t) { ++removed; });
    service.start();
    if (!simulator.waitUntil([&] { return added.load() >= 1; }, 10s))
        throw std::runtime_error("the real device did not appear within 10 s");
    std::this_thread::sleep_for(1500ms); // its name request has ended
    const std::size_t baseline = Bench::heapInUse();

    std::size_t peak = baseline;
    std::size_t framesAtPeak = 0;
    const auto cpuBefore = Bench::ProcessTimes::now();
    const auto start = Clock::now();
    Bench::ProcessTimes cpu;
    double floodWall = 0;
    double floodCpu = 0;
    std::size_t sent = 0;
    std::size_t readsOk = 0;
    std::size_t readsFailed = 0;
    double slowestRead = 0;
    {
        SerialReader reader(service);
        FloodSender sender(service.localPort(), frames, seconds);
        // Sampled every 50 ms until the flood has ended and its last frame has
        // been added or dropped (2 s past the end).
        while (Bench::secondsSince(start) < static_cast<double>(seconds.count()) + 2.0) {
            const std::size_t now = Bench::heapInUse();
            if (now > peak) {
                peak = now;
                framesAtPeak = added;
            }
            std::this_thread::sleep_for(50ms);
        }
        sender.join();
        cpu = Bench::ProcessTimes::now() - cpuBefore;
        floodWall = Bench::secondsSince(start);
        floodCpu = sender.cpuSeconds();
        sent = sender.sent();
        reader.stop(); // waits for the read in progress to end (at most 30 s)
        readsOk = reader.completed();
        readsFailed = reader.failed();
        slowestRead = reader.slowestSeconds();
    }
    const std::size_t seen = added - 1;

    // Every flooded frame leaves 10 s after its last presence message; the
    // sweep runs once a second and name requests end within about 8 s.
    simulator.waitUntil([&] { return removed.load() >= seen; }, 30s);
    std::this_thread::sleep_for(9s);
    const std::size_t after = Bench::heapInUse();

    const double perFrame =
        seen ? static_cast<double>(peak - baseline) / static_cast<double>(seen) : 0.0;
    const double heldMiB = (static_cast<double>(after) - static_cast<double>(baseline)) / 1048576.0;
    std::printf("Flood: %zu frame ids over %lld s from 127.0.0.3 (%zu sent, %zu seen by the "
                "engine, %zu removed); listing client %s; %u CPUs; load average %s at start\n",
                frames, static_cast<long long>(seconds.count()), sent, seen, removed.load(),
                listing ? "on" : "off", std::thread::hardware_concurrency(), loadAtStart.c_str());
    std::printf("heap: baseline %.1f MiB, peak +%.1f MiB (%.0f bytes per frame seen, %zu frames "
                "present then), after expiry %+.2f MiB\n",
                static_cast<double>(baseline) / 1048576.0,
                static_cast<double>(peak - baseline) / 1048576.0, perFrame, framesAtPeak, heldMiB);
    std::printf("CPU during the flood without the sender thread: %.2f s over %.1f s (%.0f %% of "
                "one CPU); sender %.2f s\n",
                cpu.cpuSeconds() - floodCpu, floodWall,
                (cpu.cpuSeconds() - floodCpu) * 100.0 / floodWall, floodCpu);
    std::printf("name requests: %zu asked, %zu refused\n", namesAsked.load(), namesRefused.load());
    std::printf("real device serial reads during the flood: %zu completed, %zu failed or not "
                "ended within 30 s, slowest %.3f s\n",
                readsOk, readsFailed, slowestRead);
    std::printf("summary Flood %zu: %.0f B/frame at peak, %+.2f MiB held after expiry, %.0f %% "
                "CPU, serial reads %zu ok / %zu failed (slowest %.2f s)%s\n",
                frames, perFrame, heldMiB, (cpu.cpuSeconds() - floodCpu) * 100.0 / floodWall,
                readsOk, readsFailed, slowestRead, listing ? "" : ", no listing client");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}
