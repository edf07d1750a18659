#include "DeviceSimulator.h"
#include "SimulatedDevices.h"
#include "VornService.h"
#include "transport/Enumerator.h"
#include "wire/Wire.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// One callback's result, handed from an engine thread to the test.
template <class T> using Outcome = TestSupport::Recorder<T>;

struct Named {
    std::uint64_t id;
    bool ok;
    std::string name;
};
struct Serial {
    std::uint64_t id;
    bool ok;
    unsigned serial;
};
struct Result {
    std::uint64_t id;
    bool ok;
};

constexpr std::uint64_t deviceId = 0x0001E240000012ABull;
constexpr std::uint32_t loopback = 0x7F000001; // 127.0.0.1

VornSim::BoardRecord patternedRecord() {
    VornSim::BoardRecord record{};
    for (std::size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<unsigned char>(0xA0 + i * 3);
    Vorn::Wire::writeU32(reinterpret_cast<char*>(record.data()) + VornSim::boardIdInRecord, 4242u);
    return record;
}

// One simulated device that sends from 127.0.0.1 and listens on `bindAddress`
// at the device port.
VornSim::SimulatorConfig stageLeft(const std::string& bindAddress, VornSim::Faults faults = {}) {
    VornSim::DeviceSetup device = VornSim::testDevice(deviceId, 12, "Stage left", "127.0.0.1",
                                                      4242); // serial as in the record
    device.typeWord = 3;
    device.boardRecord = patternedRecord();
    VornSim::SimulatorConfig config;
    config.bindAddress = bindAddress;
    config.faults = faults;
    config.devices = {device};
    return config;
}

// How many requests with `command` the device has received.
std::uint64_t countOf(const VornSim::DeviceSimulator& device, std::uint16_t command) {
    const auto report = device.device(deviceId);
    const auto count = report->requestCounts.find(command);
    return count == report->requestCounts.end() ? 0 : count->second;
}

// The bytes of the device's last request once it has received `count` with
// `command`; nothing if that does not happen within a second.
std::optional<std::vector<char>> lastRequestAfter(const VornSim::DeviceSimulator& device,
                                                  std::uint16_t command, std::uint64_t count) {
    if (!device.waitUntil([&] { return countOf(device, command) >= count; }, 1s))
        return std::nullopt;
    return device.device(deviceId)->lastRequest;
}

// The engine reads the adapter list when it starts and cannot start without
// one (under Wine, loopback is never listed).
bool engineCanStart() {
    try {
        Network::Enumerator adapters;
        return true;
    } catch (const Network::FailedToEnumerateNetworkException&) {
        return false;
    }
}

#define SKIP_WITHOUT_ADAPTERS()                                                                    \
    if (!engineCanStart())                                                                         \
    VORN_CANNOT_RUN("no network adapter is listed; the engine cannot start")

// The device listening on 127.0.0.1 at the device port. Another program holding
// that port is a failure: the tests run in a namespace of their own.
std::unique_ptr<VornSim::DeviceSimulator> loopbackDevice(VornSim::Faults faults = {}) {
    return std::make_unique<VornSim::DeviceSimulator>(stageLeft("127.0.0.1", faults));
}

TEST(VornService, RelaysDevicesAndCompletesEveryRequestOnce) {
    SKIP_WITHOUT_ADAPTERS();
    auto device = loopbackDevice();
    const std::uint64_t id = deviceId;

    TestSupport::Recorder<std::string> order;

    VornService service("127.0.0.1");
    service.deviceAddedHandlers.push_back(
        [&](std::uint64_t added) { order.push("first " + std::to_string(added)); });
    service.deviceAddedHandlers.push_back({}); // an empty entry is skipped
    service.deviceAddedHandlers.push_back(
        [&](std::uint64_t added) { order.push("second " + std::to_string(added)); });
    service.start();

    device->hearTool(loopback, service.localPort());
    ASSERT_TRUE(order.waitForCount(2, 3s));
    EXPECT_EQ(order.values(), (std::vector<std::string>{"first " + std::to_string(id),
                                                        "second " + std::to_string(id)}));
    EXPECT_EQ(service.findDevice(id)->deviceType, 12u);

    Outcome<Named> name;
    ASSERT_TRUE(service.requestDeviceName(id, [&](std::uint64_t from, bool ok, std::string text) {
        name.push({from, ok, text});
    }));
    auto named = name.waitForFirst(3s);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->id, id);
    EXPECT_TRUE(named->ok);
    EXPECT_EQ(named->name, "Stage left");
    auto request = lastRequestAfter(*device, 102, 1);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->size(), 32u);
    EXPECT_EQ(Vorn::Wire::readFrameId(request->data() + 8), id);

    Outcome<Serial> serial;
    ASSERT_TRUE(service.requestSerialNumber(id, [&](std::uint64_t from, bool ok, unsigned value) {
        serial.push({from, ok, value});
    }));
    auto read = serial.waitForFirst(3s);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->ok);
    EXPECT_EQ(read->serial, 4242u);
    request = lastRequestAfter(*device, 814, 1);
    ASSERT_TRUE(request);
    ASSERT_EQ(request->size(), 36u);
    EXPECT_EQ(Vorn::Wire::readU32(request->data() + 28), 0u);

    // Read-modify-write: the board record goes back unchanged except the id.
    Outcome<Result> written;
    ASSERT_TRUE(service.setSerialNumber(id, 12345678u, [&](std::uint64_t from, WriteReply reply) {
        written.push({from, reply == WriteReply::Accepted});
    }));
    auto outcome = written.waitForFirst(3s);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->ok);
    auto write = lastRequestAfter(*device, 813, 1);
    ASSERT_TRUE(write);
    ASSERT_EQ(write->size(), 100u);
    EXPECT_EQ(Vorn::Wire::readU16(write->data() + 20), 100);
    EXPECT_EQ(Vorn::Wire::readU32(write->data() + 28), 0u);
    const auto record = patternedRecord();
    for (std::size_t i = 32; i < 96; ++i) {
        if (i >= 60 && i < 64)
            continue;
        EXPECT_EQ(static_cast<unsigned char>((*write)[i]), record[i - 32]) << "record byte " << i;
    }
    EXPECT_EQ(Vorn::Wire::readU32(write->data() + 60), 12345678u);
    EXPECT_EQ(device->device(id)->setup.serial, 12345678u);
    EXPECT_GE(countOf(*device, 814), 2u); // the write read the record first

    // A refusing device: a refusal (it answered), still exactly one callback.
    device->updateDeviceFaults(id, [](VornSim::Faults& faults) { faults.refuseWrites = true; });
    Outcome<Result> refused;
    ASSERT_TRUE(service.setSerialNumber(id, 7u, [&](std::uint64_t from, WriteReply reply) {
        refused.push({from, reply == WriteReply::Refused});
    }));
    outcome = refused.waitForFirst(3s);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->ok) << "refused, not unanswered";
    EXPECT_EQ(device->device(id)->setup.serial, 12345678u);

    // Select and deselect are single untracked datagrams.
    service.selectDevice(id);
    auto selected = lastRequestAfter(*device, 115, 1);
    service.deselectDevice(id);
    auto deselected = lastRequestAfter(*device, 115, 2);
    ASSERT_TRUE(selected);
    ASSERT_TRUE(deselected);
    EXPECT_EQ(selected->size(), 36u);
    EXPECT_EQ(Vorn::Wire::readU16(selected->data() + 28), 0xFFFF);
    EXPECT_EQ(Vorn::Wire::readU16(deselected->data() + 28), 0);
    EXPECT_EQ(Vorn::Wire::readU16(deselected->data() + 30), 0);

    EXPECT_EQ(name.size(), 1u);
    EXPECT_EQ(serial.size(), 1u);
    EXPECT_EQ(written.size(), 1u);
    EXPECT_EQ(refused.size(), 1u);
}

