// The commands run in process against simulated devices. The devices listen on
// the wildcard address at the device port, so these cases run only in a
// network namespace of their own (unshare --net with loopback up).

#include "CommandRun.h"
#include "Exception.h"

#include "TemporaryFolder.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#ifdef VORNCTL_WITH_SIMULATOR
#include "OnSimulator.h"
#include "Options.h" // vornsim's generated devices
#endif

namespace {

using VornctlTest::contains;
using VornctlTest::runCommand;

TEST(VornctlCommands, UnknownInterfaceIsRefusedBeforeAnySocketOpens) {
    const std::string unknown = "203.0.113.254";
    try {
        Network::Enumerator adapters;
        for (unsigned i = 0; i < adapters.adapterCount(); ++i)
            if (adapters.adapterAt(i).ipAddress == unknown)
                VORN_CANNOT_RUN(unknown + " belongs to an adapter here");
    } catch (const Network::FailedToEnumerateNetworkException&) {
        VORN_CANNOT_RUN("no network adapter is listed");
    }
    const auto outcome = runCommand({"--interface", unknown, "list"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::usage);
    EXPECT_TRUE(contains(outcome.err, "Error: Invalid network interface selected")) << outcome.err;
    EXPECT_TRUE(outcome.out.empty());

    const auto wildcard =
        runCommand({"--interface", "0.0.0.0", "serial", "get", "00000001:00000002"});
    EXPECT_EQ(wildcard.status, Vornctl::Exit::usage);
}

#ifdef VORNCTL_WITH_SIMULATOR

class VornctlOnSimulator : public VornctlTest::OnSimulator {
protected:
    static constexpr std::uint64_t ondal = 0x0000010000000001ull;
    static constexpr std::uint64_t corvet = 0x0001E240000012ABull;

    std::vector<VornSim::DeviceSetup> devices() const override {
        return {VornSim::testDevice(ondal, 12, "Stage \"left\"", "127.0.0.2", 100001),
                VornSim::testDevice(corvet, 7, "Amp rack", "127.0.0.3", 55)};
    }
};

TEST_F(VornctlOnSimulator, ListShowsServicedProductsUnlessAll) {
    auto outcome = runCommand({"--interface", "127.0.0.1", "list", "--wait", "0.5"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_EQ(outcome.out, "ID                 Name          Product  Address    Mode\n"
                           "-----------------  ------------  -------  ---------  ----\n"
                           "00000100:00000001  Stage \"left\"  Ondal 4  127.0.0.2  0\n");
    EXPECT_TRUE(contains(outcome.err, "Discovering devices on 127.0.0.1: 2 found")) << outcome.err;

    outcome = runCommand({"--interface", "127.0.0.1", "list", "--wait", "0.5", "--all", "--json"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success);
    EXPECT_TRUE(contains(outcome.out, "\"name\": \"Stage \\\"left\\\"\"")) << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "{\"id\": \"0001e240:000012ab\", \"name\": \"Amp rack\", "
                                      "\"product\": \"Corvet\", \"type\": 7, \"address\": "
                                      "\"127.0.0.3\", \"mode\": 0}"))
        << outcome.out;
}

TEST_F(VornctlOnSimulator, ListAsCsv) {
    const auto outcome =
        runCommand({"--interface", "127.0.0.1", "list", "--wait", "0.5", "--all", "--csv"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_EQ(outcome.out, "id,name,product,type,address,mode\n"
                           "00000100:00000001,\"Stage \"\"left\"\"\",Ondal 4,12,127.0.0.2,0\n"
                           "0001e240:000012ab,Amp rack,Corvet,7,127.0.0.3,0\n");
}

TEST_F(VornctlOnSimulator, SerialReadWriteAndConfirmation) {
    auto outcome = runCommand({"--interface", "127.0.0.1", "serial", "get", "00000100:00000001"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_EQ(outcome.out, "Current serial number: 100001\n");

    // A second entry that differs: nothing is sent, and no journal file is
    // left behind where there was none.
    const TestSupport::TemporaryFolder folder;
    const auto journal = folder / "journal.jsonl";
    outcome = runCommand({"--interface", "127.0.0.1", "serial", "set", "00000100:00000001", "1234"},
                         "1235\n", journal.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::usage);
    EXPECT_FALSE(std::filesystem::exists(journal)) << "an empty journal left behind";
    EXPECT_TRUE(contains(outcome.err, "ERROR: The entered serial number does not match the first "
                                      "serial number given."))
        << outcome.err;
    EXPECT_EQ(requests(ondal, 813), 0u);

    // No second entry at all: nothing is sent either.
    outcome =
        runCommand({"--interface", "127.0.0.1", "serial", "set", "00000100:00000001", "1234"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::usage);
    EXPECT_EQ(requests(ondal, 813), 0u);

    // Leading zeros name the same number.
    outcome = runCommand({"--interface", "127.0.0.1", "serial", "set", "00000100:00000001", "1234"},
                         " 01234\n");
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_EQ(outcome.out, "Serial number successfully changed.\nCurrent serial number: 1234\n");
    EXPECT_EQ(simulator_->device(ondal)->setup.serial, 1234u);

    outcome = runCommand(
        {"--interface", "127.0.0.1", "serial", "set", "00000100:00000001", "4294967295", "--yes"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    // Shown as the window shows it: "%d" of the 32 bits.
    EXPECT_EQ(outcome.out, "Serial number successfully changed.\nCurrent serial number: -1\n");
    EXPECT_EQ(simulator_->device(ondal)->setup.serial, 4294967295u);
}

TEST_F(VornctlOnSimulator, RefusalsAndUnknownDevices) {
    VornSim::Faults refuse;
    refuse.refuseWrites = true;
    simulator_->setFaults(refuse);
    auto outcome = runCommand(
        {"--interface", "127.0.0.1", "serial", "set", "00000100:00000001", "5", "--yes"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    EXPECT_EQ(outcome.err, "Error: Could not set serial number, a communication error occurred.\n");
    EXPECT_EQ(simulator_->device(ondal)->setup.serial, 100001u);

    // Another product is left alone unless asked for with --all.
    outcome = runCommand({"--interface", "127.0.0.1", "serial", "get", "0001e240:000012ab"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    EXPECT_TRUE(contains(outcome.err, "Corvet (type code 7)")) << outcome.err;
    EXPECT_EQ(requests(corvet, 814), 0u);
    outcome =
        runCommand({"--interface", "127.0.0.1", "serial", "get", "0001e240:000012ab", "--all"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success);
    EXPECT_EQ(outcome.out, "Current serial number: 55\n");

    outcome =
        runCommand({"--interface", "127.0.0.1", "select", "12345678:9abcdef0", "--wait", "0.3"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    EXPECT_EQ(outcome.err, "Error: device 12345678:9abcdef0 did not appear on 127.0.0.1 within "
                           "0.3 s.\n");
}

TEST_F(VornctlOnSimulator, SelectAndDeselectReachTheDevice) {
    auto outcome = runCommand({"--interface", "127.0.0.1", "select", "00000100:00000001"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success);
    ASSERT_TRUE(simulator_->waitUntil(
        [&] { return simulator_->device(ondal)->selectMark == std::uint16_t{0xFFFF}; },
        std::chrono::seconds(3)));
    outcome = runCommand({"--interface", "127.0.0.1", "deselect", "00000100:00000001"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success);
    EXPECT_EQ(outcome.out, "Deselect request sent to device 00000100:00000001.\n");
    ASSERT_TRUE(simulator_->waitUntil(
        [&] { return simulator_->device(ondal)->selectMark == std::uint16_t{0}; },
        std::chrono::seconds(3)));
}

// A segment larger than the tool's former flood guard (4096): every device is
// listed and named. Generous waits; the counts are what is checked.
class VornctlOnLargeSegment : public VornctlTest::OnSimulator {
protected:
    static constexpr std::size_t segment = 10000;
    std::vector<VornSim::DeviceSetup> devices() const override {
        return VornSim::generateDevices(segment, 0x0000010000000001ull, "127.0.0.2", 200);
    }
    std::chrono::milliseconds presenceInterval() const override {
        return std::chrono::milliseconds(1000);
    }
};

TEST_F(VornctlOnLargeSegment, ListListsAndNamesEveryDevice) {
    const auto outcome = runCommand({"--interface", "127.0.0.1", "list", "--wait", "10", "--csv"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_TRUE(contains(outcome.err, "10000 found")) << outcome.err;
    std::istringstream lines(outcome.out);
    std::string line;
    std::getline(lines, line); // the header
    std::size_t listed = 0, named = 0;
    while (std::getline(lines, line)) {
        ++listed;
        named += contains(line, ",sim-") ? 1 : 0;
    }
    EXPECT_EQ(listed, segment);
    EXPECT_EQ(named, segment);
}

#endif

} // namespace
