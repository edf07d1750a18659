// The engine and the controller against simulated devices over real UDP, on
// the device port 6017. The simulator listens on the wildcard address, so
// these tests run only inside the test run's own network namespace.

#include "DeviceSimulator.h"
#include "Exception.h"
#include "SimulatedDevices.h"
#include "TestSupport.h"
#include "VornService.h"
#include "engine/VornNetwork.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

using namespace TestSupport;

namespace {

constexpr std::uint64_t ondal2 = 0x0000000A00000001;
constexpr std::uint64_t ondal4 = 0x0000000C00000002;
constexpr std::uint64_t brenn = 0x0000000400000003;
constexpr std::uint64_t broadcastOnly = 0x0000000B00000004;

using VornSim::testDevice;

std::vector<VornSim::DeviceSetup> standardDevices() {
    auto inModeTwo = testDevice(broadcastOnly, 11, "Broadcast only", "127.0.0.5", 44);
    inModeTwo.modeFlags = 0x02;
    return {testDevice(ondal2, 10, "Front of house", "127.0.0.2", 11),
            testDevice(ondal4, 12, "Monitor rack", "127.0.0.3", 22),
            testDevice(brenn, 4, "Brenn unit", "127.0.0.4", 33), inModeTwo};
}

// Simulated devices on the device port; the times at which each request arrived.
class Simulation {
public:
    explicit Simulation(std::vector<VornSim::DeviceSetup> devices, VornSim::Faults faults = {}) {
        VornSim::SimulatorConfig config;
        config.devices = std::move(devices);
        config.faults = faults;
        simulator = std::make_unique<VornSim::DeviceSimulator>(
            std::move(config), [this](const VornSim::SimEvent& event) {
                if (event.kind == VornSim::EventKind::Request)
                    requests.push({event.device, event.command, event.sequence,
                                   std::chrono::steady_clock::now()});
            });
    }

    struct Arrival {
        std::uint64_t device;
        std::uint16_t command;
        std::uint32_t sequence;
        std::chrono::steady_clock::time_point at;
    };
    Recorder<Arrival> requests;
    std::unique_ptr<VornSim::DeviceSimulator> simulator;
};

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override { VORN_REQUIRE_TEST_NAMESPACE(); }
};

// Waits for the result of one asynchronous request.
template <class T> class Result {
public:
    void set(T value) { values.push(std::move(value)); }
    T get() {
        EXPECT_TRUE(values.waitForCount(1, 15000ms));
        EXPECT_EQ(values.size(), 1u);
        return values.size() ? values.values()[0] : T{};
    }
    Recorder<T> values;
};

