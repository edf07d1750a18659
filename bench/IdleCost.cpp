// IdleCost: what an engine costs while nothing is asked of it. Two phases of
// equal length:
//
//   1. the engine alone: heartbeat, frame sweep, time-out thread, idle I/O threads;
//   2. the engine with N simulated devices present, each announcing itself once a second;
//      with --silent the devices never answer and the engine runs under a controller
//      that asks each its name as the window does (NameRounds::UntilNamed), so that
//      requests time out, are retransmitted and wait for room in the congestion window.
//
// The devices run in a separate process (the vornsim program), so the CPU time
// of this process (getrusage: user + system, every thread) is the engine's
// alone: the only other threads here are the main thread and a watchdog, both
// asleep while a phase is measured. Reported: CPU milliseconds per second of
// wall time, voluntary context switches (thread wake-ups) per second, and the
// cost per device as (phase 2 - phase 1) / N; and the heap in use at the start
// of each phase, whose difference over N is the heap a present frame holds.
// The wake-ups are also given per thread, by the names the stack gives its
// threads (/proc/self/task/*/comm).
//
//   scripts/netns.sh -- build/native/bench/IdleCost [--devices N] [--addresses K]
//                       [--seconds S] [--vornsim PATH] [--silent]
//
// PATH defaults to ../src/apps/vornsim/vornsim next to this program's directory.

#include "BenchSupport.h"

#include "Exception.h"
#include "VornService.h"
#include "engine/VornNetwork.h"
#include "wire/NetworkType.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

using Bench::Clock;

constexpr const char* program = "IdleCost";
constexpr const char* toolAddress = "127.0.0.1";

// A file descriptor closed on destruction.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// A child program with its standard output on a pipe. Ended with SIGTERM and
// waited for on destruction.
class ChildProcess {
public:
    ChildProcess(const std::string& path, const std::vector<std::string>& arguments) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        output_ = std::make_unique<FileDescriptor>(ends[0]);
        const FileDescriptor writeEnd(ends[1]);

        std::vector<std::string> words{path};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
        const int error =
            ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("cannot start " + path + ": " + std::strerror(error));
    }

    ~ChildProcess() { terminate(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next output line that starts with `prefix`, or nothing by `deadline`
    // or at the end of the output.
    std::optional<std::string> waitForLine(const std::string& prefix, Clock::time_point deadline) {
        for (;;) {
            for (auto newline = pending_.find('\n'); newline != std::string::npos;
                 newline = pending_.find('\n')) {
                std::string line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                if (line.rfind(prefix, 0) == 0)
                    return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd readable{output_->get(), POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(output_->get(), buffer, sizeof buffer);
            if (got <= 0)
                return std::nullopt;
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
    }

    // CPU time the child's live threads have used so far, in seconds: the sum
    // of their scheduler run times (nanoseconds, unlike the tick-grained
    // counters of /proc/PID/stat).
    double cpuSeconds() const {
        std::uint64_t nanoseconds = 0;
        std::error_code error;
        const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
        for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
            std::ifstream schedstat(task.path() / "schedstat");
            std::uint64_t runTime = 0;
            if (schedstat >> runTime)
                nanoseconds += runTime;
        }
        return static_cast<double>(nanoseconds) * 1e-9;
    }

    // SIGTERM, then waits for the child; returns its last "summary" line.
    std::string terminate() {
        if (pid_ <= 0)
            return {};
        ::kill(pid_, SIGTERM);
        const std::string summary =
            waitForLine("summary", Clock::now() + std::chrono::seconds(10)).value_or("");
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return summary;
    }

private:
    pid_t pid_ = -1;
    std::unique_ptr<FileDescriptor> output_;
    std::string pending_;
};

// Voluntary context switches (wake-ups) of this process's live threads, summed
// by thread name.
std::map<std::string, long> wakeUpsByThread() {
    std::map<std::string, long> counts;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::string name;
        std::ifstream comm(task.path() / "comm");
        if (!std::getline(comm, name))
            continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                counts[name] += std::stol(line.substr(line.find(':') + 1));
    }
    return counts;
}

struct Phase {
    std::string name;
    std::map<std::string, double> wakeUpsPerSecond; // by thread name
    double wallSeconds = 0;
    Bench::ProcessTimes cpu;
    std::uint64_t datagrams = 0; // received by every socket of the namespace
    std::uint64_t engineDrops = 0;
    std::size_t removed = 0;
    std::size_t heapBytes = 0; // in use when the phase began

    double cpuMsPerSecond() const { return cpu.cpuSeconds() * 1000.0 / wallSeconds; }
};

// Counts the frames the engine lists, from before its first datagram.
class FrameCount {
public:
    void subscribe(VornNetwork& engine) {
        added_ = engine.frameAdded.subscribe([this](std::uint64_t) { added(); });
        removed_ = engine.frameRemoved.subscribe([this](std::uint64_t) { removed(); });
    }

    void added() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++listed_;
        }
        changed_.notify_all();
    }

    void removed() {
        std::lock_guard<std::mutex> lock(mutex_);
        --listed_;
        ++removedCount_;
    }

    bool waitFor(std::size_t count, Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return listed_ >= count; });
    }

    std::size_t removedCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return removedCount_;
    }

