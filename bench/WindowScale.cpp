// WindowScale (Windows build, under Wine): how fast the main window lists many
// devices and shows a selected device's serial number.
//
//   WindowScale [--devices N] [--selections K] [--silent M] [--writes W]
//               [--confirm-ms C] [--simulator in|outside]
//
// Runs the program on a thread of this process against N simulated devices
// (the Windows build of the simulator, on the test network's 192.0.2.2; the
// tool picks 192.0.2.1), then, as a user would watch it: the time from OK in
// the network dialog until every device has its row, and until every row
// shows its name; then K selections, each timed from the click until the
// current-serial label shows the number. Run it in scripts/netns.sh --veth
// under scripts/wine-session.sh (bench/run.sh does).
//
// --writes W: then W serial writes of numbers no device holds, each timed
// from the click that selects the device until the "Success" box shows: the
// serial read, the number typed and confirmed as a user would, the write
// (with whatever the window checks first) and its read-back. --confirm-ms C:
// the confirmation is typed C ms after the dialog opens, as a person takes
// a moment to (default 0: at once).
//
// --silent M: M more devices that announce themselves and never answer (a
// rack still booting); their rows stay "Unknown" while the window keeps asking
// their names, and the selections go to the devices that answer.
//
// --simulator outside: no simulator in this process; the N devices are
// expected from a simulator started beside it on 192.0.2.2 (the Linux vornsim
// in the same namespace: `vornsim --reuse-address --devices N --address-base
// 192.0.2.2 --address-count 1`), so that the devices do not share Wine with
// the program. Only rows and names are timed then.
#include "DeviceSimulator.h"
#include "MainWindow.h"
#include "Program.h"
#include "TestNamespace.h"
#include "UiDriver.h"
#include "WaitUntil.h"