TEST_F(EndToEndTest, DiscoversReadsAndWritesDevicesThroughTheController) {
    Simulation simulation(standardDevices());
    simulation.simulator->updateDeviceFaults(ondal4,
                                             [](VornSim::Faults& f) { f.refuseWrites = true; });

    Recorder<std::uint64_t> added;
    std::atomic<std::uint64_t> heartbeatsBeforeFirstDevice{0};
    VornService service("127.0.0.1");
    service.deviceAddedHandlers.push_back([&](std::uint64_t id) {
        if (added.size() == 0)
            heartbeatsBeforeFirstDevice = simulation.simulator->counters().toolPresence;
        added.push(id);
    });
    service.start();
    ASSERT_TRUE(added.waitForCount(4));
    // Every device answered the very first heartbeat and none was missed.
    EXPECT_EQ(heartbeatsBeforeFirstDevice.load(), 1u);
    auto ids = added.values();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{brenn, ondal2, broadcastOnly, ondal4}));
    EXPECT_EQ(productName(service.findDevice(ondal4)->deviceType), std::string("Ondal 4"));
    EXPECT_EQ(productName(service.findDevice(brenn)->deviceType), std::string("Brenn Q1"));

    Result<std::string> name;
    ASSERT_TRUE(service.requestDeviceName(ondal2, [&](std::uint64_t, bool ok, std::string text) {
        name.set(ok ? text : "<failed>");
    }));
    EXPECT_EQ(name.get(), "Front of house");

    // Reached by broadcast while it announces a non-zero mode.
    Vorn::Destination destination;
    ASSERT_TRUE(service.findDevice(broadcastOnly)->mode == 2);
    Result<unsigned> serial;
    ASSERT_TRUE(service.requestSerialNumber(broadcastOnly, [&](std::uint64_t, bool ok, unsigned s) {
        serial.set(ok ? s : 0xFFFFFFFF);
    }));
    EXPECT_EQ(serial.get(), 44u);

    // A write changes the board id and nothing else of the record.
    const VornSim::BoardRecord before = simulation.simulator->device(ondal2)->boardRecord;
    Result<WriteReply> written;
    ASSERT_TRUE(service.setSerialNumber(
        ondal2, 12345678, [&](std::uint64_t, WriteReply reply) { written.set(reply); }));
    EXPECT_EQ(written.get(), WriteReply::Accepted);
    const auto report = *simulation.simulator->device(ondal2);
    ASSERT_TRUE(report.lastWrittenRecord.has_value());
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (i >= VornSim::boardIdInRecord && i < VornSim::boardIdInRecord + 4)
            continue;
        EXPECT_EQ((*report.lastWrittenRecord)[i], before[i]) << "record byte " << i;
    }
    EXPECT_EQ(report.setup.serial, 12345678u);
    Result<unsigned> readBack;
    ASSERT_TRUE(service.requestSerialNumber(
        ondal2, [&](std::uint64_t, bool ok, unsigned s) { readBack.set(ok ? s : 0); }));
    EXPECT_EQ(readBack.get(), 12345678u);

    // A device that refuses the write reports failure and keeps its number.
    Result<WriteReply> refused;
    ASSERT_TRUE(service.setSerialNumber(
        ondal4, 99, [&](std::uint64_t, WriteReply reply) { refused.set(reply); }));
    EXPECT_EQ(refused.get(), WriteReply::Refused);
    EXPECT_EQ(simulation.simulator->device(ondal4)->setup.serial, 22u);

    // Selection marks reach the device, untracked.
    service.selectDevice(ondal4);
    EXPECT_TRUE(simulation.simulator->waitUntil(
        [&] { return simulation.simulator->device(ondal4)->selectMark == 0xFFFF; }, 5000ms));
    service.deselectDevice(ondal4);
    EXPECT_TRUE(simulation.simulator->waitUntil(
        [&] { return simulation.simulator->device(ondal4)->selectMark == 0; }, 5000ms));

    // Unknown devices: refused at once, no callback.
    EXPECT_FALSE(service.requestSerialNumber(0xDEAD, [](std::uint64_t, bool, unsigned) {
        ADD_FAILURE() << "called for an unknown device";
    }));
}

// 30% of requests lost and every reply sent twice: every accepted request
// still ends exactly once. (The retry schedule and thousands of lossy links
// are covered on a virtual clock by EngineOverLinkTest; this one keeps real
// sockets, threads and timing in the loop.)
TEST_F(EndToEndTest, EveryRequestEndsExactlyOnceUnderLossAndDuplicates) {
    Simulation simulation(standardDevices());
    Vorn::AnyNetworkType type;
    // Board-id replies that matched no pending request: duplicates, and
    // replies to attempts whose request had already ended.
    std::atomic<std::uint64_t> unmatchedReplies{0};
    Vorn::FrameList::CommandEvent::Token unmatched;
    VornNetwork engine(type, "127.0.0.1", [&](VornNetwork& raw) {
        unmatched = raw.commandReceived.subscribe(
            [&](std::uint64_t, const Vorn::Command<Vorn::MSG_CmdHdr>& command) {
                if (command.command() == Vorn::Code::boardIdReply)
                    unmatchedReplies.fetch_add(1);
            });
    });
    const std::uint64_t targets[] = {ondal2, ondal4, brenn};
    ASSERT_TRUE(waitUntil([&] {
        Vorn::Destination d;
        for (std::uint64_t id : targets)
            if (!engine.frameList().findDestination(id, d))
                return false;
        return true;
    }));
    VornSim::Faults faults;
    faults.dropProbability = 0.3;
    faults.duplicate = true;
    simulation.simulator->setFaults(faults);

    constexpr int requestCount = 150;
    std::vector<std::atomic<int>> ends(requestCount);
    std::atomic<int> successes{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < requestCount; ++i) {
        const std::uint64_t id = targets[i % 3];
        auto request = engine.makeCommand<Vorn::MSG_GetBoardID>(id);
        ASSERT_TRUE(engine.send(id, request, nullptr,
                                [&, i](std::uint64_t, const char*, unsigned, Vorn::ErrorCode e) {
                                    ends[i].fetch_add(1);
                                    if (e == Vorn::ErrorCode::Success)
                                        successes.fetch_add(1);
                                    finished.fetch_add(1);
                                }));
    }
    ASSERT_TRUE(waitUntil([&] { return finished.load() >= requestCount; }, 60000ms));
    // Late duplicates keep arriving for a while; none may complete anything
    // again. Once the engine has taken in every reply the devices sent (each
    // either completed a request or matched none), nothing more is on its way.
    EXPECT_TRUE(simulation.simulator->waitUntil(
        [&] {
            return static_cast<std::uint64_t>(successes.load()) + unmatchedReplies.load() ==
                   simulation.simulator->counters().replies;
        },
        10000ms));
    for (int i = 0; i < requestCount; ++i)
        EXPECT_EQ(ends[i].load(), 1) << "request " << i;
    EXPECT_GT(successes.load(), requestCount * 9 / 10);
}

