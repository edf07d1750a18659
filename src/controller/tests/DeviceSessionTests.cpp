#include "DeviceEventFeed.h"
#include "DeviceSession.h"
#include "DeviceWatch.h"
#include "VornService.h"

#include "DeviceSimulator.h"
#include "Recorder.h"
#include "SimulatedDevices.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(DeviceWatch, WaitsForADeviceAndReportsEveryChange) {
    DeviceWatch watch;
    EXPECT_FALSE(watch.waitFor(5, Clock::now() + 20ms));

    std::thread engine([&] {
        watch.added(5);
        watch.added(6);
        watch.removed(5);
    });
    EXPECT_TRUE(watch.waitFor(6, Clock::now() + 10s));
    engine.join();
    EXPECT_EQ(watch.present(), (std::vector<std::uint64_t>{6}));

    // The report follows the count without losing the last change.
    std::vector<std::size_t> counts;
    std::thread later([&] {
        watch.added(7);
        watch.added(8);
    });
    watch.watchUntil(Clock::now() + 300ms, [&](std::size_t count) { counts.push_back(count); });
    later.join();
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(counts.back(), 3u);
    EXPECT_EQ(watch.present(), (std::vector<std::uint64_t>{6, 7, 8}));
}

DeviceEvent eventOf(std::uint64_t id) {
    DeviceEvent event;
    event.id = id;
    return event;
}

TEST(DeviceEventFeed, KeepsOrderAndAStopWakesTheReaderAndDropsWhatWaits) {
    DeviceEventFeed feed;
    TestSupport::Recorder<bool> readAll;
    std::vector<std::uint64_t> read; // the reader's until it is joined
    std::thread reader([&] {
        while (const auto event = feed.next()) {
            read.push_back(event->id);
            if (read.size() == 3)
                readAll.push(true);
        }
    });
    for (std::uint64_t id = 1; id <= 3; ++id)
        feed.push(eventOf(id));
    const bool allRead = readAll.waitForFirst(10s).value_or(false);
    // The reader now waits for a fourth event: only the stop can end it (a
    // stop that does not wake it hangs the join).
    feed.stop();
    reader.join();
    EXPECT_TRUE(allRead);
    EXPECT_EQ(read, (std::vector<std::uint64_t>{1, 2, 3}));

    // Events still queued when the feed stops are dropped; nothing passes
    // a stopped feed, and a second stop changes nothing.
    DeviceEventFeed queued;
    queued.push(eventOf(1));
    queued.push(eventOf(2));
    queued.stop();
    EXPECT_FALSE(queued.next());
    queued.push(eventOf(3));
    queued.stop();
    EXPECT_FALSE(queued.next());
}

// Past its bound an addition or change waits aside, the newest per device,
// after the events in order; a removal of a device aside drops it unseen;
// nothing waits for the reader.
TEST(DeviceEventFeed, PastItsBoundAdditionsWaitAsideOnePerDevice) {
    using Kind = DeviceEvent::Kind;
    auto of = [](Kind kind, std::uint64_t id, std::uint32_t address = 0) {
        DeviceEvent event = eventOf(id);
        event.kind = kind;
        event.address = address;
        return event;
    };
    DeviceEventFeed feed(2);
    feed.push(of(Kind::Added, 1));
    feed.push(of(Kind::Added, 2));
    feed.push(of(Kind::Added, 3, 30));   // aside
    feed.push(of(Kind::Changed, 3, 31)); // the newest of 3, still an addition
    feed.push(of(Kind::Added, 4));       // aside
    feed.push(of(Kind::Removed, 4));     // never shown: gone unseen
    feed.push(of(Kind::Changed, 1, 11)); // aside: 1 was shown
    feed.push(of(Kind::Named, 1));       // in order, past the bound
    feed.push(of(Kind::Removed, 2));     // in order
    std::vector<std::pair<Kind, std::uint64_t>> read;
    std::uint32_t addressOf3 = 0;
    for (int i = 0; i < 6; ++i) {
        const auto event = feed.next();
        ASSERT_TRUE(event);
        read.emplace_back(event->kind, event->id);
        if (event->id == 3)
            addressOf3 = event->address;
    }
    EXPECT_EQ(read, (std::vector<std::pair<Kind, std::uint64_t>>{{Kind::Added, 1},
                                                                 {Kind::Added, 2},
                                                                 {Kind::Named, 1},
                                                                 {Kind::Removed, 2},
                                                                 {Kind::Added, 3},
                                                                 {Kind::Changed, 1}}));
    EXPECT_EQ(addressOf3, 31u);
    feed.push(of(Kind::Added, 5)); // room again: in order
    EXPECT_EQ(feed.next()->id, 5u);
    feed.stop();
    EXPECT_FALSE(feed.next());
}

