// What the window records and exports, decided without a window: the device
// list as CSV, and a serial write followed from its intent to its outcome.

#include "DeviceListExport.h"
#include "SerialRecord.h"
#include "SerialWriteTracker.h"

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

TEST(SerialWriteTracker, OutcomeComesWithTheReadBackAfterTheWrite) {
    SerialWriteTracker tracker;
    EXPECT_FALSE(tracker.serialRead(1, 500u)); // selected: read before the write
    EXPECT_EQ(tracker.lastRead(1), 500u);
    tracker.writeStarted("e1", 1, 600);
    EXPECT_TRUE(tracker.writing());
    // Reads before the write completed, and other devices' reads, are no read-back.
    EXPECT_FALSE(tracker.serialRead(1, 500u));
    EXPECT_FALSE(tracker.serialRead(2, 600u));
    tracker.writeDone(2, true); // another device's: ignored
    EXPECT_FALSE(tracker.serialRead(1, 500u));
    tracker.writeDone(1, true);
    const auto outcome = tracker.serialRead(1, 600u);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->entry, "e1");
    EXPECT_EQ(outcome->id, 1u);
    EXPECT_EQ(outcome->result, WriteResult::Verified);
    EXPECT_TRUE(outcome->acknowledged);
    EXPECT_EQ(outcome->readBack, 600u);
    EXPECT_FALSE(tracker.writing());
    EXPECT_FALSE(tracker.serialRead(1, 600u)); // once only
    EXPECT_EQ(tracker.lastRead(1), 600u);
}

TEST(SerialWriteTracker, RefusedUnansweredAndUnverifiedWrites) {
    SerialWriteTracker tracker;
    tracker.serialRead(1, 500u);
    tracker.writeStarted("refused", 1, 600);
    tracker.writeDone(1, false);
    EXPECT_EQ(tracker.serialRead(1, 500u)->result, WriteResult::Refused);

    tracker.writeStarted("silent", 1, 600);
    tracker.writeDone(1, false);
    const auto silent = tracker.serialRead(1, std::nullopt);
    EXPECT_EQ(silent->result, WriteResult::NoAnswer);
    EXPECT_FALSE(silent->readBack);
    EXPECT_FALSE(tracker.lastRead(1)); // not known any more

    tracker.writeStarted("unverified", 1, 600); // old not known: recorded as null
    tracker.writeDone(1, true);
    EXPECT_EQ(tracker.serialRead(1, std::nullopt)->result, WriteResult::Unverified);

    tracker.serialRead(3, 7u);
    tracker.forget(3);
    EXPECT_FALSE(tracker.lastRead(3));
}

} // namespace
