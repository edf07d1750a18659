// TimeoutPrecision: how late the engine reports time-outs and sends
// retransmissions against their deadlines, with 1, 100 and 10 000 requests
// pending, once with the engine otherwise idle and once under a receive load.
//
// In each scenario, for a fixed time:
//
//   - time-outs: rounds of N requests are put in the frame list's table at once
//     (to 127.0.0.9, where nothing answers), their time-outs spread evenly over
//     the next 500 ms so that every request has a deadline of its own; the
//     lateness of each is the moment its TimedOut completion runs minus its
//     deadline (the moment it was sent plus its time-out);
//   - retransmissions: through the engine's own send path (congestion window,
//     standard schedule 125 ms doubling, six attempts), 12 requests at a time
//     to a device that announces itself but never answers (a socket of this
//     program on 127.0.0.2). The lateness of attempt k is the moment the device
//     receives it minus (the moment it received attempt k-1 + the time-out of
//     attempt k-1); the final time-out's lateness is its completion minus
//     (the last attempt's arrival + 4000 ms). 12 requests fit in the window's
//     first 560 bytes: more would wait for window room, which is the window's
//     doing, not the timer's.
//   - receive load: another socket sends presence messages of 1000 frames at
//     20 000 datagrams per second to the engine while the scenario runs.
//
// Reported per scenario: p50, p99 and max lateness in milliseconds, and the
// number of samples. The load average is printed with the figures.
//
//   scripts/netns.sh -- build/native/bench/TimeoutPrecision [--seconds S] [--pending N,...]
//
// Defaults: 4 s per scenario, pending 1,100,10000. The engine requests started in a scenario
// all end before the next begins (six attempts take 7.875 s).

#include "BenchSupport.h"

#include "Exception.h"
#include "engine/TimeoutBehavior.h"
#include "engine/VornNetwork.h"
#include "wire/Message.h"
#include "wire/NetworkType.h"
#include "wire/Wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <map>

namespace {

using Bench::Clock;
using namespace std::chrono_literals;

constexpr const char* program = "TimeoutPrecision";
constexpr const char* toolAddress = "127.0.0.1";
constexpr std::uint32_t silentAddress = 0x7F000002;  // 127.0.0.2
constexpr std::uint32_t loadAddress = 0x7F000003;    // 127.0.0.3
constexpr std::uint32_t nowhereAddress = 0x7F000009; // 127.0.0.9: nothing listens
constexpr std::uint64_t silentId = 0x0000000A00000077ull;
constexpr std::uint64_t firstLoadId = 0x0000000A10000000ull;
constexpr std::size_t loadFrames = 1000;
constexpr unsigned loadPerSecond = 20000;
constexpr unsigned engineRequests = 12;

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A UDP socket on a loopback address, closed on destruction; receives wait at
// most 50 ms so that the owning thread sees its stop flag.
class LoopbackSocket {
public:
    LoopbackSocket(std::uint32_t address, std::uint16_t port)
        : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        if (fd_ < 0)
            throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
        sockaddr_in local = endpoint(address, port);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            const std::string why = std::strerror(errno);
            ::close(fd_);
            throw std::runtime_error("bind: " + why);
        }
        const timeval wait{0, 50000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    void sendTo(const std::vector<char>& bytes, std::uint32_t address, std::uint16_t port) const {
        const sockaddr_in to = endpoint(address, port);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    }
    // Bytes received, or -1 when nothing came within 50 ms.
    long receive(char* buffer, std::size_t size) const { return ::recv(fd_, buffer, size, 0); }

private:
    static sockaddr_in endpoint(std::uint32_t address, std::uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        return a;
    }

    const int fd_;
};

// A device on 127.0.0.2 that announces itself to the tool twice a second and
// records when each request arrives, answering none.
class SilentDevice {
public:
    explicit SilentDevice(std::uint16_t toolPort)
        : socket_(silentAddress, 6017), toolPort_(toolPort), thread_([this] { run(); }) {}
    ~SilentDevice() {
        stop_ = true;
        thread_.join();
    }
    SilentDevice(const SilentDevice&) = delete;
    SilentDevice& operator=(const SilentDevice&) = delete;

    // Arrival times of the requests under `sequence`, in order.
    std::vector<Clock::time_point> arrivals(std::uint32_t sequence) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = arrivals_.find(sequence);
        return found == arrivals_.end() ? std::vector<Clock::time_point>{} : found->second;
    }

private:
    void run() {
        const std::vector<char> presence = Bench::presenceFrom(silentId);
        Clock::time_point nextPresence = Clock::now();
        std::array<char, 2048> buffer;
        while (!stop_) {
            if (Clock::now() >= nextPresence) {
                socket_.sendTo(presence, ntohl(inet_addr(toolAddress)), toolPort_);
                nextPresence += 500ms;
            }
            const long n = socket_.receive(buffer.data(), buffer.size());
            const Clock::time_point now = Clock::now();
            if (n < static_cast<long>(Vorn::Header::size) ||
                Vorn::Wire::readU16(buffer.data() + Vorn::Header::command) !=
                    Vorn::Code::getBoardId)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            arrivals_[Vorn::Wire::readU32(buffer.data() + Vorn::Header::sequence)].push_back(now);
        }
    }

