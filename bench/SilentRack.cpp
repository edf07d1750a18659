// SilentRack: a rack of devices that announce themselves and never answer
// (booting, firmware busy), named by a window-like client, next to one device
// that answers. Measured: the answering device's serial-number reads, one after
// another as a technician clicks, for two retry budgets (16 s) after every
// device is listed: min / median / max latency; when its name arrived; when
// the first round of the silent devices' names had ended.
//
//   scripts/netns.sh -- build/native/bench/SilentRack [--silent N] [--seconds S]
//
// The devices are simulated in process on the device port, the silent ones on
// 50 addresses from 127.0.1.1 (every request to them is dropped), the
// answering one on 127.0.0.2; the controller runs on 127.0.0.1.

#include "BenchSupport.h"

#include "DeviceSimulator.h"
#include "Options.h"
#include "VornService.h"

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace {

using Bench::Clock;
using namespace std::chrono_literals;

constexpr const char* program = "SilentRack";
constexpr std::uint64_t answeringDevice = 0x0000000A0000000Bull;
constexpr std::uint64_t firstSilentId = 0x0000020000000001ull;

double millisecondsSince(Clock::time_point start) {
    return Bench::secondsSince(start) * 1000.0;
}

int run(int argc, char** argv) {
    const Bench::Arguments arguments(argc, argv, {"--silent", "--seconds"}, {});
    const std::size_t silent = arguments.number("--silent", 300, 0, 10000);
    const auto seconds = std::chrono::seconds(arguments.number("--seconds", 16, 1, 600));
    const Bench::Watchdog watchdog(program, seconds + 120s);
    const std::string loadAtStart = Bench::loadAverage();

    VornSim::SimulatorConfig config;
    config.devices = VornSim::generateDevices(silent, firstSilentId, "127.0.1.1", 50);
    VornSim::DeviceSetup device;
    device.id = answeringDevice;
    device.name = "Answering device";
    device.serial = 20261207;
    config.devices.push_back(device);
    VornSim::DeviceSimulator simulator(config);
    VornSim::Faults deaf;
    deaf.dropProbability = 1.0; // announces itself, never answers
    for (std::size_t i = 0; i < silent; ++i)
        simulator.setDeviceFaults(config.devices[i].id, deaf);

    // The window's way with devices: every new one is asked for its name,
    // and asked again after a failure.
    std::atomic<std::size_t> added{0};
    std::mutex mutex;
    std::unordered_set<std::uint64_t> silentRoundsEnded; // guarded by mutex: first rounds over
    std::optional<double> namedAfterMs;                  // guarded by mutex
    std::optional<double> silentRoundEndsMs;             // guarded by mutex
    Clock::time_point start = Clock::now();
    VornService service("127.0.0.1");
    service.deviceAddedHandlers.push_back([&](std::uint64_t id) {
        ++added;
        service.requestDeviceName(
            id,
            [&, silent](std::uint64_t from, bool ok, std::string) {
                std::lock_guard<std::mutex> lock(mutex);
                if (from == answeringDevice && ok && !namedAfterMs)
                    namedAfterMs = millisecondsSince(start);
                if (from != answeringDevice && silentRoundsEnded.insert(from).second &&
                    silentRoundsEnded.size() == silent)
                    silentRoundEndsMs = millisecondsSince(start);
            },
            NameRounds::UntilNamed);
    });
    start = Clock::now();
    service.start();
    if (!simulator.waitUntil([&] { return added.load() >= silent + 1; }, 20s))
        throw std::runtime_error("the devices were not all listed within 20 s");
    const double listedMs = millisecondsSince(start);

    // Reads from the moment everything is listed, 20 ms apart.
    std::vector<double> latencies;
    std::size_t failed = 0;
    const auto readsStart = Clock::now();
    while (Bench::secondsSince(readsStart) < static_cast<double>(seconds.count())) {
        auto result = std::make_shared<std::promise<bool>>();
        auto outcome = result->get_future();
        const auto sent = Clock::now();
        if (!service.requestSerialNumber(
                answeringDevice,
                [result](std::uint64_t, bool ok, unsigned) { result->set_value(ok); })) {
            ++failed;
        } else if (outcome.wait_for(10s) == std::future_status::ready && outcome.get()) {
            latencies.push_back(millisecondsSince(sent));
        } else {
            ++failed;
        }
        std::this_thread::sleep_for(20ms);
    }
    std::sort(latencies.begin(), latencies.end());
    const double median = latencies.empty() ? -1 : Bench::percentile(latencies, 0.5);
    const double minimum = latencies.empty() ? -1 : latencies.front();
    const double maximum = latencies.empty() ? -1 : latencies.back();

    std::lock_guard<std::mutex> lock(mutex);
    std::printf("SilentRack: %zu devices that never answer and 1 that does; %u CPUs; load average "
                "%s at start\n",
                silent, std::thread::hardware_concurrency(), loadAtStart.c_str());
    std::printf("all listed after %.0f ms; the answering device named after %.0f ms; first round "
                "of the silent names ended after %.0f ms (%zu of %zu); %zu rounds still to come\n",
                listedMs, namedAfterMs.value_or(-1), silentRoundEndsMs.value_or(-1),
                silentRoundsEnded.size(), silent, service.namesToRetry());
    std::printf("summary SilentRack %zu: serial read min %.1f / median %.1f / max %.1f ms over %zu "
                "reads in %lld s, %zu failed; answering device named after %.0f ms\n",
                silent, minimum, median, maximum, latencies.size(),
                static_cast<long long>(seconds.count()), failed, namedAfterMs.value_or(-1));
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}
