// The fleet's rules without I/O: topics, payloads, the box's outbox and the
// archive's gap-free mark, and both over a lossy broker for many seeds.

#include "DeviceBook.h"
#include "FleetMessage.h"
#include "FleetTopics.h"
#include "GapFreeMark.h"
#include "Outbox.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <random>

namespace {

using namespace Fleet;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string numberedLine(std::uint64_t sequence, const std::string& extra = "") {
    return R"({"time":"2026-12-07T14:05:09.061Z","event":"outcome","entry":"6f1c",)"
           R"("id":"00000100:00000001","result":"verified","acknowledged":true,)"
           R"("readBack":20261207)" +
           extra + R"(,"seq":)" + std::to_string(sequence) + "}";
}

TEST(FleetTopics, NamesAndReadsEveryTopicOfABox) {
    for (const char* good : {"bench-3", "a", "stage-left-2", "0"})
        EXPECT_TRUE(validBoxName(good)) << good;
    for (const char* bad : {"", "-bench", "Bench", "bench_3", "a/b", "+", "#", "bänch",
                            "0123456789012345678901234567890123456789012345678901234567890123"})
        EXPECT_FALSE(validBoxName(bad)) << bad;

    EXPECT_EQ(statusTopic("bench-3"), "vorn/v1/box/bench-3/status");
    EXPECT_EQ(journalTopic("bench-3"), "vorn/v1/box/bench-3/journal");
    EXPECT_EQ(ackTopic("bench-3"), "vorn/v1/box/bench-3/journal/ack");
    EXPECT_EQ(deviceTopic("bench-3", "0000010000000001"),
              "vorn/v1/box/bench-3/devices/0000010000000001");

    const auto device = parseTopic("vorn/v1/box/bench-3/devices/0000010000000001");
    ASSERT_TRUE(device);
    EXPECT_EQ(device->box, "bench-3");
    EXPECT_EQ(device->kind, TopicKind::Device);
    EXPECT_EQ(device->deviceKey, "0000010000000001");
    EXPECT_EQ(parseTopic("vorn/v1/box/b/status")->kind, TopicKind::Status);
    EXPECT_EQ(parseTopic("vorn/v1/box/b/journal")->kind, TopicKind::Journal);
    EXPECT_EQ(parseTopic("vorn/v1/box/b/journal/ack")->kind, TopicKind::Ack);
    for (const char* other :
         {"vorn/v1/box/b", "vorn/v1/box/b/", "vorn/v2/box/b/status", "vorn/v1/box/B/status",
          "vorn/v1/box/b/status/x", "vorn/v1/box/b/devices/000001000000000",
          "vorn/v1/box/b/devices/000001000000000A", "vorn/v1/box/b/devices/00000100:0000001",
          "vorn/v1/box//status", "x/vorn/v1/box/b/status"})
        EXPECT_FALSE(parseTopic(other)) << other;

    EXPECT_EQ(deviceKeyOf("00000100:0000000A"), "000001000000000a");
    EXPECT_EQ(deviceIdOf("000001000000000a"), "00000100:0000000a");
    for (const char* bad : {"", "00000100-00000001", "0000010:000000001", "0000010g:00000001"})
        EXPECT_FALSE(deviceKeyOf(bad)) << bad;
}

TEST(FleetMessage, TheBoxIsTheTopicsAndWhatIsNoRecordIsCountedAsSuch) {
    // A payload naming another box or host is still the topic's box's record.
    const auto forged =
        classifyArrival("vorn/v1/box/bench-3/journal", numberedLine(7, R"(,"box":"bench-7")"));
    const auto* arrival = std::get_if<JournalArrival>(&forged);
    ASSERT_TRUE(arrival);
    EXPECT_EQ(arrival->box, "bench-3");
    EXPECT_EQ(arrival->message.sequence, 7u);
    EXPECT_EQ(arrival->message.line, numberedLine(7, R"(,"box":"bench-7")"));

    const auto reason = [](std::string_view topic, std::string_view payload) {
        const auto result = classifyArrival(topic, payload);
        const auto* rejected = std::get_if<Rejected>(&result);
        return rejected ? rejected->box + " " + rejected->reason : std::string("accepted");
    };
    std::string huge = numberedLine(8);
    huge.insert(huge.size() - 1, ",\"pad\":\"" + std::string(maximumJournalPayload, 'x') + "\"");
    EXPECT_EQ(reason("vorn/v1/box/b/journal", huge), "b too-large");
    EXPECT_EQ(reason("vorn/v1/box/b/journal", "{\"seq\":1}"), "b not-a-record");
    EXPECT_EQ(reason("vorn/v1/box/b/journal", ""), "b not-a-record");
    std::string unnumbered = numberedLine(1);
    unnumbered.erase(unnumbered.find(",\"seq\""));
    EXPECT_EQ(reason("vorn/v1/box/b/journal", unnumbered + "}"), "b unnumbered");
    EXPECT_EQ(reason("vorn/v1/box/b/status", "{\"state\":\"maybe\"}"), "b bad-status");

    DeviceState device{"00000100:00000001",
                       std::nullopt,
                       "Ondal 4",
                       "127.0.0.2",
                       20261207,
                       true,
                       "2026-12-07T14:05:09.042Z",
                       "2026-12-07T14:05:09.042Z"};
    const std::string state = formatDeviceState(device);
    EXPECT_EQ(reason("vorn/v1/box/b/devices/0000010000000001", state), "accepted");
    EXPECT_EQ(reason("vorn/v1/box/b/devices/0000010000000002", state), "b bad-device");
    const auto back =
        std::get<DeviceArrival>(classifyArrival("vorn/v1/box/b/devices/0000010000000001", state));
    ASSERT_TRUE(back.device);
    EXPECT_EQ(*back.device, device);
    EXPECT_FALSE(
        std::get<DeviceArrival>(classifyArrival("vorn/v1/box/b/devices/0000010000000001", ""))
            .device);
    EXPECT_TRUE(std::holds_alternative<StatusCleared>(classifyArrival("vorn/v1/box/b/status", "")));
    EXPECT_TRUE(std::holds_alternative<Ignored>(classifyArrival("vorn/v1/box/b/journal/ack", "5")));
    EXPECT_TRUE(std::holds_alternative<Ignored>(classifyArrival("elsewhere", numberedLine(1))));
}

TEST(FleetStates, ALateWillOfAnOlderSessionNeverMarksTheBoxOffline) {
    BoxStatus online{true, 12, 2, "Stage A", "1.0.0", "eth0", 3, "2026-12-07T14:05:09.042Z"};
    const auto read = parseStatus(formatStatus(online));
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->online);
    EXPECT_EQ(read->session, 12u);
    EXPECT_EQ(read->connection, 2u);
    EXPECT_EQ(read->site, "Stage A");
    EXPECT_EQ(read->devices, 3u);