    LoopbackSocket socket_;
    const std::uint16_t toolPort_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::vector<Clock::time_point>> arrivals_; // guarded by mutex_
    std::thread thread_;
};

// Presence messages of 1000 frames at 20 000 per second to the tool, from
// 127.0.0.3, until destroyed.
class ReceiveLoad {
public:
    explicit ReceiveLoad(std::uint16_t toolPort)
        : socket_(loadAddress, 0), toolPort_(toolPort), thread_([this] { run(); }) {}
    ~ReceiveLoad() {
        stop_ = true;
        thread_.join();
    }
    ReceiveLoad(const ReceiveLoad&) = delete;
    ReceiveLoad& operator=(const ReceiveLoad&) = delete;

    std::size_t sent() const { return sent_; }

private:
    void run() {
        std::vector<std::vector<char>> messages;
        for (std::size_t i = 0; i < loadFrames; ++i)
            messages.push_back(Bench::presenceFrom(firstLoadId + i));
        const std::uint32_t tool = ntohl(inet_addr(toolAddress));
        const Clock::time_point start = Clock::now();
        std::size_t next = 0;
        while (!stop_) {
            // Catch up to an even stream, then nap for 1 ms.
            const auto due = static_cast<std::size_t>(Bench::secondsSince(start) * loadPerSecond);
            for (; next < due; ++next)
                socket_.sendTo(messages[next % loadFrames], tool, toolPort_);
            sent_ = next;
            std::this_thread::sleep_for(1ms);
        }
    }

    LoopbackSocket socket_;
    const std::uint16_t toolPort_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> sent_{0};
    std::thread thread_;
};

// Lateness samples in milliseconds, added from any thread.
class Samples {
public:
    void add(double ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(ms);
    }
    std::vector<double> sorted() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<double> copy = values_;
        std::sort(copy.begin(), copy.end());
        return copy;
    }

private:
    mutable std::mutex mutex_;
    std::vector<double> values_; // guarded by mutex_
};

std::string describe(const std::vector<double>& sorted) {
    if (sorted.empty())
        return "no samples";
    return Bench::format("p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu)",
                         Bench::percentile(sorted, 0.5), Bench::percentile(sorted, 0.99),
                         sorted.back(), sorted.size());
}

// Rounds of `pending` frame-list requests until `until`; each round waits for
// all its time-outs before the next begins.
void runTimeOutRounds(VornNetwork& engine, std::size_t pending, Clock::time_point until,
                      Samples& lateness) {
    const Vorn::Destination nowhere{silentId + 1, nowhereAddress, false};
    while (Clock::now() < until) {
        std::atomic<std::size_t> left{pending};
        std::mutex doneMutex;
        std::condition_variable done;
        for (std::size_t i = 0; i < pending; ++i) {
            // Time-outs 20 to 520 ms, one deadline per request.
            const std::uint32_t timeoutMs =
                20 + static_cast<std::uint32_t>(pending > 1 ? i * 500 / (pending - 1) : 0);
            Vorn::Command<Vorn::MSG_GetBoardID> request(engine.ownFrameId(), nowhere.frameId,
                                                        engine.ownType(), 2);
            Vorn::seal(request);
            const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
            const bool sent = engine.frameList().sendRequest(
                timeoutMs, nowhere, request,
                [&, deadline](const char*, unsigned, Vorn::ErrorCode error) {
                    if (error == Vorn::ErrorCode::TimedOut)
                        lateness.add(millisecondsBetween(deadline, Clock::now()));
                    if (left.fetch_sub(1) == 1) {
                        std::lock_guard<std::mutex> lock(doneMutex);
                        done.notify_all();
                    }
                });
            if (!sent)
                throw std::runtime_error("the frame list refused a request");
        }
        std::unique_lock<std::mutex> lock(doneMutex);
        if (!done.wait_for(lock, 30s, [&] { return left.load() == 0; }))
            throw std::runtime_error("time-outs missing after 30 s");
    }
}

