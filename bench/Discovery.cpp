// Discovery: the time from starting the controller (VornService, which builds
// the engine) until every simulated device is listed, and until every
// device's name has been read. Devices are spread over several loopback
// addresses 127.0.1.x, as on a network of many units.
//
// As in the application, the device-added handler only hands the id over; a
// separate thread (standing in for the window thread) asks for each name. A
// name request that fails is asked again and counted.
//
//   scripts/netns.sh -- build/native/bench/Discovery [--devices N] [--addresses K]
//                       [--address-base A] [--runs R] [--timeout S] [--timeline]
//
// Defaults: 1000 devices on 50 addresses from 127.0.1.1, 5 runs (each with a
// fresh simulator and controller), 60 s limit per run. Reported per run: the
// moments the first device and the last one were listed and the last name was
// read, name requests that failed and were asked again, requests the
// simulator received (more than the devices: the engine retransmitted),
// presence messages it sent, and datagrams dropped for a full socket buffer at
// the engine's socket and in the whole namespace.
//
// --timeline prints, every 250 ms of each run, the devices listed and named so
// far and the datagrams the namespace dropped for a full socket buffer.

#include "BenchSupport.h"

#include "DeviceSimulator.h"
#include "Exception.h"
#include "Options.h"
#include "VornService.h"

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace {

using Bench::Clock;

constexpr const char* program = "Discovery";
constexpr const char* toolAddress = "127.0.0.1";
constexpr std::uint64_t firstDeviceId = 0x0000010000000001ull;

// Milliseconds from `start`, or -1 when the moment never came.
double millisecondsAfter(Clock::time_point start, const std::optional<Clock::time_point>& t) {
    return t ? std::chrono::duration<double, std::milli>(*t - start).count() : -1.0;
}

// Stands in for the application's window thread: takes the ids the
// device-added handler hands over and asks the controller for each name.
class Application {
public:
    explicit Application(const std::vector<VornSim::DeviceSetup>& devices) {
        for (const VornSim::DeviceSetup& device : devices)
            expectedNames_.emplace(device.id, device.name);
    }

    ~Application() { stop(); }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Device-added handler: runs on the engine's frame-list worker.
    void deviceAdded(std::uint64_t id) {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!firstAdded_)
                firstAdded_ = now;
            listed_.insert(id);
            if (!allAdded_ && listed_.size() == expectedNames_.size())
                allAdded_ = now;
            work_.push_back(id);
        }
        changed_.notify_all();
    }

    // Device-removed handler: a device not heard for too long leaves the list.
    void deviceRemoved(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        listed_.erase(id);
        ++removed_;
    }

    // Starts asking for names through `service`, which must outlive stop().
    void start(VornService& service) {
        thread_ = std::thread([this, &service] { run(service); });
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    // Waits until every name is in, or until `deadline`.
    bool waitForNames(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [this] { return allNamed_.has_value(); });
    }

    // Devices listed and named so far.
    std::pair<std::size_t, std::size_t> progress() {
        std::lock_guard<std::mutex> lock(mutex_);
        return {listed_.size(), named_.size()};
    }

    struct Result {
        std::optional<Clock::time_point> firstAdded, allAdded, allNamed;
        std::size_t listed = 0, named = 0, removed = 0, retries = 0, wrongNames = 0, refused = 0;
    };
    Result result() {
        std::lock_guard<std::mutex> lock(mutex_);
        return {firstAdded_, allAdded_, allNamed_,   listed_.size(), named_.size(),
                removed_,    retries_,  wrongNames_, refused_};
    }

private:
    void run(VornService& service) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || !work_.empty(); });
            if (stopping_)
                return;
            const std::uint64_t id = work_.front();
            work_.pop_front();
            lock.unlock();
            const bool accepted = service.requestDeviceName(
                id, [this](std::uint64_t device, bool ok, std::string name) {
                    onName(device, ok, std::move(name));
                });
            lock.lock();
            if (!accepted)
                ++refused_;
        }
    }

    // Runs where the engine completes the request.
    void onName(std::uint64_t id, bool ok, std::string name) {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!ok) {
                ++retries_;
                work_.push_back(id);
            } else {
                const auto expected = expectedNames_.find(id);
                if (expected == expectedNames_.end() || expected->second != name)
                    ++wrongNames_;
                named_.insert(id);
                if (!allNamed_ && named_.size() == expectedNames_.size())
                    allNamed_ = now;
            }
        }
        changed_.notify_all();
    }

    std::unordered_map<std::uint64_t, std::string> expectedNames_; // fixed after construction
    std::mutex mutex_; // guards everything below except thread_
    std::condition_variable changed_;
    std::deque<std::uint64_t> work_;
    bool stopping_ = false;
    std::optional<Clock::time_point> firstAdded_, allAdded_, allNamed_;
    std::unordered_set<std::uint64_t> listed_, named_;
    std::size_t removed_ = 0, retries_ = 0, wrongNames_ = 0, refused_ = 0;
    std::thread thread_; // touched only by the benchmark's main thread
};

struct RunFigures {
    double constructMs = 0, firstFrameMs = 0, allFramesMs = 0, allNamesMs = 0;
    Application::Result result;
    VornSim::Counters simulator;
    std::uint64_t receiveBufferDrops = 0; // every socket of the namespace
    std::uint64_t engineDrops = 0;        // the engine's socket alone
    bool complete = false;
    struct Sample {
        double seconds;
        std::size_t listed, named;
        std::uint64_t drops;
    };
    std::vector<Sample> timeline;
};