    const auto will = parseStatus(
        R"({"state":"offline","session":11,"connection":4,"time":"2026-12-07T14:05:10Z"})");
    ASSERT_TRUE(will);
    EXPECT_FALSE(supersedes(*will, StatusAge{12, 1})); // an older start's, noticed late
    EXPECT_FALSE(supersedes(*will, StatusAge{11, 5})); // an older connection's
    EXPECT_TRUE(supersedes(*will, StatusAge{11, 4}));  // its own connection's end
    EXPECT_TRUE(supersedes(*will, std::nullopt));
    EXPECT_FALSE(parseStatus(R"({"state":"online","session":-1,"time":"2026-12-07T14:05:10Z"})"));
    EXPECT_FALSE(parseStatus(R"({"state":"online","session":1,"time":"soon"})"));
}

TEST(GapFreeMark, AcknowledgesOnlyUpToTheLastRecordWithoutAGap) {
    GapFreeMark mark(0, 10);
    EXPECT_EQ(mark.check(2), GapFreeMark::Verdict::Store);
    EXPECT_FALSE(mark.stored(2));
    EXPECT_EQ(mark.check(2), GapFreeMark::Verdict::Duplicate);
    EXPECT_FALSE(mark.stored(4));
    EXPECT_EQ(mark.mark(), 0u);
    EXPECT_TRUE(mark.stored(1));
    EXPECT_EQ(mark.mark(), 2u); // 1 and 2; 3 missing
    EXPECT_EQ(mark.above(), 1u);
    EXPECT_TRUE(mark.stored(3));
    EXPECT_EQ(mark.mark(), 4u);
    EXPECT_EQ(mark.above(), 0u);
    EXPECT_EQ(mark.check(1), GapFreeMark::Verdict::Duplicate);
    EXPECT_EQ(mark.check(14), GapFreeMark::Verdict::Store);
    EXPECT_EQ(mark.check(15), GapFreeMark::Verdict::TooFarAhead);
    EXPECT_FALSE(mark.stored(3));
}

