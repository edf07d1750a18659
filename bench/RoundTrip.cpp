// RoundTrip: request round trips (36-byte MSG_GetBoardID, 100-byte reply) on
// loopback, through the engine and through plain Boost.Asio clients, in one run:
//
//   plain <-> plain       blocking Asio client, Asio responder that only answers
//   plain <-> simulator   the same client against the simulated device
//   engine <-> simulator  VornNetwork::makeCommand + send, next request from the completion
//
// each sequentially (one request outstanding) and pipelined (N outstanding;
// the engine admits them through its congestion window). The variants take
// turns for several rounds so that a busy machine affects all of them alike.
// Reported per variant: median, p99 and p99.9 latency, requests per second,
// process CPU per round trip (both ends, all threads), voluntary context
// switches (thread wake-ups) per round trip, heap allocations per round trip
// (every thread of the process), failed requests and datagrams the namespace
// dropped for a full socket buffer.
//
// Latency runs from just before the request is built to the moment the reply
// is in the client's hands (the engine's completion, or the plain client's
// receive). Each engine completion sends the next request itself, so no
// hand-over to a waiting thread is measured.
//
//   scripts/netns.sh -- build/native/bench/RoundTrip [--requests N] [--warmup N]
//                                                    [--window N] [--rounds N]
//                                                    [--only KEY,...] [--cpus WHICH]
// Defaults: 20000 requests per variant and round, after 2000 unmeasured ones;
// window 64; 3 rounds. KEY: plain, sim, engine, plain-n, sim-n, engine-n (the
// six variants, in order); --only is for profiling one of them. WHICH: one
// (every thread of the process pinned to CPU 0: the software path alone), all
// (threads free to run on any CPU, as the system places them), or both
// (default; one, then all).

#include "BenchSupport.h"

#include "DeviceSimulator.h"
#include "Exception.h"
#include "engine/VornNetwork.h"
#include "wire/Message.h"
#include "wire/NetworkType.h"
#include "wire/Wire.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

namespace {

std::atomic<std::uint64_t> allocationCount{0};

} // namespace

// Counting allocator for the whole process: each call is one relaxed increment.
void* operator new(std::size_t size) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
// Kept out of line: inlined next to a new-expression, free() would look mismatched to the compiler.
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using Bench::Clock;
using Bench::format;

constexpr const char* program = "RoundTrip";
constexpr std::uint64_t deviceId = 0x0000000A00000001;
constexpr const char* deviceAddress = "127.0.0.2";
constexpr const char* toolAddress = "127.0.0.1";
constexpr const char* responderAddress = "127.0.0.3";
constexpr std::uint64_t plainToolId = 0x0000000600000006;
constexpr std::uint16_t toolType = 6;
constexpr std::size_t requestSize = Vorn::MSG_GetBoardID::size;
constexpr std::size_t replySize = Vorn::boardIdReplyMinimum;

// Latencies in nanoseconds, one slot per request; -1 marks a failed request.
using Latencies = std::vector<std::int64_t>;

std::int64_t nanosecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
}