RunFigures runOnce(const std::vector<VornSim::DeviceSetup>& devices, std::chrono::seconds timeout) {
    VornSim::SimulatorConfig config;
    config.devices = devices;
    VornSim::DeviceSimulator simulator(config);
    Application application(devices);
    RunFigures figures;

    const Bench::UdpCounters udpBefore = Bench::UdpCounters::now();
    const Clock::time_point start = Clock::now();
    {
        VornService service(toolAddress);
        service.deviceAddedHandlers.push_back(
            [&application](std::uint64_t id) { application.deviceAdded(id); });
        service.start();
        const Clock::time_point constructed = Clock::now();
        application.start(service);
        // Progress is sampled every 250 ms for the optional timeline.
        const Clock::time_point deadline = start + timeout;
        for (Clock::time_point tick = start;;) {
            tick += std::chrono::milliseconds(250);
            figures.complete = application.waitForNames(std::min(tick, deadline));
            const auto [added, named] = application.progress();
            figures.timeline.push_back(
                {Bench::secondsSince(start), added, named,
                 (Bench::UdpCounters::now() - udpBefore).receiveBufferErrors});
            if (figures.complete || tick >= deadline)
                break;
        }
        figures.engineDrops = Bench::socketDrops(service.localPort());
        application.stop(); // no more requests; the controller may go
        figures.constructMs = millisecondsAfter(start, constructed);
    }
    figures.result = application.result();
    figures.firstFrameMs = millisecondsAfter(start, figures.result.firstAdded);
    figures.allFramesMs = millisecondsAfter(start, figures.result.allAdded);
    figures.allNamesMs = millisecondsAfter(start, figures.result.allNamed);
    figures.receiveBufferDrops = (Bench::UdpCounters::now() - udpBefore).receiveBufferErrors;
    simulator.stop();
    figures.simulator = simulator.counters();
    return figures;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return Bench::percentile(values, 0.5);
}

int run(int argc, char** argv) {
    const Bench::Arguments args(
        argc, argv, {"--devices", "--addresses", "--address-base", "--runs", "--timeout"},
        {"--timeline"});
    const bool timeline = args.has("--timeline");
    const std::size_t count = args.number("--devices", 1000, 1, 100000);
    const unsigned addresses = static_cast<unsigned>(args.number("--addresses", 50, 1, 65536));
    const std::string base = args.text("--address-base", "127.0.1.1");
    const unsigned runs = static_cast<unsigned>(args.number("--runs", 5, 1, 100));
    const std::chrono::seconds timeout(args.number("--timeout", 60, 1, 3600));
    const Bench::Watchdog watchdog(program, runs * (timeout + std::chrono::seconds(30)));

    std::vector<VornSim::DeviceSetup> devices;
    try {
        devices = VornSim::generateDevices(count, firstDeviceId, base, addresses);
    } catch (const VornSim::UsageError& e) {
        throw std::invalid_argument(e.what());
    }

    std::printf("Discovery: %zu devices on %u addresses from %s, controller on %s, %u runs, "
                "%u CPUs, load average %s\n",
                count, std::min<unsigned>(addresses, static_cast<unsigned>(count)), base.c_str(),
                toolAddress, runs, std::thread::hardware_concurrency(),
                Bench::loadAverage().c_str());
    std::printf("%4s %10s %10s %10s %10s %8s %9s %9s %7s %7s\n", "run", "construct", "1st frame",
                "all frames", "all names", "retries", "requests", "presence", "drops", "drops");
    std::printf("%4s %10s %10s %10s %10s %8s %9s %9s %7s %7s\n", "", "ms", "ms", "ms", "ms", "",
                "received", "sent", "engine", "all");

    std::vector<double> allFrames, allNames;
    std::uint64_t engineDrops = 0;
    bool ok = true;
    for (unsigned r = 1; r <= runs; ++r) {
        const RunFigures f = runOnce(devices, timeout);
        std::printf("%4u %10.1f %10.1f %10.1f %10.1f %8zu %9llu %9llu %7llu %7llu\n", r,
                    f.constructMs, f.firstFrameMs, f.allFramesMs, f.allNamesMs, f.result.retries,
                    static_cast<unsigned long long>(f.simulator.requests),
                    static_cast<unsigned long long>(f.simulator.presence),
                    static_cast<unsigned long long>(f.engineDrops),
                    static_cast<unsigned long long>(f.receiveBufferDrops));
        if (f.result.removed != 0)
            std::printf("     %zu devices left the list during the run (not heard for 10 s)\n",
                        f.result.removed);
        if (!f.complete || f.result.wrongNames != 0 || f.result.refused != 0) {
            std::printf("     incomplete: %zu of %zu listed, %zu named, %zu wrong names, %zu "
                        "requests refused\n",
                        f.result.listed, count, f.result.named, f.result.wrongNames,
                        f.result.refused);
            ok = false;
        }
        if (timeline)
            for (const RunFigures::Sample& sample : f.timeline)
                std::printf("     %6.2f s: %zu listed, %zu named, %llu receive-buffer drops\n",
                            sample.seconds, sample.listed, sample.named,
                            static_cast<unsigned long long>(sample.drops));
        engineDrops += f.engineDrops;
        allFrames.push_back(f.allFramesMs);
        allNames.push_back(f.allNamesMs);
    }
    auto range = [](const std::vector<double>& values) {
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        return Bench::format("%.1f to %.1f", *low, *high);
    };
    std::printf("summary Discovery: %zu devices on %u addresses: all listed after %.1f ms (%s), "
                "all names read after %.1f ms (%s); median (range) of %u runs; %llu datagrams "
                "dropped at the engine's full socket buffer in all%s\n",
                count, std::min<unsigned>(addresses, static_cast<unsigned>(count)),
                median(allFrames), range(allFrames).c_str(), median(allNames),
                range(allNames).c_str(), runs, static_cast<unsigned long long>(engineDrops),
                ok ? "" : "; SOME RUNS INCOMPLETE");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}