TEST(Outbox, SendsInOrderWithinItsWindowAndAgainAfterAReconnectOrAStall) {
    const Clock::time_point start{};
    Outbox outbox(2, {3, 10s});
    for (std::uint64_t n = 1; n <= 8; ++n)
        outbox.add(n, "r" + std::to_string(n));
    EXPECT_EQ(outbox.waiting(), 6u);        // 1 and 2 were acknowledged before
    EXPECT_TRUE(outbox.due(start).empty()); // not connected
    const auto numbers = [](const std::vector<OutgoingRecord>& records) {
        std::vector<std::uint64_t> out;
        for (const auto& record : records)
            out.push_back(record.sequence);
        return out;
    };
    outbox.connected(start);
    const auto first = outbox.due(start);
    EXPECT_EQ(numbers(first), (std::vector<std::uint64_t>{3, 4, 5}));
    EXPECT_EQ(first[0].payload, "r3");
    EXPECT_TRUE(outbox.due(start + 9s).empty()); // in flight, not yet stalled
    EXPECT_EQ(outbox.nextWake(), start + 10s);

    EXPECT_TRUE(outbox.acknowledge(4, start + 9s));  // the window moves on by two
    EXPECT_FALSE(outbox.acknowledge(3, start + 9s)); // never back
    EXPECT_EQ(outbox.acknowledged(), 4u);
    EXPECT_EQ(numbers(outbox.due(start + 9s)), (std::vector<std::uint64_t>{6, 7}));
    EXPECT_TRUE(outbox.due(start + 18s).empty());
    EXPECT_EQ(numbers(outbox.due(start + 19s)), (std::vector<std::uint64_t>{5, 6, 7})); // stalled

    outbox.disconnected();
    EXPECT_TRUE(outbox.due(start + 40s).empty());
    EXPECT_EQ(outbox.nextWake(), Clock::time_point::max());
    outbox.connected(start + 41s);
    EXPECT_EQ(numbers(outbox.due(start + 41s)), (std::vector<std::uint64_t>{5, 6, 7}));

    EXPECT_TRUE(outbox.acknowledge(8, start + 42s)); // an archive ahead of what is held
    EXPECT_EQ(outbox.waiting(), 0u);
    EXPECT_TRUE(outbox.due(start + 60s).empty());
    outbox.add(8, "old");
    outbox.add(9, "r9");
    EXPECT_EQ(numbers(outbox.due(start + 60s)), (std::vector<std::uint64_t>{9}));
    EXPECT_EQ(outbox.highest(), 9u);
}