constexpr std::uint64_t stage = 0x0000010000000001ull; // Ondal 4
constexpr std::uint64_t amp = 0x0001E240000012ABull;   // another product
constexpr std::uint64_t absent = 0x0000010000000009ull;

TEST(DeviceSession, RelaysListsAndReadsTheDevicesOfItsInterface) {
    VORN_REQUIRE_TEST_NAMESPACE();
    const auto [tool, devices] = VornSim::testAddresses();
    ASSERT_FALSE(tool.empty()) << "neither 127.0.0.1 nor 192.0.2.1 is in the adapter list";
    VornSim::SimulatorConfig config;
    config.presenceInterval = 200ms;
    config.devices = {VornSim::testDevice(stage, 12, "Stage", devices, 100001),
                      VornSim::testDevice(amp, 7, "Amp rack", devices, 55)};
    VornSim::DeviceSimulator simulator(config);

    DeviceSession session(tool);
    session.publishEvents();
    session.start();
    ASSERT_TRUE(session.awaitDevice(stage, DeviceSession::Clock::now() + 10s));
    ASSERT_TRUE(session.awaitDevice(amp, DeviceSession::Clock::now() + 10s));

    // Without `all` the other product's events are left out; the serviced
    // device's addition is followed by its name.
    TestSupport::Recorder<DeviceEvent> events;
    std::thread relay([&] {
        session.relayEvents(
            [&](const DeviceEvent& event) {
                events.push(event);
                return true;
            },
            NameRounds::Once, false);
    });
    const bool named = events.waitForCount(2, 10s);
    session.stopEvents();
    relay.join();
    ASSERT_TRUE(named);
    const auto seen = events.values();
    EXPECT_EQ(seen[0].kind, DeviceEvent::Kind::Added);
    EXPECT_EQ(seen[0].id, stage);
    EXPECT_EQ(seen[0].deviceType, 12u);
    EXPECT_EQ(seen[1].kind, DeviceEvent::Kind::Named);
    EXPECT_EQ(seen[1].id, stage);
    EXPECT_EQ(seen[1].name, "Stage");
    for (const DeviceEvent& event : seen)
        EXPECT_NE(event.id, amp);

    const auto serviced = session.listedDevices(false);
    ASSERT_EQ(serviced.size(), 1u);
    EXPECT_EQ(serviced[0].id, stage);
    EXPECT_EQ(serviced[0].address, seen[0].address);
    EXPECT_FALSE(serviced[0].name); // not read
    const auto every = session.listedDevices(true);
    ASSERT_EQ(every.size(), 2u);
    EXPECT_EQ(every[1].id, amp);
    EXPECT_EQ(every[1].deviceType, 7u);

    const SerialResult serial = session.readSerial(stage);
    EXPECT_TRUE(serial.ok);
    EXPECT_EQ(serial.serial, 100001u);
    // A device the engine does not know is answered at once, as not read.
    std::vector<std::size_t> progress;
    EXPECT_EQ(session.readSerials({stage, amp, absent}, DeviceSession::Clock::now() + 10s,
                                  [&](std::size_t done) { progress.push_back(done); }),
              (std::vector<std::optional<std::uint32_t>>{100001u, 55u, std::nullopt}));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 3u);
    EXPECT_EQ(session.readNames({amp, absent}),
              (std::vector<std::optional<std::string>>{"Amp rack", std::nullopt}));

    const auto start = Clock::now();
    EXPECT_FALSE(session.awaitDevice(absent, start + 100ms));
    EXPECT_GE(Clock::now() - start, 100ms);
    // Writes are recorded: a session without a journal sends none.
    SerialWriteRequest request;
    request.id = stage;
    request.target = 7;
    EXPECT_THROW(session.write(request), std::logic_error);
    EXPECT_EQ(session.readSerial(stage).serial, 100001u);
}

} // namespace
