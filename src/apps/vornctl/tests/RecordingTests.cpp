// Serial writes of vornctl recorded in the journal, against simulated devices:
// the intent on the disk before the write datagram leaves, the outcome after
// the read-back, nothing sent without a record, and serial program recording
// only what it writes. The devices listen on the wildcard address, so these
// cases run only in a network namespace of their own: on loopback, or under
// Wine (whose adapter list never shows loopback) on the namespace's veth pair.

#include "CommandRun.h"
#include "JournalEntries.h"
#include "JournalFile.h"
#include "Texts.h"

#include "TemporaryFolder.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#ifdef VORNCTL_WITH_SIMULATOR
#include "OnSimulator.h"

namespace {

using VornctlTest::contains;
using VornctlTest::runCommand;

constexpr std::uint16_t writeCommand = 813; // SetBoardID

// Where vornctl listens and the two devices answer from.
#ifdef _WIN32
constexpr const char* toolAddress = "192.0.2.1";
constexpr const char* deviceAddresses[] = {"192.0.2.2", "192.0.2.2"};
#else
constexpr const char* toolAddress = "127.0.0.1";
constexpr const char* deviceAddresses[] = {"127.0.0.2", "127.0.0.3"};
#endif

class RecordingOnSimulator : public VornctlTest::OnSimulator {
protected:
    static constexpr std::uint64_t first = 0x0000060000000001ull;
    static constexpr std::uint64_t second = 0x0000060000000002ull;

    // Under Wine on the veth pair, which the adapter list shows.
    bool needsLoopback() const override { return false; }
    std::vector<VornSim::DeviceSetup> devices() const override {
        return {VornSim::testDevice(first, 12, "rack-1", deviceAddresses[0], 700),
                VornSim::testDevice(second, 12, "rack-2", deviceAddresses[1], 701)};
    }
    VornSim::DeviceSimulator::EventSink events() override {
        return [this](const auto& e) {
            // What the journal held when each write datagram arrived.
            if (e.kind == VornSim::EventKind::Request && e.command == writeCommand) {
                const std::string text = Journal::JournalFile::read(journal_);
                const std::lock_guard lock(mutex_);
                atWrite_.push_back(text);
            }
        };
    }

    Journal::JournalReading reading() const {
        return Journal::readEntries(Journal::JournalFile::read(journal_));
    }
    std::vector<std::string> journalsAtWrites() {
        const std::lock_guard lock(mutex_);
        return atWrite_;
    }
    std::uint64_t writes(std::uint64_t id) { return requests(id, writeCommand); }

