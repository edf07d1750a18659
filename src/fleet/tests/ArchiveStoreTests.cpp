// The archive's database: a record stored once by box and number, the marks
// as the stored records give them after a restart, statuses of older sessions
// passed over, a device seen by two boxes, whole entries found by serial.

#include "ArchiveStore.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

namespace {

using namespace Fleet;
using TestSupport::TemporaryFolder;

JournalMessage message(std::uint64_t sequence, const std::string& entry, bool intent,
                       std::uint32_t serial, const std::string& device = "00000100:00000001") {
    const std::string line =
        intent ? R"({"time":"2026-12-07T14:05:09.042Z","event":"intent","entry":")" + entry +
                     R"(","operator":"kim","host":"bench-1","tool":"vornctl 1.0.0",)"
                     R"("interface":"127.0.0.1","id":")" +
                     device +
                     R"(","name":"Stage left","product":"Ondal 4","address":"127.0.0.2",)"
                     R"("old":1,"new":)" +
                     std::to_string(serial) + R"(,"seq":)" + std::to_string(sequence) + "}"
               : R"({"time":"2026-12-07T14:05:10.042Z","event":"outcome","entry":")" + entry +
                     R"(","id":")" + device +
                     R"(","result":"verified","acknowledged":true,"readBack":)" +
                     std::to_string(serial) + R"(,"seq":)" + std::to_string(sequence) + "}";
    auto decoded = decodeJournalPayload(line);
    return std::get<JournalMessage>(std::move(decoded));
}

constexpr const char* now = "2026-12-08T10:00:00.000Z";

TEST(ArchiveStore, StoresARecordOnceAndRebuildsTheMarksFromWhatItHolds) {
    const TemporaryFolder folder;
    const auto path = folder / "archive.db";
    {
        ArchiveStore store(path);
        EXPECT_TRUE(store.storeRecord("bench-3", message(1, "e1", true, 20261207), now));
        EXPECT_FALSE(store.storeRecord("bench-3", message(1, "e1", true, 20261207), now));
        EXPECT_TRUE(store.storeRecord("bench-7", message(1, "f1", true, 5), now)); // its own 1
        EXPECT_TRUE(store.storeRecord("bench-3", message(3, "e2", true, 7), now)); // 2 missing
        store.saveAcknowledged("bench-3", 1);
    }
    ArchiveStore again(path);
    auto marks = again.loadMarks();
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks.at("bench-3").mark(), 1u);
    EXPECT_EQ(marks.at("bench-3").check(3), GapFreeMark::Verdict::Duplicate);
    EXPECT_EQ(marks.at("bench-7").mark(), 1u); // from the records, not the saved number
    EXPECT_TRUE(again.storeRecord("bench-3", message(2, "e1", false, 20261207), now));
    EXPECT_TRUE(marks.at("bench-3").stored(2));
    EXPECT_EQ(marks.at("bench-3").mark(), 3u);

    const auto boxes = again.boxes({});
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].box, "bench-3");
    EXPECT_EQ(boxes[0].waiting, 2u); // above the saved acknowledgement
    EXPECT_EQ(boxes[1].box, "bench-7");

    // Whole entries by serial number: the intent wrote it, the outcome read it back.
    ArchiveFilter bySerial;
    bySerial.serial = 20261207;
    const auto found = again.records(bySerial);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].sequence, 1u);
    EXPECT_EQ(found[1].sequence, 2u);
    EXPECT_EQ(found[1].line, message(2, "e1", false, 20261207).line);
    ArchiveFilter byBox;
    byBox.box = "bench-7";
    EXPECT_EQ(again.records(byBox).size(), 1u);

    ArchiveStore reader(path, ArchiveStore::Mode::Read);
    EXPECT_EQ(reader.records({}).size(), 4u);
    EXPECT_THROW(reader.storeRecord("x", message(9, "g", true, 1), now), ArchiveError);
    EXPECT_THROW(ArchiveStore(folder / "none.db", ArchiveStore::Mode::Read), ArchiveError);
}

TEST(ArchiveStore, StatusOfAnOlderSessionIsPassedOverAndDevicesKeepTheirBoxes) {
    const TemporaryFolder folder;
    ArchiveStore store(folder / "archive.db");
    BoxStatus online{true, 5, 2, "Stage A", "1.0.0", "eth0", 2, now};
    EXPECT_TRUE(store.saveStatus("bench-3", online, "2026-12-08T10:00:00.000Z"));
    BoxStatus lateWill{false, 4, 9, "", "", "", 0, now};
    EXPECT_FALSE(store.saveStatus("bench-3", lateWill, "2026-12-08T10:00:01.000Z"));
    lateWill.session = 5; // the same start's first connection
    lateWill.connection = 1;
    EXPECT_FALSE(store.saveStatus("bench-3", lateWill, "2026-12-08T10:00:01.000Z"));
    auto box = store.boxes({}).at(0);
    EXPECT_TRUE(box.online);
    EXPECT_EQ(box.since, "2026-12-08T10:00:00.000Z");
    EXPECT_TRUE(store.saveStatus("bench-3", online, "2026-12-08T10:00:02.000Z"));
    EXPECT_EQ(store.boxes({}).at(0).since, "2026-12-08T10:00:00.000Z"); // unchanged: online
    BoxStatus offline = online;
    offline.online = false;
    EXPECT_TRUE(store.saveStatus("bench-3", offline, "2026-12-08T10:00:03.000Z"));
    box = store.boxes({}).at(0);
    EXPECT_FALSE(box.online);
    EXPECT_EQ(box.since, "2026-12-08T10:00:03.000Z");
    EXPECT_EQ(box.site, "Stage A");

    DeviceState device{"00000100:00000001",
                       "Amp",
                       "Ondal 4",
                       "10.0.3.2",
                       20261207,
                       false,
                       "2026-12-01T08:00:00.000Z",
                       "2026-12-03T17:00:00.000Z"};
    store.saveDevice("bench-3", device);
    device.present = true;
    device.address = "10.0.7.2";
    device.firstSeen = device.lastSeen = "2026-12-04T09:00:00.000Z";
    store.saveDevice("bench-7", device);
    store.saveDevice("bench-7", device); // again: one row
    ArchiveFilter bySerial;
    bySerial.serial = 20261207;
    const auto both = store.devices(bySerial);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].box, "bench-3");
    EXPECT_FALSE(both[0].state.present);
    EXPECT_EQ(both[0].site, "Stage A");
    EXPECT_EQ(both[1].box, "bench-7");
    EXPECT_EQ(both[1].state.address, "10.0.7.2");
    store.removeDevice("bench-3", "00000100:00000001");
    EXPECT_EQ(store.devices({}).size(), 1u);
    store.forgetBox("bench-7");
    EXPECT_TRUE(store.devices({}).empty());
}

} // namespace