#include "Resource.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* toolAddress = "192.0.2.1";
constexpr const char* deviceAddress = "192.0.2.2";

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Waits for `condition`, looking every millisecond: a selection takes a few
// milliseconds, and a wait that looks less often would mostly measure itself.
template <class Condition>
bool lookEveryMs(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::vector<VornSim::DeviceSetup> devices(int count, int silent) {
    std::vector<VornSim::DeviceSetup> setups;
    for (int i = 0; i < count + silent; ++i) {
        VornSim::DeviceSetup setup;
        setup.id = 0x0000010000000001ull + static_cast<std::uint64_t>(i);
        setup.deviceType = static_cast<std::uint8_t>(10 + i % 4);
        setup.name = (i < count ? "Device-" : "Silent-") + std::to_string(i);
        setup.address = deviceAddress;
        setup.serial = 100000u + static_cast<std::uint32_t>(i);
        setups.push_back(setup);
    }
    return setups;
}

int run(int deviceCount, int selections, int silent, int writes, int confirmMs,
        bool simulatorInside) {
    VornSim::SimulatorConfig config;
    config.devices = devices(deviceCount, simulatorInside ? silent : 0);
    std::optional<VornSim::DeviceSimulator> simulator;
    if (simulatorInside) {
        simulator.emplace(config);
        VornSim::Faults deaf;
        deaf.dropProbability = 1.0;
        for (int i = deviceCount; i < deviceCount + silent; ++i)
            simulator->setDeviceFaults(config.devices[static_cast<std::size_t>(i)].id, deaf);
    } else {
        selections = 0; // the serial numbers are the outside simulator's
        writes = 0;
        silent = 0;
    }

    std::atomic<int> exitCode{-100};
    std::thread windowThread(
        [&] { exitCode = runProgram(GetModuleHandleA(nullptr), SW_SHOWNORMAL); });
    // Every 500 ms, what the devices have received and sent: requests beyond
    // one per device are retransmissions.
    std::atomic<bool> watching{simulatorInside};
    std::thread watcher([&] {
        const auto watchStart = Clock::now();
        auto next = watchStart;
        while (watching) {
            next += 500ms;
            std::this_thread::sleep_until(next);
            const VornSim::Counters c = simulator->counters();
            std::printf("  %6.0f ms: devices received %llu requests, sent %llu replies\n",
                        msSince(watchStart), static_cast<unsigned long long>(c.requests),
                        static_cast<unsigned long long>(c.replies));
        }
    });
    const DWORD self = GetCurrentProcessId();
    int status = 0;
    const auto start = Clock::now();
    if (const auto problem = UiDriver::ServiceTool::chooseNetwork(self, toolAddress)) {
        std::fprintf(stderr, "WindowScale: %s\n", problem->c_str());
        status = 1;
    }
    const HWND main = status ? nullptr : UiDriver::ServiceTool::waitForMainWindow(self, 10s);
    if (main) {
        UiDriver::List list(GetDlgItem(main, IDC_DEVICE_LIST));
        // Every row, then every name.
        const int rows = deviceCount + silent;
        const bool listed = TestSupport::waitUntil([&] { return list.rowCount() >= rows; }, 60s);
        const double listedMs = msSince(start);
        const int rowsListed = list.rowCount();
        const auto named = [&](int row) { return list.cell(row, 0) != "Unknown"; };
        // Every look reads only the rows not yet seen named, and with devices
        // that all answer stops at the first unnamed one (names arrive about
        // in row order), so that watching costs the window little.
        std::vector<char> seenNamed(static_cast<std::size_t>(rows), 0);
        int seen = 0;
        const auto look = [&] {
            for (int row = 0; row < rows; ++row) {
                auto& known = seenNamed[static_cast<std::size_t>(row)];
                if (known)
                    continue;
                if (named(row)) {
                    known = 1;
                    ++seen;
                } else if (silent == 0) {
                    break;
                }
            }
            return seen >= deviceCount;
        };
        // The rows of the devices that answer, once they are all named: one
        // full pass, after the time is taken, confirms that no row moved
        // meanwhile (a device that left and came back); otherwise the time
        // is taken once a full pass finds them all.
        std::vector<int> answering;
        const auto allAnswering = [&] {
            answering.clear();
            for (int row = 0; row < rows; ++row)
                if (named(row))
                    answering.push_back(row);
            return static_cast<int>(answering.size()) == deviceCount;
        };
        bool allNamed = listed && TestSupport::waitUntil(look, 60s);
        double namedMs = msSince(start);
        const auto confirming = Clock::now();
        if (allNamed && !allAnswering()) {
            allNamed = TestSupport::waitUntil(allAnswering, 60s);
            namedMs = msSince(start);
        }
        std::printf("a full pass over the %d rows' names took %.0f ms\n", rows,
                    msSince(confirming));

        std::vector<double> serialMs;
        const HWND label = UiDriver::ServiceTool::currentSerialLabel(main);
        for (int i = 0; allNamed && label && i < selections; ++i) {
            const int row = answering[static_cast<std::size_t>(
                (static_cast<long long>(i) * 7919) % static_cast<long long>(answering.size()))];
            const std::string expected =
                "Current serial number: " +
                std::to_string(100000 + std::stoi(list.cell(row, 0).substr(7)));
            const auto clicked = Clock::now();
            list.select(row);
            if (!lookEveryMs([&] { return UiDriver::text(label) == expected; }, 5s))
                break;
            serialMs.push_back(msSince(clicked));
        }
        std::vector<double> successMs;
        for (int i = 0; allNamed && label && i < writes; ++i) {
            const int row =
                answering[static_cast<std::size_t>((static_cast<long long>(i) * 104729 + 1) %
                                                   static_cast<long long>(answering.size()))];
            const std::string number = std::to_string(900000 + i); // held by none
            const auto clicked = Clock::now();
            list.select(row);
            if (!lookEveryMs([&] { return UiDriver::text(label).find("...") == std::string::npos; },
                             5s))
                break;
            UiDriver::type(GetDlgItem(main, IDC_SERIAL_EDIT), number);
            UiDriver::click(main, IDC_SET_SERIAL);
            const HWND dialog =
                UiDriver::waitForWindow(self, "#32770", "Confirm serial number", 5000ms);
            if (!dialog)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(confirmMs)); // the person
            UiDriver::type(GetDlgItem(dialog, IDC_CONFIRM_EDIT), number);
            UiDriver::click(dialog, IDOK);
            const auto box = UiDriver::waitForMessageBox(self, 10s);
            if (!box || box->caption != "Success") {
                std::fprintf(stderr, "WindowScale: write %d ended in \"%s\"\n", i,
                             box ? box->text.c_str() : "no box");
                if (box)
                    UiDriver::click(box->window, IDOK);
                break;
            }
            successMs.push_back(msSince(clicked));
            UiDriver::click(box->window, IDOK);
            if (!UiDriver::waitGone(box->window, 5s) ||
                !lookEveryMs(
                    [&] { return UiDriver::text(label).find(number) != std::string::npos; }, 5s))
                break;
        }
        std::sort(successMs.begin(), successMs.end());
        if (writes > 0) {
            const auto share = [&](double at) {
                return successMs.empty()
                           ? -1.0
                           : successMs[static_cast<std::size_t>(at * (successMs.size() - 1))];
            };
            std::printf("selection to \"Success\", %zu writes: median %.1f ms, max %.1f ms\n",
                        successMs.size(), share(0.5), share(1.0));
            std::printf("summary WindowWrite devices=%d confirm_ms=%d success_median_ms=%.1f "
                        "success_max_ms=%.1f\n",
                        deviceCount, confirmMs, share(0.5), share(1.0));
            if (static_cast<int>(successMs.size()) != writes)
                status = 1;
        }
        std::sort(serialMs.begin(), serialMs.end());
        const auto at = [&](double share) {
            return serialMs.empty()
                       ? -1.0
                       : serialMs[static_cast<std::size_t>(share * (serialMs.size() - 1))];
        };
        if (simulator) {
            const VornSim::Counters counters = simulator->counters();
            std::printf("devices: %llu requests received, %llu replies sent\n",
                        static_cast<unsigned long long>(counters.requests),
                        static_cast<unsigned long long>(counters.replies));
        }
        std::printf("devices %d (and %d that never answer): all rows after %.0f ms%s, all names "
                    "after %.0f ms%s\n",
                    deviceCount, silent, listedMs,
                    listed ? "" : (" (NOT all: " + std::to_string(rowsListed) + " rows)").c_str(),
                    namedMs, allNamed ? "" : " (NOT all)");
        std::printf("selection to serial shown, %zu selections: median %.1f ms, max %.1f ms\n",
                    serialMs.size(), at(0.5), at(1.0));
        std::printf("summary WindowScale devices=%d silent=%d rows_ms=%.0f names_ms=%.0f "
                    "select_median_ms=%.1f select_max_ms=%.1f\n",
                    deviceCount, silent, listedMs, namedMs, at(0.5), at(1.0));
        if (!allNamed || static_cast<int>(serialMs.size()) != selections)
            status = 1;
        UiDriver::close(main);
    } else {
        status = 1;
    }
    windowThread.join();
    watching = false;
    watcher.join();
    return status != 0 ? status : (exitCode == 0 ? 0 : 1);
}

} // namespace

