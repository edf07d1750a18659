// What the window records and exports, decided without a window: the device
// list as CSV, what a write's report brings up, and a device's history.

#include "DeviceListExport.h"
#include "JournalTime.h"
#include "MainWindowRules.h"
#include "SerialRecord.h"

#include <gtest/gtest.h>

namespace {

using Journal::WriteResult;

TEST(DeviceListExport, CsvInListOrderWithTheNumbersRead) {
    const std::vector<DeviceListExport::Row> rows = {
        {"FOH, \"main\"", "Ondal 4", "0000000a:0000000b", "192.0.2.2", 4294967295u},
        {"=HYPERLINK(\"x\")", "Ondal 2", "0000000a:0000000c", "192.0.2.3", std::nullopt},
        {"Unknown", "Ondal 2", "0000000a:0000000d", "", 0u}};
    EXPECT_EQ(DeviceListExport::csv(rows),
              "name,product,id,address,serial\r\n"
              "\"FOH, \"\"main\"\"\",Ondal 4,0000000a:0000000b,192.0.2.2,4294967295\r\n"
              "\"'=HYPERLINK(\"\"x\"\")\",Ondal 2,0000000a:0000000c,192.0.2.3,\r\n"
              "Unknown,Ondal 2,0000000a:0000000d,,0\r\n");
    EXPECT_EQ(DeviceListExport::csv({}), "name,product,id,address,serial\r\n");
    EXPECT_EQ(DeviceListExport::csvField(" padded"), "\" padded\"");
    EXPECT_EQ(DeviceListExport::csvField("a;b"), "\"a;b\"");
    EXPECT_EQ(DeviceListExport::csvField("-5"), "'-5");
    EXPECT_EQ(DeviceListExport::csvField("line\nbreak"), "\"line\nbreak\"");
}

TEST(SerialRecord, DeviceAsTheJournalNamesIt) {
    Vorn::FrameInfo info;
    info.id = 0x0000000A0000000Bull;
    info.deviceType = 12;
    info.address = 0xC0000202u;
    const auto facts = SerialRecord::deviceFacts(info, "FOH");
    EXPECT_EQ(facts.id, "0000000a:0000000b");
    EXPECT_EQ(facts.name, "FOH");
    EXPECT_EQ(facts.product, "Ondal 4");
    EXPECT_EQ(facts.address, "192.0.2.2");
    EXPECT_EQ(SerialRecord::toolName("VornService").rfind("VornService 1.", 0), 0u);
}

SerialWriteReport reportOf(WriteOutcome outcome, WriteReply reply = WriteReply::Unanswered) {
    SerialWriteReport report;
    report.id = 1;
    report.target = 600;
    report.outcome = outcome;
    report.before = 500;
    report.sent = true;
    report.reply = reply;
    return report;
}

// The window's table, row by row: every outcome a write can have brings up
// the boxes it should, with the texts as they stand.
TEST(WindowWriteSteps, EveryOutcomeEndsInItsBoxes) {
    using MainWindowRules::afterWrite;
    const char* const changed = "Serial number successfully changed.";
    const char* const failed = "Could not set serial number, a communication error occurred.";
    const char* const notKept =
        "The device acknowledged the serial number, but reads back another one.";
    struct Row {
        WriteOutcome outcome;
        const char* box;     // the outcome's box; null: none
        bool question;       // the duplicate question
        const char* problem; // the journal's box; null: none
        bool unchanged;      // nothing written: the number read before stands
    };
    const std::vector<Row> table = {
        {WriteOutcome::Verified, changed, false, nullptr, false},
        {WriteOutcome::Refused, failed, false, nullptr, false},
        {WriteOutcome::NoAnswer, failed, false, nullptr, false},
        {WriteOutcome::Mismatch, notKept, false, nullptr, false},
        {WriteOutcome::Unverified, changed, false, nullptr, false},
        {WriteOutcome::AlreadySet, changed, false, nullptr, false},
        {WriteOutcome::Duplicate, nullptr, true, nullptr, true},
        {WriteOutcome::NotFound, failed, false, nullptr, false},
        {WriteOutcome::Unreadable, failed, false, nullptr, false},
        {WriteOutcome::JournalUnwritable, nullptr, false, "J: disk full.\n\nNothing was written.",
         true},
        {WriteOutcome::Unrecorded, nullptr, false,
         "J: disk full\n\nCould not set serial number, "
         "a communication error occurred.",
         false},
        {WriteOutcome::Failed, failed, false, "J: disk full", false},
    };
    ASSERT_EQ(table.size(), static_cast<std::size_t>(writeOutcomeCount)) << "a row for each";
    for (const Row& row : table) {
        SCOPED_TRACE(writeOutcomeName(row.outcome));
        auto report = reportOf(row.outcome);
        report.error = "J: disk full";
        report.unrecorded = WriteResult::NoAnswer;
        report.holder = ListedDevice{0x0000000A0000000Bull, "FOH"};
        const auto step = afterWrite(report);
        EXPECT_EQ(step.outcome.has_value(), row.box != nullptr);
        if (step.outcome && row.box) {
            EXPECT_STREQ(step.outcome->text, row.box);
            EXPECT_STREQ(step.outcome->caption, row.box == changed ? "Success" : "Error");
        }
        EXPECT_EQ(step.question.has_value(), row.question);
        EXPECT_EQ(step.journalProblem, row.problem ? row.problem : "");
        EXPECT_EQ(step.unchanged, row.unchanged ? std::optional<std::uint32_t>(500) : std::nullopt);
    }
}

TEST(WindowWriteSteps, DuplicatesAskNamingTheHolder) {
    using MainWindowRules::afterWrite;
    auto duplicate = reportOf(WriteOutcome::Duplicate);
    duplicate.sent = false;
    duplicate.holder = ListedDevice{0x0000000A0000000Bull, "FOH"};
    const auto ask = afterWrite(duplicate);
    ASSERT_TRUE(ask.question);
    EXPECT_EQ(*ask.question, "Serial number 600 is already held by FOH (0000000a:0000000b).\n\n"
                             "Write it to this device anyway?");
    EXPECT_FALSE(ask.outcome);
    EXPECT_EQ(ask.unchanged, 500u);
    duplicate.holder->name.reset();
    EXPECT_NE(afterWrite(duplicate).question->find("held by Unknown (0000000a:0000000b)"),
              std::string::npos);
}

TEST(WindowWriteSteps, AnUnrecordedOutcomeSaysWhatTheDeviceDid) {
    using MainWindowRules::afterWrite;
    // The outcome not recorded: one error box, never "Success", saying what
    // the device did; the number is read again.
    auto noOutcome = reportOf(WriteOutcome::Unrecorded, WriteReply::Accepted);
    noOutcome.unrecorded = WriteResult::Verified;
    noOutcome.readBack = 600;
    noOutcome.error = "cannot write ...; the outcome ... is not recorded.";
    const auto written = afterWrite(noOutcome);
    EXPECT_EQ(written.journalProblem,
              noOutcome.error +
                  "\n\nThe device took the serial number, but the journal does not record it.");
    EXPECT_FALSE(written.outcome);
    EXPECT_FALSE(written.unchanged);
    // Acknowledged, even if it reads back another number: it took one.
    noOutcome.unrecorded = WriteResult::Mismatch;
    EXPECT_NE(afterWrite(noOutcome).journalProblem.find("The device took"), std::string::npos);
    noOutcome.reply = WriteReply::Refused;
    noOutcome.unrecorded = WriteResult::Refused;
    EXPECT_EQ(afterWrite(noOutcome).journalProblem,
              noOutcome.error + "\n\nCould not set serial number, a communication error occurred.");
}

TEST(WindowHistory, EntriesOneLineEachAsGiven) {
    Journal::JournalEntry served;
    served.intent.time = *Journal::parseUtc("2026-12-07T14:05:09.042Z");
    served.intent.old = 100;
    served.intent.target = 1234;
    served.intent.tool = "vornctl 1.0.0";
    served.intent.operatorName = "kim";
    served.intent.host = "bench";
    served.intent.client = "192.0.2.9";
    served.outcome = Journal::SerialOutcome{};
    served.outcome->result = WriteResult::Verified;
    Journal::JournalEntry interrupted = served;
    interrupted.intent.old.reset();
    interrupted.intent.client.reset();
    interrupted.intent.tool = "VornService 1.0.0";
    interrupted.outcome.reset();
    EXPECT_EQ(MainWindowRules::historyText("FOH", 0x0000000A0000000Bull, {served, interrupted}),
              "Serial numbers written to FOH (0000000a:0000000b), newest first:\n"
              "\n2026-12-07 14:05:09 UTC   100 -> 1234   verified   vornctl 1.0.0, kim on bench "
              "(from 192.0.2.9)"
              "\n2026-12-07 14:05:09 UTC   ? -> 1234   interrupted   VornService 1.0.0, kim on "
              "bench");
    EXPECT_EQ(MainWindowRules::historyText("FOH", 1, {}),
              "Serial numbers written to FOH (00000000:00000001): none recorded in the journal.");
}

} // namespace
