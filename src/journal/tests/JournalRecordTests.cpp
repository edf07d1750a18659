// The journal's records: the exact line written, reading it back, what is not
// a record, and the result of a write.

#include "JournalRecord.h"
#include "JournalTime.h"

#include <gtest/gtest.h>

namespace {

using namespace Journal;
using namespace std::chrono_literals;

SerialIntent sampleIntent() {
    SerialIntent intent;
    intent.time = SystemTime{} + 1796652309042ms; // 2026-12-07T14:05:09.042Z
    intent.entry = "0123456789abcdef0123456789abcdef";
    intent.operatorName = "tech";
    intent.host = "bench-1";
    intent.tool = "vornctl 1.0.0";
    intent.interfaceAddress = "127.0.0.1";
    intent.device = {"00000100:00000001", "Stage \"left\"", "Ondal 4", "127.0.0.2"};
    intent.old = 100001;
    intent.target = 4294967295u;
    return intent;
}

TEST(JournalTime, FormatsUtcWithMillisecondsAndReadsWhatUsersWrite) {
    EXPECT_EQ(formatUtc(SystemTime{} + 1796652309042ms), "2026-12-07T14:05:09.042Z");
    EXPECT_EQ(formatUtc(SystemTime{}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(formatUtc(SystemTime{} + 951782400000ms), "2000-02-29T00:00:00.000Z");

    const SystemTime exact = SystemTime{} + 1796652309042ms;
    EXPECT_EQ(parseUtc("2026-12-07T14:05:09.042Z"), exact);
    EXPECT_EQ(parseUtc("2026-12-07 14:05:09.042"), exact);
    EXPECT_EQ(parseUtc("2026-12-07T14:05:09.04Z"), exact - 2ms);
    EXPECT_EQ(parseUtc("2026-12-07T14:05:09"), exact - 42ms);
    EXPECT_EQ(parseUtc("2026-12-07T14:05"), exact - 9042ms);
    EXPECT_EQ(parseUtc("2026-12-07"), exact - (14h + 5min + 9042ms));
    for (const char* bad : {"", "2026-12-7", "2026-13-01", "2026-02-30", "2026-12-07T24:00",
                            "2026-12-07T14:05:09+01:00", "2026-12-07T14", "2026-12-07T14:05:09.",
                            "2026-12-07Z1", "yesterday", "4052-12-07T14:05:09.042Z", "1969-12-31"})
        EXPECT_FALSE(parseUtc(bad)) << bad;
}

TEST(JournalRecord, IntentAndOutcomeAreTheseLines) {
    EXPECT_EQ(formatRecord(sampleIntent()),
              R"({"time":"2026-12-07T14:05:09.042Z","event":"intent",)"
              R"("entry":"0123456789abcdef0123456789abcdef","operator":"tech","host":"bench-1",)"
              R"("tool":"vornctl 1.0.0","interface":"127.0.0.1","id":"00000100:00000001",)"
              R"("name":"Stage \"left\"","product":"Ondal 4","address":"127.0.0.2",)"
              R"("old":100001,"new":4294967295})");

    SerialOutcome outcome;
    outcome.time = SystemTime{} + 1796652309542ms;
    outcome.entry = "e1";
    outcome.id = "00000100:00000001";
    outcome.result = WriteResult::Unverified;
    outcome.acknowledged = true;
    EXPECT_EQ(formatRecord(outcome),
              R"({"time":"2026-12-07T14:05:09.542Z","event":"outcome","entry":"e1",)"
              R"("id":"00000100:00000001","result":"unverified","acknowledged":true,)"
              R"("readBack":null})");
    outcome.sequence = 18446744073709551615u; // numbered: "seq" last
    EXPECT_EQ(formatRecord(outcome),
              R"({"time":"2026-12-07T14:05:09.542Z","event":"outcome","entry":"e1",)"
              R"("id":"00000100:00000001","result":"unverified","acknowledged":true,)"
              R"("readBack":null,"seq":18446744073709551615})");
}

TEST(JournalRecord, ReadsBackWhatItWrites) {
    SerialIntent intent = sampleIntent();
    intent.device.name.reset();
    intent.old.reset();
    const auto read = parseRecord(formatRecord(intent));
    ASSERT_TRUE(read && std::holds_alternative<SerialIntent>(*read));
    const auto& back = std::get<SerialIntent>(*read);
    EXPECT_EQ(back.time, intent.time);
    EXPECT_EQ(back.entry, intent.entry);
    EXPECT_EQ(back.operatorName, "tech");
    EXPECT_EQ(back.host, "bench-1");
    EXPECT_EQ(back.tool, "vornctl 1.0.0");
    EXPECT_EQ(back.interfaceAddress, "127.0.0.1");
    EXPECT_EQ(back.device.id, "00000100:00000001");
    EXPECT_FALSE(back.device.name);
    EXPECT_EQ(back.device.product, "Ondal 4");
    EXPECT_EQ(back.device.address, "127.0.0.2");
    EXPECT_FALSE(back.old);
    EXPECT_EQ(back.target, 4294967295u);
    EXPECT_FALSE(back.sequence);
    intent.sequence = 42;
    EXPECT_EQ(recordSequence(*parseRecord(formatRecord(intent))), 42u);

    for (WriteResult result : {WriteResult::Verified, WriteResult::Refused, WriteResult::NoAnswer,
                               WriteResult::Mismatch, WriteResult::Unverified}) {
        SerialOutcome outcome;
        outcome.entry = "e";
        outcome.id = "x";
        outcome.result = result;
        outcome.readBack = 7;
        const auto again = parseRecord(formatRecord(outcome));
        ASSERT_TRUE(again && std::holds_alternative<SerialOutcome>(*again));
        EXPECT_EQ(std::get<SerialOutcome>(*again).result, result);
        EXPECT_EQ(std::get<SerialOutcome>(*again).readBack, 7u);
        EXPECT_FALSE(std::get<SerialOutcome>(*again).acknowledged);
    }
}

TEST(JournalRecord, NameThatIsNotUtf8IsWrittenAsValidJson) {
    SerialIntent intent = sampleIntent();
    intent.device.name = std::string("Amp \xE9\xFF", 6);
    const std::string line = formatRecord(intent);
    const auto read = parseRecord(line);
    ASSERT_TRUE(read) << line;
    EXPECT_EQ(std::get<SerialIntent>(*read).device.name, "Amp \xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(JournalRecord, WhatIsNotARecord) {
    const std::string good = formatRecord(sampleIntent());
    ASSERT_TRUE(parseRecord(good));
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string line = good;
        line.replace(line.find(from), from.size(), to);
        return line;
    };
    const std::string bad[] = {
        "",
        "not json",
        good.substr(0, good.size() - 10), // cut short
        "[1,2]",
        "{}",
        replaced(R"("event":"intent")", R"("event":"other")"),
        replaced(R"("event":"intent")", R"("event":1)"),
        replaced(R"("new":4294967295)", R"("new":4294967296)"),
        replaced(R"("new":4294967295)", R"("new":-1)"),
        replaced(R"("new":4294967295)", R"("new":null)"),
        replaced(R"("old":100001)", R"("old":"100001")"),
        replaced(R"("time":"2026-12-07T14:05:09.042Z")", R"("time":"later")"),
        replaced(R"("entry":"0123456789abcdef0123456789abcdef")", R"("entry":"")"),
        replaced(R"("operator":"tech",)", ""),
        replaced(R"("new":4294967295)", R"("new":4294967295,"seq":0)"),
        replaced(R"("new":4294967295)", R"("new":4294967295,"seq":-3)"),
        replaced(R"("new":4294967295)", R"("new":4294967295,"seq":"7")"),
        std::string(40, '\0'), // what a power loss can leave at the end of a file
        R"({"time":"2026-12-07T14:05:09.042Z","event":"outcome","entry":"e","id":"x",)"
        R"("result":"interrupted","acknowledged":false,"readBack":null})",
        R"({"time":"2026-12-07T14:05:09.042Z","event":"outcome","entry":"e","id":"x",)"
        R"("result":"verified","acknowledged":"yes","readBack":null})",
    };
    for (const std::string& line : bad)
        EXPECT_FALSE(parseRecord(line)) << line;
}

TEST(JournalRecord, ClientOfARemoteWriteIsWrittenOnlyWhenKnown) {
    SerialIntent intent = sampleIntent();
    intent.client = "192.0.2.9";
    const std::string line = formatRecord(intent);
    EXPECT_NE(line.find(R"("interface":"127.0.0.1","client":"192.0.2.9","id":)"), std::string::npos)
        << line;
    const auto read = parseRecord(line);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::get<SerialIntent>(*read).client, "192.0.2.9");
    // Lines without it (every line before it existed) read as asked at the tool.
    const auto older = parseRecord(formatRecord(sampleIntent()));
    ASSERT_TRUE(older);
    EXPECT_FALSE(std::get<SerialIntent>(*older).client);
    std::string wrong = line;
    wrong.replace(wrong.find(R"("192.0.2.9")"), 11, "9");
    EXPECT_FALSE(parseRecord(wrong)) << "a client that is not text";
}

TEST(JournalRecord, ResultNames) {
    using R = WriteResult;
    EXPECT_STREQ(writeResultName(R::NoAnswer), "no-answer");
    EXPECT_EQ(parseWriteResult("mismatch"), R::Mismatch);
    EXPECT_FALSE(parseWriteResult("Verified"));
    EXPECT_EQ(parseWriteResult("already-set"), R::AlreadySet);
    EXPECT_STREQ(writeResultName(R::Duplicate), "duplicate");
}

} // namespace