int main(int argc, char** argv) {
    int deviceCount = 1000, selections = 20, silent = 0, writes = 0, confirmMs = 0;
    bool simulatorInside = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--devices")
            deviceCount = std::atoi(argv[i + 1]);
        else if (name == "--selections")
            selections = std::atoi(argv[i + 1]);
        else if (name == "--silent")
            silent = std::atoi(argv[i + 1]);
        else if (name == "--writes")
            writes = std::atoi(argv[i + 1]);
        else if (name == "--confirm-ms")
            confirmMs = std::atoi(argv[i + 1]);
        else if (name == "--simulator" &&
                 (std::string(argv[i + 1]) == "in" || std::string(argv[i + 1]) == "outside"))
            simulatorInside = std::string(argv[i + 1]) == "in";
        else {
            std::fprintf(stderr, "usage: WindowScale [--devices N] [--selections K] [--silent M] "
                                 "[--writes W] [--confirm-ms C] [--simulator in|outside]\n");
            return 2;
        }
    }
    if (deviceCount <= 0 || selections < 0 || silent < 0 || writes < 0 || confirmMs < 0 ||
        argc % 2 == 0) {
        std::fprintf(stderr, "usage: WindowScale [--devices N] [--selections K] [--silent M] "
                             "[--writes W] [--confirm-ms C] [--simulator in|outside]\n");
        return 2;
    }
    if (const std::string problem = TestNamespace::problem(); !problem.empty()) {
        std::fprintf(stderr,
                     "WindowScale: refusing to run outside the test network "
                     "(scripts/netns.sh --veth): %s\n",
                     problem.c_str());
        return 2;
    }
    return run(deviceCount, selections, silent, writes, confirmMs, simulatorInside);
}
