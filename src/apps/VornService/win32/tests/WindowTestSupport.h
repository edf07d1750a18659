#pragma once

#include "DeviceSimulator.h"
#include "MainWindow.h"
#include "Program.h"
#include "Resource.h"
#include "SimulatedDevices.h"
#include "TestSupport.h"
#include "UiDriver.h"
#include "transport/Enumerator.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// What the window tests share: the test network, the simulated devices, the
// program run in this process or as its own, and the user's steps.
namespace WindowTest {

using namespace std::chrono_literals;

// The tool's and the devices' ends of the test network's veth pair.
inline constexpr const char* toolAddress = "192.0.2.1";
inline constexpr const char* deviceAddress = "192.0.2.2";

// A device on the devices' end of the pair.
inline VornSim::DeviceSetup device(std::uint64_t id, std::uint8_t type, std::string name,
                                   std::uint32_t serial) {
    return VornSim::testDevice(id, type, std::move(name), deviceAddress, serial);
}

// Simulated devices on the devices' end of the pair.
inline std::unique_ptr<VornSim::DeviceSimulator>
simulate(std::vector<VornSim::DeviceSetup> devices) {
    VornSim::SimulatorConfig config;
    config.devices = std::move(devices);
    config.presenceInterval = 200ms; // answers a new tool within a fraction of a second
    return std::make_unique<VornSim::DeviceSimulator>(config);
}

inline std::uint64_t requestsOf(const VornSim::DeviceSimulator& simulator, std::uint64_t id,
                                std::uint16_t command) {
    const auto report = simulator.device(id);
    if (!report)
        return 0;
    const auto count = report->requestCounts.find(command);
    return count == report->requestCounts.end() ? 0 : count->second;
}

// The program, run on a thread of this process that becomes its window thread.
class ProgramThread {
public:
    explicit ProgramThread(std::function<void(MainWindow&)> prepare = {})
        : thread_([this, prepare] {
              exitCode_ = runProgram(GetModuleHandleA(nullptr), SW_SHOWNORMAL, prepare);
              finished_ = true;
          }) {}
    ~ProgramThread() {
        if (!finished_)
            if (const HWND window = UiDriver::findWindow(processId(), "VORNSERVICE"))
                PostMessageA(window, WM_COMMAND, IDM_EXIT, 0);
        thread_.join();
    }
    ProgramThread(const ProgramThread&) = delete;
    ProgramThread& operator=(const ProgramThread&) = delete;

    static DWORD processId() { return GetCurrentProcessId(); }
    std::optional<int> waitExit(std::chrono::milliseconds timeout) {
        if (!TestSupport::waitUntil([this] { return finished_.load(); }, timeout))
            return std::nullopt;
        return exitCode_.load();
    }

private:
    std::atomic<bool> finished_{false};
    std::atomic<int> exitCode_{0};
    std::thread thread_;
};

// The real program, VornService.exe beside the test executable.
std::string programPath();

// The user's steps.
// Picks the adapter with `address` in the network dialog and presses OK.
void chooseNetwork(DWORD processId, const std::string& address);
// The main window once it is up, or null.
HWND mainWindow(DWORD processId);
// Closes the one open message box after checking it shows `caption` and
// `text`.
void acknowledgeBox(DWORD processId, const std::string& caption, const std::string& text);
// The current-serial label.
HWND currentSerialLabel(HWND mainWindow);
// The current-serial label's text.
std::string currentSerial(HWND mainWindow);
// Waits until the label reads `expected`.
void expectCurrentSerial(HWND mainWindow, const std::string& expected);

} // namespace WindowTest
