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

SerialWriteReport reportOf(WriteResult result, bool acknowledged) {
    SerialWriteReport report;
    report.id = 1;
    report.target = 600;
    report.result = result;
    report.before = 500;
    report.intentRecorded = report.sent = true;
    report.acknowledged = acknowledged;
    return report;
}

TEST(WindowWriteSteps, FreeNumbersEndInTheBoxesOfEveryWriteDuplicatesAsk) {
    using MainWindowRules::afterWrite;
    const auto success = afterWrite(reportOf(WriteResult::Verified, true));
    EXPECT_FALSE(success.question);
    ASSERT_TRUE(success.outcome);
    EXPECT_STREQ(success.outcome->caption, "Success");
    EXPECT_STREQ(success.outcome->text, "Serial number successfully changed.");
    EXPECT_TRUE(success.journalProblem.empty());
    EXPECT_STREQ(afterWrite(reportOf(WriteResult::AlreadySet, false)).outcome->caption, "Success");
    for (const auto result : {WriteResult::Refused, WriteResult::NoAnswer}) {
        const auto failed = afterWrite(reportOf(result, false));
        ASSERT_TRUE(failed.outcome);
        EXPECT_STREQ(failed.outcome->text,
                     "Could not set serial number, a communication error occurred.");
    }
    // Acknowledged as before: the read-back tells the rest.
    EXPECT_STREQ(afterWrite(reportOf(WriteResult::Unverified, true)).outcome->caption, "Success");
    // Acknowledged, but the device kept another number: never a success.
    const auto kept = afterWrite(reportOf(WriteResult::Mismatch, true));
    ASSERT_TRUE(kept.outcome);
    EXPECT_EQ(kept.outcome->icon, MainWindowRules::iconError);
    EXPECT_STREQ(kept.outcome->text,
                 "The device acknowledged the serial number, but reads back another one.");

    auto duplicate = reportOf(WriteResult::Duplicate, false);
    duplicate.intentRecorded = duplicate.sent = false;
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

TEST(WindowWriteSteps, JournalProblemsAreShownBeforeOrInsteadOfTheOutcome) {
    using MainWindowRules::afterWrite;
    auto noIntent = reportOf(WriteResult::NoAnswer, false);
    noIntent.intentRecorded = noIntent.sent = false;
    noIntent.journalError = "cannot write the journal J: disk full";
    const auto refused = afterWrite(noIntent);
    EXPECT_EQ(refused.journalProblem,
              "cannot write the journal J: disk full.\n\nNothing was written.");
    EXPECT_FALSE(refused.outcome);
    EXPECT_EQ(refused.unchanged, 500u);

    // The outcome not recorded: one error box, never "Success", saying what
    // the device did; the number is read again.
    auto noOutcome = reportOf(WriteResult::Verified, true);
    noOutcome.readBack = 600;
    noOutcome.journalError = "cannot write ...; the outcome ... is not recorded.";
    const auto written = afterWrite(noOutcome);
    EXPECT_EQ(written.journalProblem,
              noOutcome.journalError +
                  "\n\nThe device took the serial number, but the journal does not record it.");
    EXPECT_FALSE(written.outcome);
    EXPECT_FALSE(written.unchanged);
    auto failedUnrecorded = reportOf(WriteResult::NoAnswer, false);
    failedUnrecorded.journalError = noOutcome.journalError;
    const auto failed = afterWrite(failedUnrecorded);
    EXPECT_EQ(failed.journalProblem,
              noOutcome.journalError +
                  "\n\nCould not set serial number, a communication error occurred.");
    EXPECT_FALSE(failed.outcome);
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
