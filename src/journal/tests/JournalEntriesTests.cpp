// Reading a journal back: intents joined with their outcomes, interrupted
// writes, and the lines that are skipped and named.

#include "JournalEntries.h"

#include <gtest/gtest.h>

namespace {

using namespace Journal;

std::string intentLine(const std::string& entry, const std::string& id, std::uint32_t target) {
    SerialIntent intent;
    intent.entry = entry;
    intent.device.id = id;
    intent.target = target;
    return formatRecord(intent);
}

std::string outcomeLine(const std::string& entry, WriteResult result,
                        std::optional<std::uint32_t> readBack) {
    SerialOutcome outcome;
    outcome.entry = entry;
    outcome.id = "whatever";
    outcome.result = result;
    outcome.acknowledged = result == WriteResult::Verified;
    outcome.readBack = readBack;
    return formatRecord(outcome);
}

TEST(JournalEntries, JoinsIntentsWithTheirOutcomesInIntentOrder) {
    const std::string text = intentLine("a", "00000001:00000001", 11) + "\n" +
                             intentLine("b", "00000001:00000002", 22) + "\n" +
                             outcomeLine("b", WriteResult::Refused, 2) + "\n" +
                             outcomeLine("a", WriteResult::Verified, 11) + "\r\n" +
                             intentLine("c", "00000001:00000003", 33) + "\n";
    const JournalReading reading = readEntries(text);
    EXPECT_TRUE(reading.skipped.empty());
    ASSERT_EQ(reading.entries.size(), 3u);
    EXPECT_EQ(reading.entries[0].intent.entry, "a");
    EXPECT_EQ(reading.entries[0].line, 1u);
    ASSERT_TRUE(reading.entries[0].outcome);
    EXPECT_EQ(reading.entries[0].outcome->readBack, 11u);
    EXPECT_STREQ(entryResultName(reading.entries[0]), "verified");
    EXPECT_EQ(reading.entries[1].intent.device.id, "00000001:00000002");
    EXPECT_STREQ(entryResultName(reading.entries[1]), "refused");
    EXPECT_EQ(reading.entries[2].line, 5u);
    EXPECT_FALSE(reading.entries[2].outcome);
    EXPECT_STREQ(entryResultName(reading.entries[2]), "interrupted");
}

TEST(JournalEntries, NamesDamagedAndTornLinesAndGoesOn) {
    const std::string torn = intentLine("t", "00000001:00000009", 9);
    const std::string text = "\n" +                                               // 1
                             intentLine("a", "00000001:00000001", 11) + "\n" +    // 2
                             "garbage\n" +                                        // 3
                             torn.substr(0, torn.size() / 2) + "\n" +             // 4 torn
                             intentLine("a", "00000001:00000007", 77) + "\n" +    // 5 again
                             outcomeLine("zz", WriteResult::Verified, 1) + "\n" + // 6 orphan
                             outcomeLine("a", WriteResult::NoAnswer, std::nullopt) + "\n" + // 7
                             outcomeLine("a", WriteResult::Verified, 11) + "\n" + // 8 second
                             intentLine("b", "00000001:00000002", 22) + "\n" +    // 9
                             std::string(12, '\0');                               // 10
    const JournalReading reading = readEntries(text);
    ASSERT_EQ(reading.entries.size(), 2u);
    EXPECT_STREQ(entryResultName(reading.entries[0]), "no-answer");
    EXPECT_EQ(reading.entries[0].intent.target, 11u);
    EXPECT_STREQ(entryResultName(reading.entries[1]), "interrupted");
    ASSERT_EQ(reading.skipped.size(), 6u);
    const std::size_t lines[] = {3, 4, 5, 6, 8, 10};
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(reading.skipped[i].line, lines[i]) << reading.skipped[i].reason;
    EXPECT_EQ(reading.skipped[0].reason, "not a journal record");
    EXPECT_EQ(reading.skipped[2].reason, "entry a began on line 2 already");
    EXPECT_EQ(reading.skipped[3].reason, "the outcome of entry zz, whose intent is missing");
    EXPECT_EQ(reading.skipped[4].reason, "a second outcome of entry a");
}

TEST(JournalEntries, EmptyJournalHasNoEntries) {
    const JournalReading reading = readEntries("");
    EXPECT_TRUE(reading.entries.empty());
    EXPECT_TRUE(reading.skipped.empty());
}

} // namespace