private:
    std::mutex mutex_; // guards listed_ and removedCount_
    std::condition_variable changed_;
    std::size_t listed_ = 0;
    std::size_t removedCount_ = 0;
    Vorn::FrameList::FrameEvent::Token added_, removed_; // dropped before the counts go
};

// Measures `seconds` of an engine that has settled.
Phase measure(const std::string& name, VornNetwork& engine, FrameCount& frames,
              std::chrono::seconds seconds) {
    Phase phase;
    phase.name = name;
    const std::size_t removedBefore = frames.removedCount();
    const std::map<std::string, long> threadsBefore = wakeUpsByThread();
    phase.heapBytes = Bench::heapInUse();
    const std::uint64_t dropsBefore = Bench::socketDrops(engine.localPort());
    const Bench::UdpCounters udpBefore = Bench::UdpCounters::now();
    const Bench::ProcessTimes before = Bench::ProcessTimes::now();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(seconds);
    phase.cpu = Bench::ProcessTimes::now() - before;
    phase.wallSeconds = Bench::secondsSince(start);
    phase.datagrams = (Bench::UdpCounters::now() - udpBefore).inDatagrams;
    phase.engineDrops = Bench::socketDrops(engine.localPort()) - dropsBefore;
    phase.removed = frames.removedCount() - removedBefore;
    for (const auto& [thread, count] : wakeUpsByThread()) {
        const auto before = threadsBefore.find(thread);
        const long earlier = before == threadsBefore.end() ? 0 : before->second;
        phase.wakeUpsPerSecond[thread] = static_cast<double>(count - earlier) / phase.wallSeconds;
    }
    return phase;
}

std::string defaultSimulatorPath() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return "vornsim";
    std::string path(self, static_cast<std::size_t>(length));
    path.erase(path.rfind('/'));
    return path + "/../src/apps/vornsim/vornsim";
}

void printPhase(const Phase& p) {
    std::printf("%-26s %7.2f %8.1f %8.2f %7.1f %7.1f %9.1f %9.1f %6llu %7zu\n", p.name.c_str(),
                p.wallSeconds, p.cpu.cpuSeconds() * 1000.0, p.cpuMsPerSecond(),
                p.cpu.userSeconds * 1000.0, p.cpu.systemSeconds * 1000.0,
                static_cast<double>(p.cpu.voluntarySwitches) / p.wallSeconds,
                static_cast<double>(p.datagrams) / p.wallSeconds,
                static_cast<unsigned long long>(p.engineDrops), p.removed);
}

void printThreads(const Phase& p) {
    std::printf("%s, wake-ups per second by thread:", p.name.c_str());
    for (const auto& [thread, perSecond] : p.wakeUpsPerSecond)
        std::printf(" %s %.1f", thread.c_str(), perSecond);
    std::printf("\n");
}