// Keeps `engineRequests` engine requests to the silent device going until
// `until`, then waits for the last of them; adds the lateness of every
// retransmission and final time-out.
void runRetransmissions(VornNetwork& engine, const SilentDevice& device, Clock::time_point until,
                        Samples& retransmissions, Samples& finalTimeOuts) {
    const Vorn::StandardTimeoutBehavior schedule;
    struct Sent {
        std::uint32_t sequence;
        Clock::time_point completedAt;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Sent> finished; // guarded by mutex
    unsigned running = 0;       // guarded by mutex
    std::atomic<bool> failed{false};
    std::function<void()> startOne = [&] {
        auto request = engine.makeCommand<Vorn::MSG_GetBoardID>(silentId);
        const std::uint32_t sequence = request.sequence();
        const bool accepted =
            engine.send(silentId, request, nullptr,
                        [&, sequence](std::uint64_t, const char*, unsigned, Vorn::ErrorCode error) {
                            const Clock::time_point now = Clock::now();
                            if (error != Vorn::ErrorCode::TimedOut)
                                failed = true;
                            std::lock_guard<std::mutex> lock(mutex);
                            finished.push_back({sequence, now});
                            --running;
                            changed.notify_all();
                        });
        if (!accepted)
            throw std::runtime_error("the engine refused a request");
    };
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (Clock::now() < until) {
            while (running < engineRequests) {
                ++running;
                lock.unlock();
                startOne();
                lock.lock();
            }
            changed.wait_until(lock, until);
        }
        if (!changed.wait_for(lock, 30s, [&] { return running == 0; }))
            throw std::runtime_error("engine requests unfinished after 30 s");
    }
    if (failed)
        throw std::runtime_error("an engine request ended otherwise than timed out");
    for (const Sent& sent : finished) {
        const std::vector<Clock::time_point> arrivals = device.arrivals(sent.sequence);
        for (std::size_t k = 1; k < arrivals.size(); ++k) {
            const int timeout =
                k == 1 ? schedule.initialTimeout() : schedule.retryTimeout(static_cast<int>(k - 1));
            retransmissions.add(millisecondsBetween(
                arrivals[k - 1] + std::chrono::milliseconds(timeout), arrivals[k]));
        }
        if (arrivals.size() == static_cast<std::size_t>(schedule.attemptCount()))
            finalTimeOuts.add(millisecondsBetween(
                arrivals.back() +
                    std::chrono::milliseconds(schedule.retryTimeout(schedule.attemptCount() - 1)),
                sent.completedAt));
    }
}

int run(int argc, char** argv) {
    const Bench::Arguments args(argc, argv, {"--seconds", "--pending"}, {});
    const auto seconds = std::chrono::seconds(args.number("--seconds", 4, 1, 600));
    std::vector<std::size_t> pendingCounts;
    {
        std::istringstream list(args.text("--pending", "1,100,10000"));
        for (std::string item; std::getline(list, item, ',');) {
            const std::size_t n = std::stoul(item);
            if (n == 0 || n > 60000)
                throw std::invalid_argument("--pending takes counts from 1 to 60000");
            pendingCounts.push_back(n);
        }
    }
    const Bench::Watchdog watchdog(
        program, std::chrono::seconds(120 + 2 * pendingCounts.size() * (seconds.count() + 40)));

    Vorn::AnyNetworkType type;
    VornNetwork engine(type, toolAddress);
    SilentDevice device(engine.localPort());
    const Clock::time_point appearBy = Clock::now() + 10s;
    Vorn::Destination found;
    while (!engine.frameList().findDestination(silentId, found)) {
        if (Clock::now() > appearBy)
            throw std::runtime_error("the silent device never appeared");
        std::this_thread::sleep_for(1ms);
    }
    std::printf("TimeoutPrecision: %lld s per scenario, %u CPUs, load average %s at start\n",
                static_cast<long long>(seconds.count()), std::thread::hardware_concurrency(),
                Bench::loadAverage().c_str());
    std::printf("%-8s %-14s %-52s %-52s %s\n", "pending", "receive load", "time-outs late",
                "retransmissions late", "final time-outs late");
    std::string summary;
    for (const bool loaded : {false, true}) {
        for (const std::size_t pending : pendingCounts) {
            std::optional<ReceiveLoad> load;
            const Clock::time_point start = Clock::now();
            if (loaded)
                load.emplace(engine.localPort());
            Samples timeOuts, retransmissions, finals;
            const Clock::time_point until = Clock::now() + seconds;
            std::thread engineSide(
                [&] { runRetransmissions(engine, device, until, retransmissions, finals); });
            try {
                runTimeOutRounds(engine, pending, until, timeOuts);
            } catch (...) {
                engineSide.join();
                throw;
            }
            engineSide.join();
            const std::string loadText =
                loaded ? Bench::format("%.0f/s", static_cast<double>(load->sent()) /
                                                     Bench::secondsSince(start))
                       : "none";
            load.reset();
            const auto t = timeOuts.sorted();
            const auto r = retransmissions.sorted();
            std::printf("%-8zu %-14s %-52s %-52s %s\n", pending, loadText.c_str(),
                        describe(t).c_str(), describe(r).c_str(),
                        describe(finals.sorted()).c_str());
            std::fflush(stdout);
            summary += Bench::format("%s%zu pending%s: time-outs p99 %.2f ms max %.2f ms, "
                                     "retransmissions p99 %.2f ms max %.2f ms",
                                     summary.empty() ? "" : "; ", pending,
                                     loaded ? " with receive load" : "", Bench::percentile(t, 0.99),
                                     t.empty() ? 0.0 : t.back(), Bench::percentile(r, 0.99),
                                     r.empty() ? 0.0 : r.back());
        }
    }
    std::printf("load average %s at the end\n", Bench::loadAverage().c_str());
    std::printf("\nsummary TimeoutPrecision: %s\n", summary.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}
