// What a reporting box keeps on its disk and how it reads its journal: the
// session counted across runs, the acknowledged number, the device states,
// the password file refused when others may read it, and the journal's
// numbered records as they are appended, over a torn line and a rotation.

#include "BoxStateFolder.h"
#include "JournalTail.h"
#include "SerialJournal.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace {

using namespace Fleet;
using TestSupport::TemporaryFolder;

std::vector<std::uint64_t> numbers(const std::vector<OutgoingRecord>& records) {
    std::vector<std::uint64_t> out;
    for (const auto& record : records)
        out.push_back(record.sequence);
    return out;
}

TEST(BoxStateFolder, KeepsTheSessionTheAcknowledgementAndTheDevices) {
    const TemporaryFolder folder;
    {
        BoxStateFolder state(folder / "report");
        EXPECT_EQ(state.nextSession(), 1u);
        EXPECT_EQ(state.acknowledged(), 0u);
        state.saveAcknowledged(1837);
        DeviceState device{"00000100:00000001",
                           "Amp",
                           "Ondal 4",
                           "10.0.3.2",
                           7,
                           true,
                           "2026-12-01T08:00:00.000Z",
                           "2026-12-03T17:00:00.000Z"};
        state.saveDevices({{"0000010000000001", device}});
    }
    BoxStateFolder again(folder / "report");
    EXPECT_EQ(again.nextSession(), 2u);
    EXPECT_EQ(again.nextSession(), 3u);
    EXPECT_EQ(again.acknowledged(), 1837u);
    const auto devices = again.devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices.at("0000010000000001").serial, 7u);
    struct stat status {};
    ASSERT_EQ(::stat((folder / "report").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST(BoxStateFolder, APasswordFileOthersMayReadIsRefused) {
    const TemporaryFolder folder;
    const auto path = folder / "password";
    std::ofstream(path) << "s3cret\nsecond line\n";
    for (const auto mode : {0644, 0640, 0604}) {
        ::chmod(path.c_str(), static_cast<mode_t>(mode));
        try {
            readPasswordFile(path);
            ADD_FAILURE() << "mode " << std::oct << mode << " taken";
        } catch (const StateError& error) {
            EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos);
            EXPECT_NE(std::string(error.what()).find("chmod 600"), std::string::npos);
        }
    }
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(readPasswordFile(path), "s3cret");
    std::ofstream(path) << "\n";
    EXPECT_THROW(readPasswordFile(path), StateError);
    EXPECT_THROW(readPasswordFile(folder / "none"), StateError);
}

TEST(JournalTail, ReadsNumberedRecordsAsTheyComeOverATornLineAndARotation) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    JournalTail tail(path);
    EXPECT_TRUE(tail.read(0).empty()); // no journal yet
    Journal::SerialJournal journal(path, {"kim", "bench-1", "test", "127.0.0.1"});
    const Journal::DeviceFacts device{"00000100:00000001", "Left", "Ondal 4", "127.0.0.2"};
    const auto write = [&] {
        journal.recordOutcome(journal.recordIntent(device, 1, 2), device.id,
                              Journal::WriteResult::Verified, true, 2);
    };
    write();
    const auto first = tail.read(0);
    EXPECT_EQ(numbers(first), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_NE(first[0].payload.find("\"seq\":1}"), std::string::npos);
    EXPECT_TRUE(tail.read(2).empty()); // nothing new
    write();
    EXPECT_EQ(numbers(tail.read(2)), (std::vector<std::uint64_t>{3, 4}));
    {
        std::ofstream torn(path, std::ios::app);
        torn << R"({"time":"2026-12-07T14:05:09.042Z","event":"outcome")";
    }
    EXPECT_TRUE(tail.read(4).empty()); // not a whole line yet
    auto rotated = path;
    rotated += ".1";
    std::filesystem::rename(path, rotated);
    write(); // FILE.1 torn at its end; the new file goes on from 4
    EXPECT_EQ(numbers(tail.read(4)), (std::vector<std::uint64_t>{5, 6}));
    EXPECT_EQ(numbers(JournalTail(path).read(3)), (std::vector<std::uint64_t>{4, 5, 6}));
}

} // namespace