TEST(DeviceBook, PublishesChangesOnlyAndReadsEachSerialOnceWithBoundedReads) {
    const Clock::time_point start{};
    DeviceBook book;
    std::vector<SeenDevice> present;
    for (int i = 1; i <= 5; ++i)
        present.push_back({"00000100:0000000" + std::to_string(i), std::nullopt, "Ondal 4",
                           "127.0.0." + std::to_string(i + 1)});
    EXPECT_EQ(book.update(present, "2026-12-08T10:00:00.000Z", start).size(), 5u);
    EXPECT_TRUE(book.update(present, "2026-12-08T10:00:01.000Z", start).empty());

    const auto first = book.toRead(2, start); // at most two out at once
    ASSERT_EQ(first.size(), 2u);
    EXPECT_TRUE(book.toRead(2, start).empty());
    const auto read = book.serialKnown(first[0], 20261207);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->serial, 20261207u);
    EXPECT_FALSE(book.serialKnown(first[0], 20261207)); // the same number: nothing to publish
    book.serialUnread(first[1], start);                 // silent: asked again later
    const auto next = book.toRead(2, start);
    ASSERT_EQ(next.size(), 2u);
    EXPECT_NE(next[0], first[1]);
    EXPECT_NE(next[1], first[1]);
    book.serialKnown(next[0], 1);
    book.serialKnown(next[1], 2);
    const auto last = book.toRead(5, start + 1s);
    ASSERT_EQ(last.size(), 1u); // the fifth; the silent one waits
    book.serialKnown(last[0], 3);
    EXPECT_TRUE(book.toRead(5, start + 29s).empty());
    EXPECT_EQ(book.toRead(5, start + 30s), std::vector<std::string>{first[1]});

    present[0].name = "Stage left";
    const auto named = book.update(present, "2026-12-08T10:00:02.000Z", start);
    ASSERT_EQ(named.size(), 1u);
    EXPECT_EQ(named[0].name, "Stage left");
    EXPECT_EQ(named[0].serial, 20261207u);

    const SeenDevice moved = present[0];
    present.erase(present.begin());
    const auto gone = book.update(present, "2026-12-08T11:00:00.000Z", start);
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_FALSE(gone[0].present);
    EXPECT_EQ(gone[0].lastSeen, "2026-12-08T11:00:00.000Z");
    EXPECT_EQ(gone[0].firstSeen, "2026-12-08T10:00:00.000Z");
    EXPECT_TRUE(book.update(present, "2026-12-08T11:00:01.000Z", start).empty());

    // Back, after a restart that kept what was published.
    DeviceBook restarted(book.states());
    present.push_back(moved);
    const auto back = restarted.update(present, "2026-12-08T12:00:00.000Z", start);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(back[0].present);
    EXPECT_EQ(back[0].firstSeen, "2026-12-08T10:00:00.000Z");
    EXPECT_EQ(back[0].lastSeen, "2026-12-08T12:00:00.000Z");
    EXPECT_EQ(restarted.toRead(10, start).size(), 5u); // read once per run
}

// A box and an archive over a broker that loses, duplicates and reorders
// messages both ways and drops the connection now and then; the archive
// stores into a map that counts. For every seed: every record stored once.
TEST(FleetDelivery, EveryRecordStoredOnceOverALossyBrokerForManySeeds) {
    constexpr std::uint64_t records = 60;
    for (unsigned seed = 1; seed <= 400; ++seed) {
        std::mt19937 random(seed);
        const auto chance = [&](int percent) {
            return std::uniform_int_distribution<int>(0, 99)(random) < percent;
        };
        Outbox outbox(0, {8, 5s});
        GapFreeMark mark;
        std::map<std::uint64_t, int> stored;
        std::deque<OutgoingRecord> toArchive;
        std::deque<std::uint64_t> toBox; // acknowledgements
        Clock::time_point now{};
        outbox.connected(now);
        std::uint64_t written = 0;
        for (int step = 0; step < 4000 && outbox.acknowledged() < records; ++step) {
            now += 100ms;
            if (written < records && chance(30)) {
                ++written;
                outbox.add(written, std::to_string(written));
            }
            if (chance(1)) { // the connection drops and comes back
                outbox.disconnected();
                toArchive.clear();
                outbox.connected(now);
            }
            for (auto& record : outbox.due(now)) {
                if (chance(15))
                    continue; // lost
                toArchive.push_back(record);
                if (chance(5))
                    toArchive.push_back(record);
            }
            if (toArchive.size() > 1 && chance(20))
                std::swap(toArchive[0], toArchive[1]);
            while (!toArchive.empty()) {
                const auto record = toArchive.front();
                toArchive.pop_front();
                ASSERT_EQ(record.payload, std::to_string(record.sequence));
                if (mark.check(record.sequence) == GapFreeMark::Verdict::Store) {
                    ++stored[record.sequence];
                    mark.stored(record.sequence);
                }
                if (!chance(15))
                    toBox.push_back(mark.mark());
            }
            while (!toBox.empty()) {
                outbox.acknowledge(toBox.front(), now);
                toBox.pop_front();
            }
        }
        ASSERT_EQ(outbox.acknowledged(), records) << "seed " << seed;
        ASSERT_EQ(stored.size(), records) << "seed " << seed;
        for (const auto& [sequence, times] : stored)
            ASSERT_EQ(times, 1) << "seed " << seed << " record " << sequence;
    }
}

} // namespace
