// Inventory: vornctl inventory's reading of the segment: every listed device's
// name and serial number, read in parallel through the engine once the
// devices are listed. Devices are spread over several loopback addresses
// 127.0.1.x, as on a network of many units.
//
//   scripts/netns.sh -- build/native/bench/Inventory [--devices N] [--addresses K] [--runs R]
//
// Defaults: 1000 devices on 50 addresses, 3 runs (each with a fresh simulator
// and controller). Reported per run: the moment every device was listed (from
// the controller's start) and how long the reading took after that, with the
// serial numbers checked against the simulator's.

#include "BenchSupport.h"

#include "Commands.h"
#include "DeviceSession.h"
#include "DeviceSimulator.h"
#include "Exception.h"
#include "Inventory.h"
#include "Options.h"

#include <iostream>
#include <sstream>

namespace {

using Bench::Clock;
using namespace std::chrono_literals;

constexpr const char* program = "Inventory";
constexpr std::uint64_t firstDeviceId = 0x0000010000000001ull;

struct RunResult {
    double listedMs = 0;
    double readMs = 0;
    std::size_t wrong = 0; // serial numbers missing or not the simulator's
};

RunResult runOnce(std::size_t devices, unsigned addresses) {
    VornSim::SimulatorConfig config;
    config.devices = VornSim::generateDevices(devices, firstDeviceId, "127.0.1.1", addresses);
    VornSim::DeviceSimulator simulator(config);

    Vornctl::Options options;
    options.action = Vornctl::Action::Inventory;
    options.interfaceAddress = "127.0.0.1";
    options.all = true;
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    Vornctl::Console console{in, out, err, false};
    DeviceSession session(options.interfaceAddress);
    const auto start = Clock::now();
    try {
        session.start();
    } catch (const Exception& failure) {
        throw std::runtime_error("the controller did not start: " + failure.message());
    }
    if (!simulator.waitUntil([&] { return session.devices().present().size() >= devices; }, 30s))
        throw std::runtime_error("the devices were not all listed within 30 s");
    RunResult result;
    result.listedMs = Bench::secondsSince(start) * 1000.0;

    const auto listed = session.listedDevices(options.all);
    const auto reading = Clock::now();
    const auto rows = Vornctl::readInventory(session, listed, console);
    result.readMs = Bench::secondsSince(reading) * 1000.0;
    for (const Vornctl::InventoryRow& row : rows) {
        const auto expected = simulator.device(row.device.id);
        if (!row.serial || !expected || *row.serial != expected->setup.serial || !row.device.name)
            ++result.wrong;
    }
    result.wrong += devices - rows.size();
    return result;
}

int run(int argc, char** argv) {
    const Bench::Arguments arguments(argc, argv, {"--devices", "--addresses", "--runs"}, {});
    const std::size_t devices = arguments.number("--devices", 1000, 1, 100000);
    const auto addresses = static_cast<unsigned>(arguments.number("--addresses", 50, 1, 250));
    const std::size_t runs = arguments.number("--runs", 3, 1, 100);
    const Bench::Watchdog watchdog(program, std::chrono::seconds(60 * runs + 60));
    const std::string loadAtStart = Bench::loadAverage();

    std::vector<double> reads;
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < runs; ++i) {
        const RunResult result = runOnce(devices, addresses);
        std::printf("run %zu: %zu devices listed after %.0f ms; names and serial numbers read in "
                    "%.0f ms; %zu missing or wrong\n",
                    i + 1, devices, result.listedMs, result.readMs, result.wrong);
        std::fflush(stdout);
        reads.push_back(result.readMs);
        wrong += result.wrong;
    }
    std::sort(reads.begin(), reads.end());
    std::printf("Inventory: %zu devices on %u addresses; %u CPUs; load average %s at start\n",
                devices, addresses, std::thread::hardware_concurrency(), loadAtStart.c_str());
    std::printf("summary Inventory %zu: names and serial numbers read in median %.0f ms (min %.0f, "
                "max %.0f) over %zu runs; %zu missing or wrong\n",
                devices, Bench::percentile(reads, 0.5), reads.front(), reads.back(), runs, wrong);
    return wrong == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    return Bench::runMain(program, run, argc, argv);
}
