// vornctl serial program end to end against simulated devices with faults:
// what the report and the exit status say, and what reached the devices. The
// devices listen on the wildcard address, so these cases run only in a
// network namespace of their own.

#include "CommandRun.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#ifdef VORNCTL_WITH_SIMULATOR
#include "OnSimulator.h"

namespace {

using VornctlTest::contains;
using VornctlTest::runCommand;

// A file in the system's temporary directory, removed with the object.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& text) {
        static std::atomic<unsigned> counter{0};
        path_ =
            std::filesystem::temp_directory_path() /
            ("vornctl-plan-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + std::to_string(counter++) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv");
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

class SerialProgramOnSimulator : public VornctlTest::OnSimulator {
protected:
    static constexpr std::uint64_t first = 0x0000020000000001ull;
    static constexpr std::uint64_t second = 0x0000020000000002ull;
    static constexpr std::uint64_t third = 0x0000020000000003ull;
    static constexpr std::uint64_t corvet = 0x0000020000000004ull;

    std::vector<VornSim::DeviceSetup> devices() const override {
        const std::uint64_t ids[] = {first, second, third, corvet};
        std::vector<VornSim::DeviceSetup> setups;
        for (std::size_t i = 0; i < 4; ++i)
            setups.push_back(VornSim::testDevice(
                ids[i], i == 3 ? 7 : static_cast<std::uint8_t>(10 + i),
                "rack-" + std::to_string(i + 1), "127.0.0." + std::to_string(2 + i),
                static_cast<std::uint32_t>(500 + i)));
        return setups;
    }
    VornSim::DeviceSimulator::EventSink events() override {
        return [this](const auto& e) {
            // The flag is set after simulator_: reading it true makes simulator_ safe to use.
            if (thirdLeavesOnRefusal_ && e.kind == VornSim::EventKind::WriteRefused &&
                e.device == first)
                simulator_->updateDeviceFaults(third, [](auto& f) { f.gone = true; });
        };
    }

    std::uint32_t serialOf(std::uint64_t id) { return simulator_->device(id)->setup.serial; }

