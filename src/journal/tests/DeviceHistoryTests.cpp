// One device's history: its entries only, newest first, the last hundred, a
// torn last line passed over, read from the file each time.

#include "DeviceHistory.h"
#include "SerialJournal.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace Journal;
using TestSupport::TemporaryFolder;

const char* const deviceA = "0001e240:000012ab";
const char* const deviceB = "0001e240:000012ac";

std::string intentLine(const std::string& entry, const std::string& id, std::uint32_t target) {
    SerialIntent intent;
    intent.entry = entry;
    intent.device.id = id;
    intent.target = target;
    return formatRecord(intent) + "\n";
}

std::string outcomeLine(const std::string& entry, const std::string& id, WriteResult result) {
    SerialOutcome outcome;
    outcome.entry = entry;
    outcome.id = id;
    outcome.result = result;
    return formatRecord(outcome) + "\n";
}

std::vector<std::uint32_t> targets(const std::vector<JournalEntry>& entries) {
    std::vector<std::uint32_t> out;
    for (const JournalEntry& entry : entries)
        out.push_back(entry.intent.target);
    return out;
}

TEST(DeviceHistory, TheDevicesLastEntriesNewestFirstWithTheirOutcomes) {
    std::string text;
    for (std::uint32_t i = 1; i <= 150; ++i) {
        text += intentLine("a" + std::to_string(i), deviceA, i);
        text += intentLine("b" + std::to_string(i), deviceB, 1000 + i);
    }
    // Outcomes come later than their intents, out of order.
    text += outcomeLine("a150", deviceA, WriteResult::Verified);
    text += outcomeLine("a51", deviceA, WriteResult::Refused);
    text += outcomeLine("a50", deviceA, WriteResult::Verified);

    const auto history = deviceHistory(text, deviceA);
    ASSERT_EQ(history.size(), deviceHistoryLimit);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t i = 150; i > 50; --i)
        expected.push_back(i);
    EXPECT_EQ(targets(history), expected);
    EXPECT_STREQ(entryResultName(history.front()), "verified");
    EXPECT_STREQ(entryResultName(history.back()), "refused");
    EXPECT_STREQ(entryResultName(history[1]), "interrupted");

    EXPECT_EQ(targets(deviceHistory(text, deviceB, 3)),
              (std::vector<std::uint32_t>{1150, 1149, 1148}));
    EXPECT_EQ(targets(deviceHistory(text, "0001E240:000012AB", 2)),
              (std::vector<std::uint32_t>{150, 149}));
    EXPECT_TRUE(deviceHistory(text, "0001e240:000012ad").empty());
    EXPECT_TRUE(deviceHistory(text, deviceA, 0).empty());
    EXPECT_TRUE(deviceHistory("", deviceA).empty());
}

TEST(DeviceHistory, PassesOverATornLastLineAndDamagedLines) {
    const std::string whole = intentLine("a1", deviceA, 1) + "not a record\n" +
                              intentLine("a2", deviceA, 2) +
                              outcomeLine("a2", deviceA, WriteResult::Mismatch);
    // A record complete but for its line break is still torn: the power went
    // before the write ended.
    const std::string complete = intentLine("a3", deviceA, 3);
    EXPECT_EQ(targets(deviceHistory(whole + complete.substr(0, complete.size() - 1), deviceA)),
              (std::vector<std::uint32_t>{2, 1}));
    EXPECT_EQ(targets(deviceHistory(whole + complete.substr(0, 20), deviceA)),
              (std::vector<std::uint32_t>{2, 1}));
    EXPECT_EQ(targets(deviceHistory(whole + complete, deviceA)),
              (std::vector<std::uint32_t>{3, 2, 1}));
    // A torn outcome leaves its entry interrupted.
    const std::string outcome = outcomeLine("a3", deviceA, WriteResult::Verified);
    const auto torn = deviceHistory(whole + complete + outcome.substr(0, 30), deviceA);
    ASSERT_EQ(torn.size(), 3u);
    EXPECT_STREQ(entryResultName(torn[0]), "interrupted");
    EXPECT_STREQ(entryResultName(torn[1]), "mismatch");
    // A journal of one torn line has no entries.
    EXPECT_TRUE(deviceHistory(complete.substr(0, complete.size() - 1), deviceA).empty());
}

TEST(DeviceHistory, ReadsTheFileAfreshEachTime) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    EXPECT_TRUE(readDeviceHistory(path, deviceA).empty()); // no journal yet

    SerialJournal journal(path, Writer{"op", "host", "vornctl 1.0.0", "127.0.0.1"});
    DeviceFacts device;
    device.id = deviceA;
    device.name = "Monitor wedge 3";
    const std::string first = journal.recordIntent(device, 7, 8);
    journal.recordOutcome(first, deviceA, WriteResult::Verified, true, 8);
    auto history = readDeviceHistory(path, deviceA);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0].intent.old, 7u);
    EXPECT_EQ(history[0].intent.device.name, "Monitor wedge 3");
    EXPECT_EQ(history[0].intent.operatorName, "op");

    journal.recordIntent(device, 8, 9);
    history = readDeviceHistory(path, deviceA);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].intent.target, 9u);
    EXPECT_FALSE(history[0].outcome);
    EXPECT_EQ(history[1].outcome->readBack, 8u);
}

} // namespace