// Answers every datagram of at least a header with a 100-byte reply carrying
// the request's sequence: the least a responder can do.
class PlainResponder {
public:
    PlainResponder()
        : socket_(io_, udp::endpoint(asio::ip::make_address_v4(responderAddress), 0)),
          endpoint_(socket_.local_endpoint()) {
        // The header written by the stack's own code; each reply takes its
        // request's sequence.
        Vorn::Message reply;
        Vorn::detail::buildHeader(reply, replySize, 0, 0, 0, 0, Vorn::Code::boardIdReply);
        std::memcpy(reply_.data(), reply.data(), replySize);
        receive();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~PlainResponder() {
        io_.stop();
        thread_.join();
    }
    PlainResponder(const PlainResponder&) = delete;
    PlainResponder& operator=(const PlainResponder&) = delete;

    const udp::endpoint& endpoint() const { return endpoint_; }

private:
    // The receive chain runs on the responder's thread only, like the buffers it uses.
    void receive() {
        socket_.async_receive_from(asio::buffer(in_), from_,
                                   [this](const boost::system::error_code& error, std::size_t n) {
                                       onReceived(error, n);
                                   });
    }

    void onReceived(const boost::system::error_code& error, std::size_t n) {
        if (error)
            return; // stopped
        if (n >= Vorn::Header::size) {
            std::memcpy(reply_.data() + Vorn::Header::sequence, in_.data() + Vorn::Header::sequence,
                        4);
            boost::system::error_code ignored;
            socket_.send_to(asio::buffer(reply_), from_, 0, ignored);
        }
        receive();
    }

    asio::io_context io_;
    udp::socket socket_;
    const udp::endpoint endpoint_; // set before the thread starts, read-only afterwards
    std::array<char, 4096> in_{};
    std::array<char, replySize> reply_{};
    udp::endpoint from_;
    std::thread thread_;
};

// A plain client on one blocking Asio socket: keeps `window` requests
// outstanding, taking each reply and sending the next request on one thread.
// The request is built once and only its sequence and check value change.
std::size_t runPlain(const udp::endpoint& target, unsigned window, Latencies& latencies) {
    asio::io_context io;
    udp::socket socket(io, udp::endpoint(asio::ip::make_address_v4(toolAddress), 0));
    Vorn::Command<Vorn::MSG_GetBoardID> request(plainToolId, deviceId, toolType, 2);
    const std::size_t count = latencies.size();
    std::vector<Clock::time_point> sentAt(count);
    const std::uint32_t firstSequence = 0x40000000u + static_cast<std::uint32_t>(count);

    auto sendOne = [&](std::size_t index) {
        sentAt[index] = Clock::now();
        Vorn::Wire::writeU32(request.data() + Vorn::Header::sequence,
                             firstSequence + static_cast<std::uint32_t>(index));
        Vorn::seal(request);
        socket.send_to(asio::buffer(request.bytes), target);
    };

    std::fill(latencies.begin(), latencies.end(), -1);
    std::size_t issued = 0;
    std::size_t answered = 0;
    std::size_t failures = 0;
    while (issued < count && issued < window)
        sendOne(issued++);
    std::array<char, 4096> in;
    udp::endpoint from;
    while (answered < count) {
        const std::size_t n = socket.receive_from(asio::buffer(in), from);
        const Clock::time_point now = Clock::now();
        if (n < Vorn::Header::size)
            continue;
        const std::size_t index =
            Vorn::Wire::readU32(in.data() + Vorn::Header::sequence) - firstSequence;
        if (index >= issued || latencies[index] >= 0)
            continue; // not one of ours, or a duplicate
        latencies[index] = nanosecondsBetween(sentAt[index], now);
        if (n != replySize) {
            latencies[index] = -1;
            ++failures;
        }
        ++answered;
        if (issued < count)
            sendOne(issued++);
    }
    return failures;
}

// Requests through the engine to one device, `window` of them outstanding;
// each completion sends the next request from the thread it runs on.
class EngineClient {
public:
    EngineClient(VornNetwork& engine, std::uint64_t device) : engine_(engine), device_(device) {}

    std::size_t run(unsigned window, Latencies& latencies) {
        latencies_ = &latencies;
        std::fill(latencies.begin(), latencies.end(), -1);
        sentAt_.assign(latencies.size(), Clock::time_point{});
        next_ = 0;
        finished_ = 0;
        failures_ = 0;
        const std::size_t first = std::min<std::size_t>(window, latencies.size());
        next_ = first;
        for (std::size_t i = 0; i < first; ++i)
            if (!issue(i))
                failAndReplace();
        std::unique_lock<std::mutex> lock(mutex_);
        allDone_.wait(lock, [&] { return finished_.load() == latencies.size(); });
        return failures_.load();
    }

private:
    // True when the engine accepted the request.
    bool issue(std::size_t index) {
        sentAt_[index] = Clock::now();
        try {
            auto request = engine_.makeCommand<Vorn::MSG_GetBoardID>(device_);
            return engine_.send(
                device_, request, nullptr,
                [this, index](std::uint64_t, const char* reply, unsigned length,
                              Vorn::ErrorCode error) { onReply(index, reply, length, error); });
        } catch (const Exception&) {
            return false;
        }
    }