    TestSupport::TemporaryFolder folder_;
    const std::filesystem::path journal_ = folder_ / "journal.jsonl";
    // The simulator's thread uses them until TearDown.
    std::mutex mutex_;
    std::vector<std::string> atWrite_; // guarded by mutex_
};

TEST_F(RecordingOnSimulator, SerialSetRecordsIntentBeforeTheWriteAndOutcomeAfterTheReadBack) {
    const auto outcome = runCommand(
        {"--interface", toolAddress, "serial", "set", "00000600:00000001", "4294967295", "--yes"},
        "", journal_.string());
    ASSERT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;

    // The write datagram found the intent on the disk, and no outcome yet.
    const auto atWrites = journalsAtWrites();
    ASSERT_EQ(atWrites.size(), 1u);
    const auto before = Journal::readEntries(atWrites[0]);
    ASSERT_EQ(before.entries.size(), 1u);
    EXPECT_FALSE(before.entries[0].outcome);

    const auto after = reading();
    EXPECT_TRUE(after.skipped.empty());
    ASSERT_EQ(after.entries.size(), 1u);
    const Journal::JournalEntry& entry = after.entries[0];
    EXPECT_EQ(entry.intent.entry, before.entries[0].intent.entry);
    EXPECT_EQ(entry.intent.device.id, "00000600:00000001");
    EXPECT_EQ(entry.intent.device.name, "rack-1");
    EXPECT_EQ(entry.intent.device.product, "Ondal 4");
    EXPECT_EQ(entry.intent.device.address, deviceAddresses[0]);
    EXPECT_EQ(entry.intent.interfaceAddress, toolAddress);
    EXPECT_EQ(entry.intent.tool.rfind("vornctl ", 0), 0u) << entry.intent.tool;
    EXPECT_FALSE(entry.intent.operatorName.empty());
    EXPECT_EQ(entry.intent.old, 700u);
    EXPECT_EQ(entry.intent.target, 4294967295u);
    ASSERT_TRUE(entry.outcome);
    EXPECT_EQ(entry.outcome->result, Journal::WriteResult::Verified);
    EXPECT_TRUE(entry.outcome->acknowledged);
    EXPECT_EQ(entry.outcome->readBack, 4294967295u);
    EXPECT_LE(entry.intent.time, entry.outcome->time);
}

TEST_F(RecordingOnSimulator, RefusedWriteIsRecordedAsRefused) {
    VornSim::Faults refuse;
    refuse.refuseWrites = true;
    simulator_->setFaults(refuse);
    const auto outcome = runCommand({"--interface", toolAddress, "--operator", "Kim", "serial",
                                     "set", "00000600:00000002", "9", "--yes"},
                                    "", journal_.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    const auto after = reading();
    ASSERT_EQ(after.entries.size(), 1u);
    EXPECT_EQ(after.entries[0].intent.operatorName, "Kim");
    ASSERT_TRUE(after.entries[0].outcome);
    EXPECT_EQ(after.entries[0].outcome->result, Journal::WriteResult::Refused);
    EXPECT_FALSE(after.entries[0].outcome->acknowledged);
    EXPECT_EQ(after.entries[0].outcome->readBack, 701u);
}

TEST_F(RecordingOnSimulator, JournalThatCannotBeWrittenSendsNothing) {
    std::ofstream(folder_ / "plain") << "a file, not a folder";
    const auto unwritable = (folder_ / "plain" / "journal.jsonl").string();
    const auto outcome =
        runCommand({"--interface", toolAddress, "serial", "set", "00000600:00000001", "5", "--yes"},
                   "", unwritable);
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    EXPECT_TRUE(contains(outcome.err,
                         "Error: cannot create the folder of the journal " + unwritable + ": "))
        << outcome.err;
    EXPECT_TRUE(contains(outcome.err, "nothing was written")) << outcome.err;
    EXPECT_EQ(writes(first), 0u);
    // Not even the tool's presence: the network was never opened.
    EXPECT_EQ(simulator_->counters().datagrams, 0u);

    const auto file = folder_ / "program.csv";
    std::ofstream(file) << "00000600:00000001,5\n";
    const auto program = runCommand(
        {"--interface", toolAddress, "serial", "program", file.string()}, "", unwritable);
    EXPECT_EQ(program.status, Vornctl::Exit::failed);
    EXPECT_TRUE(contains(program.err, unwritable)) << program.err;
    EXPECT_EQ(writes(first), 0u);
    EXPECT_EQ(simulator_->device(first)->setup.serial, 700u);

#ifndef _WIN32
    // A journal that opens but takes no line (a full disk): the device's
    // number is read, the intent fails, the write is not sent.
    const auto full =
        runCommand({"--interface", toolAddress, "serial", "set", "00000600:00000001", "5", "--yes"},
                   "", "/dev/full");
    EXPECT_EQ(full.status, Vornctl::Exit::failed);
    EXPECT_TRUE(contains(full.err, "Error: cannot write the journal /dev/full: ")) << full.err;
    EXPECT_TRUE(contains(full.err, "no further write was sent")) << full.err;
    EXPECT_EQ(writes(first), 0u);
    EXPECT_EQ(simulator_->device(first)->setup.serial, 700u);
#endif
}

TEST_F(RecordingOnSimulator, SerialProgramRecordsOnlyWhatItWrites) {
    const auto file = folder_ / "program.csv";
    std::ofstream(file) << "00000600:00000001,7100\n"
                           "00000600:00000002,701\n"   // holds it already
                           "00000600:00000009,7109\n"; // not on the network
    auto outcome = runCommand({"--interface", toolAddress, "serial", "program", file.string(),
                               "--dry-run", "--wait", "1"},
                              "", journal_.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed) << outcome.err;
    EXPECT_FALSE(std::filesystem::exists(journal_)); // a dry run opens no journal

    outcome =
        runCommand({"--interface", toolAddress, "serial", "program", file.string(), "--wait", "1"},
                   "", journal_.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed) << outcome.err; // one not found
    const auto after = reading();
    EXPECT_TRUE(after.skipped.empty());
    ASSERT_EQ(after.entries.size(), 1u);
    EXPECT_EQ(after.entries[0].intent.device.id, "00000600:00000001");
    EXPECT_EQ(after.entries[0].intent.old, 700u);
    EXPECT_EQ(after.entries[0].intent.target, 7100u);
    ASSERT_TRUE(after.entries[0].outcome);
    EXPECT_EQ(after.entries[0].outcome->result, Journal::WriteResult::Verified);
    EXPECT_EQ(journalsAtWrites().size(), 1u);
}

TEST_F(RecordingOnSimulator, NumberHeldByAnotherDeviceIsRefusedUnlessAllowed) {
    auto outcome = runCommand(
        {"--interface", toolAddress, "serial", "set", "00000600:00000001", "701", "--yes"}, "",
        journal_.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::usage);
    EXPECT_TRUE(contains(outcome.err, "Error: serial number 701 is held by device "
                                      "00000600:00000002 (rack-2); nothing was written."))
        << outcome.err;
    EXPECT_EQ(writes(first), 0u);
    EXPECT_TRUE(reading().entries.empty()); // nothing to record

    outcome = runCommand({"--interface", toolAddress, "serial", "set", "00000600:00000001", "701",
                          "--yes", "--allow-duplicate"},
                         "", journal_.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_EQ(simulator_->device(first)->setup.serial, 701u);
    EXPECT_EQ(reading().entries.size(), 1u);
}

TEST_F(RecordingOnSimulator, DeviceThatDoesNotAnswerTheCheckIsNamedAndNotWaitedFor) {
    // The second device's serial number replies are lost from now on.
    ASSERT_TRUE(simulator_->loseReplies(second, 1000, writeCommand));
    const auto started = std::chrono::steady_clock::now();
    const auto outcome = runCommand(
        {"--interface", toolAddress, "serial", "set", "00000600:00000001", "702", "--yes"}, "",
        journal_.string());
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(outcome.status, Vornctl::Exit::success) << outcome.err;
    EXPECT_TRUE(contains(outcome.err, "Warning: 00000600:00000002 did not answer within 2 s"))
        << outcome.err;
    EXPECT_EQ(simulator_->device(first)->setup.serial, 702u);
    // The engine would try the silent device for about 8 s.
    EXPECT_LT(took, std::chrono::seconds(7));
}

TEST_F(RecordingOnSimulator, AnAcknowledgedWriteTheDeviceDidNotKeepIsAMismatch) {
    simulator_->updateDeviceFaults(first, [](VornSim::Faults& f) { f.keepSerial = true; });
    const auto outcome = runCommand(
        {"--interface", toolAddress, "serial", "set", "00000600:00000001", "4242", "--yes"}, "",
        journal_.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    EXPECT_TRUE(contains(outcome.err, "the device reports serial number 700 after writing 4242"))
        << outcome.err;
    const auto after = reading();
    ASSERT_EQ(after.entries.size(), 1u);
    ASSERT_TRUE(after.entries[0].outcome);
    EXPECT_EQ(after.entries[0].outcome->result, Journal::WriteResult::Mismatch);
    EXPECT_TRUE(after.entries[0].outcome->acknowledged);
    EXPECT_EQ(after.entries[0].outcome->readBack, 700u);
}

TEST_F(RecordingOnSimulator, AWriteWhoseReadBackIsNeverAnsweredIsUnverified) {
    simulator_->updateDeviceFaults(second, [](VornSim::Faults& f) { f.muteAfterWrite = true; });
    const auto outcome = runCommand(
        {"--interface", toolAddress, "serial", "set", "00000600:00000002", "4343", "--yes"}, "",
        journal_.string());
    EXPECT_EQ(outcome.status, Vornctl::Exit::failed);
    EXPECT_TRUE(contains(outcome.err, Text::serialReadFailed)) << outcome.err;
    EXPECT_EQ(simulator_->device(second)->setup.serial, 4343u); // the device did take it
    const auto after = reading();
    ASSERT_EQ(after.entries.size(), 1u);
    ASSERT_TRUE(after.entries[0].outcome);
    EXPECT_EQ(after.entries[0].outcome->result, Journal::WriteResult::Unverified);
    EXPECT_TRUE(after.entries[0].outcome->acknowledged);
    EXPECT_FALSE(after.entries[0].outcome->readBack);
}

} // namespace

#endif