    // The third device leaves when the first refuses a write.
    std::atomic<bool> thirdLeavesOnRefusal_{false};
};

TEST_F(SerialProgramOnSimulator, ABadFileIsReportedWholeAndNothingIsSent) {
    const TemporaryFile plan("ID,SERIAL\n"
                             "00000200:00000001,9001\n"
                             "00000200:00000002,90O2\n"
                             "00000200:00000001,9003\n"
                             "00000200:00000003,4294967296\n");
    const auto outcome = runCommand({"--interface", "127.0.0.1", "serial", "program", plan.path()});
    EXPECT_EQ(outcome.status, Vornctl::Exit::usage);
    EXPECT_TRUE(outcome.out.empty());
    EXPECT_EQ(outcome.err,
              "line 3: invalid serial number \"90O2\": expected an unsigned decimal number (0 to "
              "4294967295)\n"
              "line 4: device 00000200:00000001 is already listed on line 2\n"
              "line 5: serial number 4294967296 is out of range (0 to 4294967295)\n"
              "Error: " +
                  plan.path() + " has 3 bad lines; nothing was written.\n");
    // Not even the tool's presence went out: the network was never opened.
    EXPECT_EQ(simulator_->counters().datagrams, 0u);
    EXPECT_EQ(serialOf(first), 500u);

    const auto missing =
        runCommand({"--interface", "127.0.0.1", "serial", "program", plan.path() + ".missing"});
    EXPECT_EQ(missing.status, Vornctl::Exit::usage);
    EXPECT_TRUE(contains(missing.err, "cannot read")) << missing.err;
}

TEST_F(SerialProgramOnSimulator, WritesReadsBackAndSkipsWhatIsDoneOnARerun) {
    const TemporaryFile plan("# id,serial\n"
                             "00000200:00000001,7001\n"
                             "00000200:00000002,501\n" // holds it already
                             "00000200:00000003,4294967295\n");
    auto outcome = runCommand(
        {"--interface", "127.0.0.1", "serial", "program", plan.path(), "--dry-run", "--json"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_TRUE(contains(outcome.out, "{\"line\": 2, \"id\": \"00000200:00000001\", \"name\": "
                                      "\"rack-1\", \"old\": 500, \"new\": 7001, \"readBack\": "
                                      "null, \"result\": \"would-write\""))
        << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "\"old\": 501, \"new\": 501, \"readBack\": null, "
                                      "\"result\": \"already-set\""))
        << outcome.out;
    EXPECT_EQ(requests(first, 813) + requests(third, 813), 0u); // a dry run writes nothing
    EXPECT_EQ(serialOf(first), 500u);

    outcome = runCommand({"--interface", "127.0.0.1", "serial", "program", plan.path()});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_EQ(outcome.out,
              "Line  ID                 Name    Old  New         Result       Detail\n"
              "----  -----------------  ------  ---  ----------  -----------  "
              "--------------------------------------\n"
              "2     00000200:00000001  rack-1  500  7001        verified     written and read "
              "back\n"
              "3     00000200:00000002  rack-2  501  501         already-set  holds this number "
              "already; not written\n"
              "4     00000200:00000003  rack-3  502  4294967295  verified     written and read "
              "back\n");
    EXPECT_TRUE(contains(outcome.err, "3 of 3 devices hold their serial number")) << outcome.err;
    EXPECT_EQ(serialOf(first), 7001u);
    EXPECT_EQ(serialOf(second), 501u);
    EXPECT_EQ(serialOf(third), 4294967295u);
    EXPECT_EQ(requests(second, 813), 0u);
    EXPECT_EQ(requests(first, 813), 1u);

    // Repeated: everything is in place, nothing is written again.
    outcome = runCommand({"--interface", "127.0.0.1", "serial", "program", plan.path()});
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_EQ(requests(first, 813) + requests(third, 813), 2u);
    EXPECT_FALSE(contains(outcome.out, "verified")) << outcome.out;
}

TEST_F(SerialProgramOnSimulator, FaultsAreReportedAsTheyHappened) {
    // The first device refuses the write; the second loses its first
    // acknowledgement (the tool's retry is answered); the third leaves the
    // network while the first is written; the fourth is another product; the
    // fifth is not there at all.
    ASSERT_TRUE(simulator_->updateDeviceFaults(first, [](auto& f) { f.refuseWrites = true; }));
    ASSERT_TRUE(simulator_->loseReplies(second, 1, 2));
    thirdLeavesOnRefusal_ = true;
    const TemporaryFile plan("00000200:00000001,11\n"
                             "00000200:00000002,22\n"
                             "00000200:00000003,33\n"
                             "00000200:00000004,44\n"
                             "00000200:00000099,99\n");
    const auto outcome = runCommand(
        {"--interface", "127.0.0.1", "serial", "program", plan.path(), "--wait", "1", "--json"});
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    const char* expected[] = {
        "{\"line\": 1, \"id\": \"00000200:00000001\", \"name\": \"rack-1\", \"old\": 500, "
        "\"new\": 11, \"readBack\": 500, \"result\": \"refused\", \"detail\": \"the device did not "
        "take the number\"}",
        "{\"line\": 2, \"id\": \"00000200:00000002\", \"name\": \"rack-2\", \"old\": 501, "
        "\"new\": 22, \"readBack\": 22, \"result\": \"verified\", \"detail\": \"written and read "
        "back\"}",
        "{\"line\": 3, \"id\": \"00000200:00000003\", \"name\": null, \"old\": null, \"new\": 33, "
        "\"readBack\": null, \"result\": \"no-answer\", \"detail\": \"no answer to the serial "
        "number read; not written\"}",
        "{\"line\": 4, \"id\": \"00000200:00000004\", \"name\": null, \"old\": null, \"new\": 44, "
        "\"readBack\": null, \"result\": \"not-serviced\", \"detail\": \"a Corvet (type code 7); "
        "--all acts on it anyway\"}",
        "{\"line\": 5, \"id\": \"00000200:00000099\", \"name\": null, \"old\": null, \"new\": 99, "
        "\"readBack\": null, \"result\": \"not-found\", \"detail\": \"did not appear on the "
        "network\"}",
    };
    for (const char* row : expected)
        EXPECT_TRUE(contains(outcome.out, row)) << row << "\nin\n" << outcome.out;
    EXPECT_TRUE(contains(outcome.err, "[1/5] 00000200:00000001 refused\n"
                                      "[2/5] 00000200:00000002 verified\n"
                                      "[3/5] 00000200:00000003 no-answer\n"
                                      "[4/5] 00000200:00000004 not-serviced\n"
                                      "[5/5] 00000200:00000099 not-found\n"
                                      "1 of 5 devices hold their serial number"))
        << outcome.err;

    EXPECT_EQ(serialOf(first), 500u);
    EXPECT_EQ(serialOf(second), 22u);
    EXPECT_EQ(requests(second, 813), 2u); // the retry after the lost acknowledgement
    EXPECT_EQ(serialOf(third), 502u);
    EXPECT_EQ(requests(third, 813), 0u);
    EXPECT_EQ(requests(corvet, 814) + requests(corvet, 102), 0u);
}

} // namespace

#endif