    void onReply(std::size_t index, const char* reply, unsigned length, Vorn::ErrorCode error) {
        const Clock::time_point now = Clock::now();
        if (error == Vorn::ErrorCode::Success && length == replySize &&
            Vorn::Wire::readU16(reply + Vorn::Header::command) == Vorn::Code::boardIdReply)
            (*latencies_)[index] = nanosecondsBetween(sentAt_[index], now);
        else
            ++failures_;
        startNext();
        finishOne();
    }

    // Keeps the window full: sends the next request, skipping (and counting)
    // any the engine refuses.
    void startNext() {
        for (std::size_t next = next_.fetch_add(1); next < latencies_->size();
             next = next_.fetch_add(1)) {
            if (issue(next))
                return;
            ++failures_;
            finishOne();
        }
    }

    void failAndReplace() {
        ++failures_;
        finishOne();
        startNext();
    }

    void finishOne() {
        // Read before the count goes up: once it reaches the total, run() may
        // return and the next run() may change what latencies_ points to.
        const std::size_t total = latencies_->size();
        if (finished_.fetch_add(1) + 1 == total) {
            std::lock_guard<std::mutex> lock(mutex_);
            allDone_.notify_all();
        }
    }

    VornNetwork& engine_;
    const std::uint64_t device_;
    // Set by run() before the first request; each slot below is written by the
    // thread that issues or completes that one request, and read by run()
    // after the last completion.
    Latencies* latencies_ = nullptr;
    std::vector<Clock::time_point> sentAt_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> finished_{0};
    std::atomic<std::size_t> failures_{0};
    std::mutex mutex_; // pairs with allDone_; finished_ is atomic
    std::condition_variable allDone_;
};

// Pooled figures of one variant over every round.
struct Variant {
    using Body = std::function<std::size_t(Latencies&)>; // returns the failed requests

    Variant(std::string key, std::string name, Body body)
        : key(std::move(key)), name(std::move(name)), body(std::move(body)) {}

    std::string key;
    std::string name;
    Body body;
    std::vector<double> latencyUs;
    std::size_t requests = 0;
    std::size_t failures = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long contextSwitches = 0; // voluntary: a thread blocked and was woken again
    std::uint64_t allocations = 0;
    std::uint64_t receiveBufferErrors = 0;