int run(int argc, char** argv) {
    const Bench::Arguments args(argc, argv, {"--devices", "--addresses", "--seconds", "--vornsim"},
                                {"--silent"});
    const bool silent = args.has("--silent");
    const std::size_t devices = args.number("--devices", 100, 1, 100000);
    const unsigned addresses = static_cast<unsigned>(args.number("--addresses", 50, 1, 65536));
    const std::chrono::seconds seconds(args.number("--seconds", 10, 1, 3600));
    const std::string simulatorPath = args.text("--vornsim", defaultSimulatorPath());
    const Bench::Watchdog watchdog(program, 2 * seconds + std::chrono::seconds(120));
    const std::string loadAtStart = Bench::loadAverage();
    if (::access(simulatorPath.c_str(), X_OK) != 0)
        throw std::invalid_argument("no vornsim program at " + simulatorPath +
                                    " (build the vornsim target or pass --vornsim PATH)");

    Vorn::AnyNetworkType type;
    Phase alone, busy;
    {
        FrameCount frames;
        VornNetwork engine(type, toolAddress, [&](VornNetwork& e) { frames.subscribe(e); });
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        alone = measure("engine alone", engine, frames, seconds);
    }

    std::vector<std::string> simulatorArguments{
        "--devices",       std::to_string(devices),   "--address-base", "127.0.1.1",
        "--address-count", std::to_string(addresses), "--quiet"};
    if (silent) {
        simulatorArguments.push_back("--drop");
        simulatorArguments.push_back("1");
    }
    ChildProcess simulator(simulatorPath, simulatorArguments);
    const auto ready = simulator.waitForLine("ready", Clock::now() + std::chrono::seconds(15));
    if (!ready)
        throw std::runtime_error("vornsim did not report ready");
    double simulatorCpu = 0;
    const std::string busyName =
        "engine + " + std::to_string(devices) + (silent ? " silent, named" : " devices");
    const auto measureBusy = [&](VornNetwork& engine, FrameCount& frames) {
        if (!frames.waitFor(devices, Clock::now() + std::chrono::seconds(30)))
            throw std::runtime_error("not every simulated device appeared within 30 s");
        // Past the first burst of presence messages: steady state from here.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const double simulatorBefore = simulator.cpuSeconds();
        busy = measure(busyName, engine, frames, seconds);
        simulatorCpu = simulator.cpuSeconds() - simulatorBefore;
    };
    if (silent) {
        FrameCount frames;
        VornService service(toolAddress);
        service.deviceAddedHandlers.push_back([&](std::uint64_t id) {
            frames.added();
            service.requestDeviceName(
                id, [](std::uint64_t, bool, const std::string&) {}, NameRounds::UntilNamed);
        });
        service.deviceRemovedHandlers.push_back([&](std::uint64_t) { frames.removed(); });
        service.start();
        measureBusy(*service.engine(), frames);
    } else {
        FrameCount frames;
        VornNetwork engine(type, toolAddress, [&](VornNetwork& e) { frames.subscribe(e); });
        measureBusy(engine, frames);
    }
    const std::string summary = simulator.terminate();

    std::printf("IdleCost: engine on %s; %zu devices on %u addresses in a separate vornsim "
                "process; %lld s per phase; %u CPUs; load average %s at start\n",
                toolAddress, devices, std::min<unsigned>(addresses, static_cast<unsigned>(devices)),
                static_cast<long long>(seconds.count()), std::thread::hardware_concurrency(),
                loadAtStart.c_str());
    std::printf("%-26s %7s %8s %8s %7s %7s %9s %9s %6s %7s\n", "phase", "wall", "CPU", "CPU",
                "user", "system", "wake-ups", "datagrams", "drops", "removed");
    std::printf("%-26s %7s %8s %8s %7s %7s %9s %9s %6s %7s\n", "", "s", "ms", "ms/s", "ms", "ms",
                "/s", "in /s", "", "frames");
    printPhase(alone);
    printPhase(busy);
    printThreads(alone);
    printThreads(busy);
    const double perDeviceUs =
        (busy.cpuMsPerSecond() - alone.cpuMsPerSecond()) * 1000.0 / static_cast<double>(devices);
    const double wakeupsPerDevice =
        (static_cast<double>(busy.cpu.voluntarySwitches) / busy.wallSeconds -
         static_cast<double>(alone.cpu.voluntarySwitches) / alone.wallSeconds) /
        static_cast<double>(devices);
    std::printf("per device: %.2f us CPU per second (%.4f %% of one CPU), %.2f wake-ups per "
                "second\n",
                perDeviceUs, perDeviceUs / 1e4, wakeupsPerDevice);
    const double heapPerFrame =
        (static_cast<double>(busy.heapBytes) - static_cast<double>(alone.heapBytes)) /
        static_cast<double>(devices);
    std::printf("heap: engine alone %zu bytes, with %zu devices present %zu bytes: %.0f bytes "
                "per present frame\n",
                alone.heapBytes, devices, busy.heapBytes, heapPerFrame);
    std::printf("vornsim process (not counted above): %.2f ms CPU per second; %s\n",
                simulatorCpu * 1000.0 / busy.wallSeconds, summary.c_str());
    std::printf(
        "summary IdleCost: engine alone %.2f ms CPU/s (%.1f wake-ups/s); with %zu "
        "devices %.2f ms CPU/s (%.1f wake-ups/s); %.2f us CPU/s per device; %.0f heap bytes "
        "per present frame\n",
        alone.cpuMsPerSecond(),
        static_cast<double>(alone.cpu.voluntarySwitches) / alone.wallSeconds, devices,
        busy.cpuMsPerSecond(), static_cast<double>(busy.cpu.voluntarySwitches) / busy.wallSeconds,
        perDeviceUs, heapPerFrame);
    return busy.removed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // A broken pipe to vornsim must not end the benchmark.
    std::signal(SIGPIPE, SIG_IGN);
    return Bench::runMain(program, run, argc, argv);
}