TEST_F(EndToEndTest, UnknownFramesAreRefusedWithoutCallback) {
    Vorn::AnyNetworkType type;
    VornNetwork engine(type, "127.0.0.1");
    EXPECT_THROW(engine.makeCommand<Vorn::MSG_GetBoardID>(0x1234), Vorn::UnknownFrameIdException);
    EXPECT_FALSE(engine.commandFor<Vorn::MSG_GetBoardID>(0x1234));
    Vorn::Command<Vorn::MSG_GetBoardID> request(engine.ownFrameId(), 0x1234, 6, 0);
    EXPECT_FALSE(engine.send(0x1234, request, nullptr,
                             [](std::uint64_t, const char*, unsigned, Vorn::ErrorCode) {
                                 ADD_FAILURE() << "completion of a refused request";
                             }));
}

// Tear the engine down while devices appear, requests are pending, replies
// arrive and a subscriber keeps sending from the frame list's worker.
TEST_F(EndToEndTest, TeardownUnderLoadLeavesNothingRunningOrToRun) {
    std::vector<VornSim::DeviceSetup> devices;
    for (std::uint64_t i = 0; i < 60; ++i)
        devices.push_back(testDevice(0x0000000D00000000 + i, static_cast<std::uint8_t>(10 + i % 4),
                                     "Load", i % 2 ? "127.0.0.6" : "127.0.0.7",
                                     static_cast<std::uint32_t>(i)));
    VornSim::Faults faults;
    faults.dropProbability = 0.5;
    faults.duplicate = true;
    Simulation simulation(devices, faults);

    for (int round = 0; round < 4; ++round) {
        std::atomic<bool> tornDown{false};
        std::atomic<int> callsAfterTeardown{0};
        std::atomic<int> running{0}; // completions inside their body now
        std::atomic<int> sent{0};
        Vorn::AnyNetworkType type;
        // Held by every copy of the completion: once the engine is gone only
        // the test's own two remain, so no completion can run later.
        auto witness = std::make_shared<int>(0);
        auto completion = [&, witness](std::uint64_t, const char*, unsigned, Vorn::ErrorCode) {
            running.fetch_add(1);
            if (tornDown)
                callsAfterTeardown.fetch_add(1);
            running.fetch_sub(1);
        };
        // Subscribed before the first heartbeat: every device that answers it is seen.
        Vorn::FrameList::FrameEvent::Token token;
        auto engine = std::make_unique<VornNetwork>(type, "127.0.0.1", [&](VornNetwork& raw) {
            token = raw.frameAdded.subscribe([&](std::uint64_t id) {
                for (int k = 0; k < 3; ++k) {
                    auto request = raw.commandFor<Vorn::MSG_GetDeviceConfig>(id);
                    if (request && raw.send(id, *request, nullptr, completion))
                        sent.fetch_add(1);
                }
            });
        });
        ASSERT_TRUE(waitUntil([&] { return sent.load() >= 20; }, 10000ms));
        // A completion that began just before may overlap the destructor, but
        // none may still run, or start, once it has returned.
        engine.reset();
        EXPECT_EQ(running.load(), 0) << "a completion still runs after the engine is gone";
        tornDown = true;
        token.reset();
        EXPECT_EQ(witness.use_count(), 2) << "a completion outlived the engine";
        EXPECT_EQ(callsAfterTeardown.load(), 0);
    }
}

// The fixed-port network type binds the local port 6004: a second engine on
// the same address finds it in use.
TEST_F(EndToEndTest, FixedPortNetworkTypeReportsTheAddressInUse) {
    struct FixedPortType : Vorn::AnyNetworkType {
        FixedPortType() { alternate = 0; }
    } type;
    VornNetwork first(type, "127.0.0.1");
    EXPECT_EQ(first.localPort(), 6004);
    try {
        VornNetwork second(type, "127.0.0.1");
        ADD_FAILURE() << "a second engine bound the same port";
    } catch (const Network::AddressInUseException& e) {
        EXPECT_EQ(e.message().rfind("bind: ", 0), 0u) << e.message();
        EXPECT_EQ(e.source(), "src/Server");
    }
}

} // namespace