    double perSecond() const { return wallSeconds > 0 ? requests / wallSeconds : 0; }
    double median() const { return Bench::percentile(latencyUs, 0.5); }
    double p99() const { return Bench::percentile(latencyUs, 0.99); }
    double p999() const { return Bench::percentile(latencyUs, 0.999); }
};

// Runs the variant once to warm up, then once measured, adding to its figures.
void measure(Variant& variant, std::size_t warmup, std::size_t requests) {
    const Variant::Body& body = variant.body;
    Latencies warm(warmup);
    if (warmup > 0)
        body(warm);
    Latencies latencies(requests);
    const Bench::UdpCounters udpBefore = Bench::UdpCounters::now();
    const std::uint64_t allocationsBefore = allocationCount.load();
    const Bench::ProcessTimes cpuBefore = Bench::ProcessTimes::now();
    const Clock::time_point start = Clock::now();
    const std::size_t failures = body(latencies);
    const Clock::time_point end = Clock::now();
    const Bench::ProcessTimes cpu = Bench::ProcessTimes::now() - cpuBefore;
    variant.allocations += allocationCount.load() - allocationsBefore;
    variant.receiveBufferErrors += (Bench::UdpCounters::now() - udpBefore).receiveBufferErrors;
    variant.wallSeconds += Bench::secondsSince(start, end);
    variant.cpuSeconds += cpu.cpuSeconds();
    variant.contextSwitches += cpu.voluntarySwitches;
    variant.requests += requests;
    variant.failures += failures;
    for (const std::int64_t ns : latencies)
        if (ns >= 0)
            variant.latencyUs.push_back(static_cast<double>(ns) / 1000.0);
}

bool waitForDevice(VornNetwork& engine, std::chrono::seconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    Vorn::Destination destination;
    while (!engine.frameList().findDestination(deviceId, destination)) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void printVariant(const Variant& v) {
    const double n = v.requests ? static_cast<double>(v.requests) : 1.0;
    std::printf("%-38s %8.1f %8.1f %8.1f %8.0f %8.1f %7.2f %7.2f %6zu %6llu\n", v.name.c_str(),
                v.median(), v.p99(), v.p999(), v.perSecond(), v.cpuSeconds * 1e6 / n,
                static_cast<double>(v.contextSwitches) / n, static_cast<double>(v.allocations) / n,
                v.failures, static_cast<unsigned long long>(v.receiveBufferErrors));
}

// The six variants run against the same endpoints.
struct Targets {
    udp::endpoint responder;
    udp::endpoint simulator;
    EngineClient& engine;
    unsigned window;
};

// Runs every selected variant for `rounds` rounds and prints their table.
// Returns the summary phrase for this placement and adds to `failures`.
std::string runPlacement(const std::string& placement, const Targets& t, unsigned rounds,
                         std::size_t requests, std::size_t warmup, const std::string& only,
                         std::size_t& failures) {
    const unsigned window = t.window;
    const std::string pipelined = " (" + std::to_string(window) + " outstanding)";
    Variant plainPlain{"plain", "plain <-> plain",
                       [&](Latencies& l) { return runPlain(t.responder, 1, l); }};
    Variant plainSim{"sim", "plain <-> simulator",
                     [&](Latencies& l) { return runPlain(t.simulator, 1, l); }};
    Variant engineSim{"engine", "engine <-> simulator",
                      [&](Latencies& l) { return t.engine.run(1, l); }};
    Variant plainPlainN{"plain-n", "plain <-> plain" + pipelined,
                        [&](Latencies& l) { return runPlain(t.responder, window, l); }};
    Variant plainSimN{"sim-n", "plain <-> simulator" + pipelined,
                      [&](Latencies& l) { return runPlain(t.simulator, window, l); }};
    Variant engineSimN{"engine-n", "engine <-> simulator" + pipelined,
                       [&](Latencies& l) { return t.engine.run(window, l); }};
    Variant* all[] = {&plainPlain, &plainSim, &engineSim, &plainPlainN, &plainSimN, &engineSimN};

    for (unsigned round = 0; round < rounds; ++round)
        for (Variant* v : all)
            if (only.find("," + v->key + ",") != std::string::npos)
                measure(*v, warmup, requests);
    for (Variant* v : all)
        std::sort(v->latencyUs.begin(), v->latencyUs.end());

    std::printf("\n%s\n", placement.c_str());
    std::printf("%-38s %8s %8s %8s %8s %8s %7s %7s %6s %6s\n", "variant", "median", "p99", "p99.9",
                "req/s", "CPU/req", "wakes", "allocs", "failed", "rcvbuf");
    std::printf("%-38s %8s %8s %8s %8s %8s %7s %7s %6s %6s\n", "", "us", "us", "us", "", "us",
                "/req", "/req", "", "drops");
    for (const Variant* v : all)
        printVariant(*v);

    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    auto cpu = [](const Variant& v) { return v.requests ? v.cpuSeconds / v.requests : 0.0; };
    auto allocations = [](const Variant& v) {
        return v.requests ? static_cast<double>(v.allocations) / v.requests : 0.0;
    };
    std::printf("engine / plain client, same simulated device:\n");
    std::printf(
        "  sequential: median latency x%.2f, p99 x%.2f, req/s x%.2f, CPU/req x%.2f "
        "(+%.1f us), allocations +%.1f per request\n",
        ratio(engineSim.median(), plainSim.median()), ratio(engineSim.p99(), plainSim.p99()),
        ratio(engineSim.perSecond(), plainSim.perSecond()), ratio(cpu(engineSim), cpu(plainSim)),
        (cpu(engineSim) - cpu(plainSim)) * 1e6, allocations(engineSim) - allocations(plainSim));
    std::printf("  %u outstanding: median latency x%.2f, p99 x%.2f, req/s x%.2f, CPU/req x%.2f\n",
                window, ratio(engineSimN.median(), plainSimN.median()),
                ratio(engineSimN.p99(), plainSimN.p99()),
                ratio(engineSimN.perSecond(), plainSimN.perSecond()),
                ratio(cpu(engineSimN), cpu(plainSimN)));

    for (const Variant* v : all)
        failures += v->failures;
    auto wakes = [](const Variant& v) {
        return v.requests ? static_cast<double>(v.contextSwitches) / v.requests : 0.0;
    };
    return format("%s: engine median %.1f us (plain %.1f) x%.2f, p99 %.1f us (plain %.1f) x%.2f; "
                  "%u outstanding %.0f req/s (plain %.0f) x%.2f; allocations %.1f (plain %.1f), "
                  "wake-ups %.2f (plain %.2f) per request",
                  placement.c_str(), engineSim.median(), plainSim.median(),
                  ratio(engineSim.median(), plainSim.median()), engineSim.p99(), plainSim.p99(),
                  ratio(engineSim.p99(), plainSim.p99()), window, engineSimN.perSecond(),
                  plainSimN.perSecond(), ratio(engineSimN.perSecond(), plainSimN.perSecond()),
                  allocations(engineSim), allocations(plainSim), wakes(engineSim), wakes(plainSim));
}

int run(int argc, char** argv) {
    const Bench::Arguments args(
        argc, argv, {"--requests", "--warmup", "--window", "--rounds", "--only", "--cpus"}, {});
    const std::size_t requests = args.number("--requests", 20000, 1, 10000000);
    const std::size_t warmup = args.number("--warmup", 2000, 0, 10000000);
    const unsigned window = static_cast<unsigned>(args.number("--window", 64, 1, 4096));
    const unsigned rounds = static_cast<unsigned>(args.number("--rounds", 3, 1, 100));
    const std::string only =
        "," + args.text("--only", "plain,sim,engine,plain-n,sim-n,engine-n") + ",";
    const std::string cpus = args.text("--cpus", "both");
    if (cpus != "one" && cpus != "all" && cpus != "both")
        throw std::invalid_argument("--cpus takes one, all or both");
    const Bench::Watchdog watchdog(program, std::chrono::seconds(240));
    const std::string loadAtStart = Bench::loadAverage();

    PlainResponder responder;

    VornSim::DeviceSetup device;
    device.id = deviceId;
    device.deviceType = 10;
    device.name = "Round trip";
    device.address = deviceAddress;
    device.serial = 4711;
    VornSim::SimulatorConfig config;
    config.devices.push_back(device);
    VornSim::DeviceSimulator simulator(config);

    Vorn::AnyNetworkType type;
    VornNetwork engine(type, toolAddress);
    if (!waitForDevice(engine, std::chrono::seconds(10))) {
        std::fprintf(stderr, "%s: the simulated device never appeared\n", program);
        return 1;
    }
    EngineClient client(engine, deviceId);
    const Targets targets{responder.endpoint(),
                          udp::endpoint(asio::ip::make_address_v4(toolAddress), simulator.port()),
                          client, window};

    std::printf("RoundTrip: %u rounds x %zu requests per variant (after %zu warm-up each), "
                "request %zu bytes, reply %zu bytes, %u CPUs, load average %s at start\n",
                rounds, requests, warmup, requestSize, replySize,
                std::thread::hardware_concurrency(), loadAtStart.c_str());
    std::size_t failures = 0;
    std::vector<std::string> summaries;
    if (cpus != "all") {
        // Every thread on one CPU: wake-ups cost a context switch and nothing
        // more, so the figures show the software path alone.
        if (!Bench::pinProcess(0))
            throw std::runtime_error("cannot pin the threads to one CPU");
        summaries.push_back(runPlacement("all threads on CPU 0", targets, rounds, requests, warmup,
                                         only, failures));
    }
    if (cpus != "one") {
        // As the system schedules them: a wake-up may have to bring an idle
        // CPU back first, which on a virtual machine takes tens of microseconds.
        if (!Bench::pinProcess(-1))
            throw std::runtime_error("cannot free the threads to every CPU");
        summaries.push_back(
            runPlacement("threads on any CPU", targets, rounds, requests, warmup, only, failures));
    }
    std::string summary;
    for (const std::string& part : summaries)
        summary += (summary.empty() ? "" : "; ") + part;
    std::printf("\nsummary RoundTrip: %s; failures %zu\n", summary.c_str(), failures);
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}