TEST(VornService, UnknownDeviceRefusesAndDropsTheCallbackUncalled) {
    SKIP_WITHOUT_ADAPTERS();
    const std::uint64_t unknown = 0x1234567800000001ull;
    auto witness = std::make_shared<int>(0);
    bool called = false;

    // Not started yet: nothing is known and nothing is sent.
    VornService service("127.0.0.1");
    EXPECT_FALSE(service.started());
    EXPECT_EQ(service.localPort(), 0u);
    EXPECT_FALSE(service.findDevice(unknown));
    EXPECT_FALSE(service.requestSerialNumber(
        unknown, [witness, &called](std::uint64_t, bool, unsigned) { called = true; }));
    service.selectDevice(unknown);

    service.start();
    ASSERT_TRUE(service.started());
    const auto port = service.localPort();
    EXPECT_NE(port, 0u);
    service.start(); // a second start changes nothing
    EXPECT_EQ(service.localPort(), port);

    EXPECT_FALSE(service.requestDeviceName(
        unknown, [witness, &called](std::uint64_t, bool, std::string) { called = true; }));
    EXPECT_FALSE(service.requestSerialNumber(
        unknown, [witness, &called](std::uint64_t, bool, unsigned) { called = true; }));
    EXPECT_FALSE(service.setSerialNumber(
        unknown, 1u, [witness, &called](std::uint64_t, WriteReply) { called = true; }));
    // Every copy of the callbacks is gone: none is left to be called later.
    EXPECT_EQ(witness.use_count(), 1);
    EXPECT_FALSE(called);

    service.selectDevice(unknown); // ignored, nothing thrown
    service.deselectDevice(unknown);
    EXPECT_FALSE(service.findDevice(unknown));
}

