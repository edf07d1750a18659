#pragma once

// The fixture of the tests that run vornctl against simulated devices.

#include "CommandRun.h"
#include "DeviceSimulator.h"
#include "SimulatedDevices.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace VornctlTest {

// Simulated devices of the test case's own, announcing themselves five times
// a second. A test case runs only inside the test network of its run.
class OnSimulator : public ::testing::Test {
protected:
    // The test case's devices, and what it does with the simulator's events
    // (on the simulator's threads, until TearDown).
    virtual std::vector<VornSim::DeviceSetup> devices() const = 0;
    virtual VornSim::DeviceSimulator::EventSink events() { return {}; }
    // Whether vornctl listens on 127.0.0.1, which Wine's adapter list never
    // shows: the case is skipped there.
    virtual bool needsLoopback() const { return true; }
    // How often each device announces itself.
    virtual std::chrono::milliseconds presenceInterval() const {
        return std::chrono::milliseconds(200);
    }

    void SetUp() override {
        VORN_REQUIRE_TEST_NAMESPACE();
        if (needsLoopback() && !loopbackIsListed())
            GTEST_SKIP() << "127.0.0.1 is not in this system's adapter list (as under Wine)";
        VornSim::SimulatorConfig config;
        config.presenceInterval = presenceInterval();
        config.devices = devices();
        simulator_ = std::make_unique<VornSim::DeviceSimulator>(std::move(config), events());
    }
    // The simulator stops before the derived fixture's members go: its
    // threads may use them until then.
    void TearDown() override { simulator_.reset(); }

    // How many requests with `command` the device has received.
    std::uint64_t requests(std::uint64_t id, std::uint16_t command) const {
        const auto report = simulator_->device(id);
        const auto found = report->requestCounts.find(command);
        return found == report->requestCounts.end() ? 0 : found->second;
    }

    std::unique_ptr<VornSim::DeviceSimulator> simulator_;
};

} // namespace VornctlTest