TEST(VornService, DestroyingWithPendingRequestsCallsNothing) {
    SKIP_WITHOUT_ADAPTERS();
    VornSim::Faults ignoring;
    ignoring.dropProbability = 1.0; // requests arrive and are never answered
    auto device = loopbackDevice(ignoring);

    auto witness = std::make_shared<int>(0);
    std::atomic<int> calls{0};
    {
        Outcome<std::uint64_t> added;
        VornService service("127.0.0.1");
        service.deviceAddedHandlers.push_back([&](std::uint64_t id) { added.push(id); });
        service.start();
        device->hearTool(loopback, service.localPort());
        ASSERT_TRUE(added.waitForFirst(3s));
        ASSERT_TRUE(service.requestSerialNumber(
            deviceId, [witness, &calls](std::uint64_t, bool, unsigned) { ++calls; }));
        ASSERT_TRUE(service.setSerialNumber(
            deviceId, 5u, [witness, &calls](std::uint64_t, WriteReply) { ++calls; }));
        ASSERT_TRUE(lastRequestAfter(*device, 814, 2)); // both requests are on the wire
    }
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(witness.use_count(), 1);
}

// A device that answers the tool's very first presence broadcast must reach
// the handlers registered before start(), and a handler that uses the
// controller (as the window's does) finds it fully built. Broadcasts reach the
// device only through the wildcard address, so this runs only in a private
// namespace (unshare --net with loopback up).
TEST(VornService, DeviceAnsweringTheFirstBroadcastIsNotLost) {
    VORN_REQUIRE_TEST_NAMESPACE();
    VornSim::DeviceSimulator device(stageLeft("0.0.0.0"));
    for (int round = 0; round < 50; ++round) {
        struct Seen {
            std::uint64_t id;
            unsigned deviceType;
            bool nameRequested;
        };
        Outcome<Seen> added;
        Outcome<Named> name;
        VornService service("127.0.0.1");
        service.deviceAddedHandlers.push_back([&](std::uint64_t id) {
            const unsigned type = service.findDevice(id)->deviceType;
            const bool requested =
                service.requestDeviceName(id, [&](std::uint64_t from, bool ok, std::string text) {
                    name.push({from, ok, text});
                });
            added.push({id, type, requested});
        });
        service.start();
        const auto first = added.waitForFirst(3s);
        ASSERT_TRUE(first) << "round " << round;
        EXPECT_EQ(first->id, deviceId);
        EXPECT_EQ(first->deviceType, 12u);
        EXPECT_TRUE(first->nameRequested);
        const auto named = name.waitForFirst(3s);
        ASSERT_TRUE(named) << "round " << round;
        EXPECT_EQ(named->name, "Stage left");
    }
    EXPECT_GE(device.counters().toolPresence, 50u);
}

} // namespace
