// The simulated devices without sockets: bytes in, datagrams out, the time
// passed in. What depends on time (a tool's lifetime) is checked to the
// millisecond here; the network shell is tested over loopback in
// DeviceSimulatorTests.cpp.

#include "SimText.h"
#include "SimulatedRack.h"
#include "wire/Message.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

using namespace VornSim;
using namespace std::chrono_literals;

namespace {

// The tool that talks to the rack, and a second one on another port.
constexpr std::uint64_t toolId = 0x0000111100002222ull;
constexpr Endpoint tool{0x7F000001, 40000}; // 127.0.0.1:40000
constexpr Endpoint otherTool{0x7F000001, 40001};
constexpr std::uint16_t toolType = 6;

// The devices of twoDevices(), on 127.0.0.2 and 127.0.0.3.
constexpr std::uint64_t firstId = 0x0000000A0000000Bull;
constexpr std::uint64_t secondId = 0x0000000A0000000Cull;

using Time = SimulatedRack::Clock::time_point;
const Time start{std::chrono::hours(1)};

SimulatorConfig twoDevices() {
    SimulatorConfig config;
    DeviceSetup first;
    first.id = firstId;
    first.name = "Stage left";
    first.address = "127.0.0.2";
    first.serial = 1001;
    DeviceSetup second = first;
    second.id = secondId;
    second.name = "Stage right";
    second.address = "127.0.0.3";
    config.devices = {first, second};
    return config;
}

std::vector<char> toolPresence() {
    Vorn::Command<Vorn::MSG_BroadcastID> presence(Vorn::Code::toolPresence, toolId, toolType);
    Vorn::seal(presence);
    return presence.bytes;
}

template <class T> std::vector<char> request(std::uint64_t device) {
    Vorn::Command<T> message(toolId, device, toolType, 2);
    Vorn::seal(message);
    return message.bytes;
}

SimulatedRack::Output deliver(SimulatedRack& rack, const std::vector<char>& bytes, Time at = start,
                              Endpoint from = tool) {
    return rack.receive(bytes.data(), bytes.size(), from, at);
}

std::uint16_t commandOf(const Datagram& datagram) {
    return Vorn::Wire::readU16(datagram.bytes->data() + Vorn::Header::command);
}

std::vector<EventKind> kinds(const SimulatedRack::Output& output) {
    std::vector<EventKind> out;
    for (const SimEvent& event : output.events)
        out.push_back(event.kind);
    return out;
}

} // namespace

TEST(SimulatedRack, AToolIsAnnouncedToAtOnceAndEveryRoundUntilItsLifetimeEnds) {
    SimulatedRack rack(twoDevices());
    EXPECT_TRUE(rack.presenceRound(start).datagrams.empty()); // no tool heard yet

    const auto heard = deliver(rack, toolPresence());
    EXPECT_EQ(kinds(heard), (std::vector<EventKind>{EventKind::ToolHeard}));
    ASSERT_EQ(heard.datagrams.size(), 2u);
    EXPECT_EQ(heard.datagrams[0].from, 0x7F000002u); // each from its own address, in order
    EXPECT_EQ(heard.datagrams[1].from, 0x7F000003u);
    for (const Datagram& presence : heard.datagrams) {
        EXPECT_EQ(presence.to, tool);
        EXPECT_EQ(commandOf(presence), Vorn::Code::presence);
        EXPECT_EQ(presence.bytes->size(), Vorn::presenceSize);
        EXPECT_FALSE(presence.report);
    }
    // Heard again within its lifetime: nothing new, no extra presence.
    EXPECT_TRUE(deliver(rack, toolPresence(), start + 5s).datagrams.empty());

    // The lifetime (10 s) counts from the last time it was heard.
    EXPECT_EQ(rack.presenceRound(start + 15s).datagrams.size(), 2u);
    EXPECT_EQ(rack.counters(start + 15s).tools, 1u);
    const auto lost = rack.presenceRound(start + 15s + 1ms);
    EXPECT_EQ(kinds(lost), (std::vector<EventKind>{EventKind::ToolLost}));
    EXPECT_TRUE(lost.datagrams.empty());
    EXPECT_EQ(rack.counters(start + 15s + 1ms).tools, 0u);

    // A tool silent beyond its lifetime is new again even before a round removed it.
    deliver(rack, toolPresence(), start + 20s, otherTool);
    EXPECT_EQ(kinds(deliver(rack, toolPresence(), start + 30s + 1ms, otherTool)),
              (std::vector<EventKind>{EventKind::ToolHeard}));
    EXPECT_EQ(rack.counters(start + 31s).presence, 8u);
}

TEST(SimulatedRack, RequestsAreAnsweredToTheirSenderWithTheirSequence) {
    SimulatedRack rack(twoDevices());
    const auto ask = request<Vorn::MSG_GetDeviceConfig>(secondId);
    const auto out = deliver(rack, ask);
    EXPECT_EQ(kinds(out), (std::vector<EventKind>{EventKind::Request}));
    ASSERT_EQ(out.datagrams.size(), 1u);
    const Datagram& reply = out.datagrams[0];
    EXPECT_EQ(reply.from, 0x7F000003u);
    EXPECT_EQ(reply.to, tool);
    EXPECT_EQ(reply.copies, 1);
    const char* bytes = reply.bytes->data();
    EXPECT_EQ(commandOf(reply), Vorn::Code::deviceConfigReply);
    EXPECT_EQ(Vorn::Wire::readU32(bytes + Vorn::Header::sequence),
              Vorn::Wire::readU32(ask.data() + Vorn::Header::sequence));
    EXPECT_EQ(Vorn::Wire::readFrameId(bytes), secondId);
    EXPECT_EQ(Vorn::Wire::readFrameId(bytes + Vorn::Header::destinationId), toolId);
    EXPECT_STREQ(bytes + Vorn::deviceNameOffset, "Stage right");
    ASSERT_TRUE(reply.report);
    EXPECT_EQ(reply.report->kind, EventKind::Reply);
    EXPECT_EQ(reply.report->value, reply.bytes->size());

    // Unknown destinations and scraps are ignored, and counted.
    EXPECT_EQ(kinds(deliver(rack, request<Vorn::MSG_GetDeviceConfig>(0x99))),
              (std::vector<EventKind>{EventKind::Ignored}));
    EXPECT_EQ(kinds(deliver(rack, std::vector<char>(10, 0))),
              (std::vector<EventKind>{EventKind::Ignored}));
    const Counters counters = rack.counters(start);
    EXPECT_EQ(counters.datagrams, 3u);
    EXPECT_EQ(counters.requests, 1u);
    EXPECT_EQ(counters.ignored, 2u);
    EXPECT_EQ(counters.replies, 1u);
    EXPECT_EQ(rack.device(secondId)->requestCounts.at(Vorn::Code::getDeviceConfig), 1u);
    EXPECT_EQ(rack.device(secondId)->lastRequest, ask);
}

TEST(SimulatedRack, FaultsDecideWhatLeaves) {
    SimulatedRack rack(twoDevices());
    const auto read = request<Vorn::MSG_GetBoardID>(firstId);

    Faults shaped;
    shaped.delayMs = 250;
    shaped.duplicate = true;
    shaped.malformed = true;
    shaped.shortReplies = true;
    ASSERT_TRUE(rack.setDeviceFaults(firstId, shaped));
    auto out = deliver(rack, read);
    ASSERT_EQ(out.datagrams.size(), 1u);
    EXPECT_EQ(out.datagrams[0].delayMs, 250u);
    EXPECT_EQ(out.datagrams[0].copies, 2);
    EXPECT_EQ(commandOf(out.datagrams[0]), Vorn::Code::boardIdReply + 1000);
    EXPECT_EQ(out.datagrams[0].bytes->size(), Vorn::boardIdReplyMinimum - 1);
    EXPECT_EQ(rack.counters(start).replies, 2u); // both copies

    Faults silent;
    silent.silent = true;
    ASSERT_TRUE(rack.setDeviceFaults(firstId, silent));
    out = deliver(rack, read);
    EXPECT_TRUE(out.datagrams.empty());
    EXPECT_EQ(kinds(out), (std::vector<EventKind>{EventKind::Request}));

    Faults gone;
    gone.gone = true;
    ASSERT_TRUE(rack.setDeviceFaults(firstId, gone));
    EXPECT_EQ(kinds(deliver(rack, read)),
              (std::vector<EventKind>{EventKind::Request, EventKind::Unheard}));
    EXPECT_EQ(deliver(rack, toolPresence()).datagrams.size(), 1u); // only the other announces

    // The global set applies again to a device whose own set is taken away.
    Faults dropAll;
    dropAll.dropProbability = 1.0;
    rack.setFaults(dropAll);
    ASSERT_TRUE(rack.setDeviceFaults(firstId, std::nullopt));
    EXPECT_EQ(kinds(deliver(rack, read)),
              (std::vector<EventKind>{EventKind::Request, EventKind::Dropped}));
    EXPECT_EQ(rack.counters(start).dropped, 1u);
    EXPECT_FALSE(rack.setDeviceFaults(0x99, dropAll));
}

TEST(SimulatedRack, WritesChangeTheRecordUnlessRefused) {
    SimulatedRack rack(twoDevices());
    const BoardRecord before = rack.device(firstId)->boardRecord;
    Vorn::Command<Vorn::MSG_SetBoardID> write(toolId, firstId, toolType, 2);
    std::memcpy(write.data() + Vorn::BoardRecord::offset, before.data(), before.size());
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, 4242);
    Vorn::seal(write);

    auto out = deliver(rack, write.bytes);
    EXPECT_EQ(kinds(out), (std::vector<EventKind>{EventKind::Request, EventKind::SerialSet}));
    ASSERT_EQ(out.datagrams.size(), 1u);
    EXPECT_EQ(Vorn::Wire::readI32(out.datagrams[0].bytes->data() + Vorn::Header::size),
              Vorn::ackAccepted);
    const DeviceReport written = *rack.device(firstId);
    EXPECT_EQ(written.setup.serial, 4242u);
    BoardRecord expected = before;
    Vorn::Wire::writeU32(reinterpret_cast<char*>(expected.data()) + boardIdInRecord, 4242);
    EXPECT_EQ(written.boardRecord, expected); // only the board id changed
    EXPECT_EQ(written.lastWrittenRecord, expected);

    rack.updateDeviceFaults(firstId, [](Faults& faults) { faults.refuseWrites = true; });
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, 7);
    Vorn::seal(write);
    out = deliver(rack, write.bytes);
    EXPECT_EQ(kinds(out), (std::vector<EventKind>{EventKind::Request, EventKind::WriteRefused}));
    EXPECT_EQ(Vorn::Wire::readI32(out.datagrams[0].bytes->data() + Vorn::Header::size), 0);
    EXPECT_EQ(rack.device(firstId)->setup.serial, 4242u);
}

TEST(SimulatedRack, HeldRepliesLeaveInOrderAndLostOnesNever) {
    SimulatedRack rack(twoDevices());
    ASSERT_TRUE(rack.changeDevice(firstId, [](SimulatedDevice& device) { device.hold(); }));
    const auto name = request<Vorn::MSG_GetDeviceConfig>(firstId);
    const auto serial = request<Vorn::MSG_GetBoardID>(firstId);
    EXPECT_TRUE(deliver(rack, name).datagrams.empty());
    EXPECT_TRUE(deliver(rack, serial).datagrams.empty());
    EXPECT_EQ(rack.device(firstId)->repliesHeld, 2u);
    EXPECT_EQ(rack.counters(start).replies, 0u); // counted when they leave

    const auto released = rack.releaseReplies(firstId);
    ASSERT_TRUE(released);
    ASSERT_EQ(released->datagrams.size(), 2u);
    EXPECT_EQ(commandOf(released->datagrams[0]), Vorn::Code::deviceConfigReply);
    EXPECT_EQ(commandOf(released->datagrams[1]), Vorn::Code::boardIdReply);
    EXPECT_EQ(rack.counters(start).replies, 2u);
    EXPECT_FALSE(rack.device(firstId)->holdingReplies);
    EXPECT_FALSE(rack.releaseReplies(0x99));

    // Lose the next two board-id replies only: the name still comes back.
    ASSERT_TRUE(rack.changeDevice(
        firstId, [](SimulatedDevice& device) { device.loseReplies(2, Vorn::Code::boardIdReply); }));
    EXPECT_EQ(kinds(deliver(rack, serial)),
              (std::vector<EventKind>{EventKind::Request, EventKind::ReplyLost}));
    EXPECT_EQ(deliver(rack, name).datagrams.size(), 1u);
    EXPECT_TRUE(deliver(rack, serial).datagrams.empty());
    EXPECT_EQ(deliver(rack, serial).datagrams.size(), 1u);
    EXPECT_EQ(rack.device(firstId)->repliesToLose, 0u);
}

TEST(SimulatedRack, BadConfigurationsAreRefusedByName) {
    const auto refused = [](const std::function<void(SimulatorConfig&)>& spoil) {
        SimulatorConfig config = twoDevices();
        spoil(config);
        try {
            SimulatedRack rack(config);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refused([](SimulatorConfig& c) { c.devices[1].id = firstId; }),
              "device 0000000a:0000000b: frame id used twice");
    EXPECT_EQ(refused([](SimulatorConfig& c) { c.devices[0].address = "127.0.0"; }),
              "device 0000000a:0000000b: bad address 127.0.0");
    EXPECT_EQ(refused([](SimulatorConfig& c) { c.devices[0].typeWord = 0x4006; }),
              "device 0000000a:0000000b: type word 16390 is not a device type");
    EXPECT_EQ(refused([](SimulatorConfig& c) { c.bindAddress = "0.0.0.256"; }),
              "bad bind address 0.0.0.256");
    EXPECT_EQ(refused([](SimulatorConfig& c) { c.faults.dropProbability = 1.5; }),
              "the drop probability must lie between 0 and 1");
    EXPECT_EQ(refused([](SimulatorConfig&) {}), "accepted");
}

TEST(SimText, AddressesReadAsDottedQuadsOnly) {
    EXPECT_EQ(parseAddress("127.0.0.2"), 0x7F000002u);
    EXPECT_EQ(parseAddress("0.0.0.0"), 0u);
    EXPECT_EQ(parseAddress("255.255.255.255"), 0xFFFFFFFFu);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.0.0.1", "1..2.3", "01.2.3.4",
                            "1.2.3.4 ", "a.b.c.d", "1234.1.1.1"})
        EXPECT_FALSE(parseAddress(bad)) << bad;
    EXPECT_EQ(formatAddress(0x7F000002), "127.0.0.2");
    EXPECT_EQ(formatId(firstId), "0000000a:0000000b");
}

TEST(SimulatedRack, ARequestWithAWrongCheckValueOrLengthIsNotActedOn) {
    SimulatedRack rack(twoDevices());
    auto damaged = request<Vorn::MSG_GetBoardID>(firstId);
    damaged[29] ^= 0x01; // a body bit: the check value no longer fits
    auto out = deliver(rack, damaged);
    EXPECT_EQ(kinds(out), (std::vector<EventKind>{EventKind::Ignored}));
    EXPECT_TRUE(out.datagrams.empty());

    auto longer = request<Vorn::MSG_GetBoardID>(firstId);
    longer.insert(longer.end() - 4, {0, 0}); // two bytes more than its length field says
    out = deliver(rack, longer);
    EXPECT_EQ(kinds(out), (std::vector<EventKind>{EventKind::Ignored}));
    EXPECT_EQ(rack.device(firstId)->requestCounts.count(Vorn::Code::getBoardId), 0u);

    out = deliver(rack, request<Vorn::MSG_GetBoardID>(firstId)); // the whole request
    EXPECT_EQ(out.datagrams.size(), 1u);
}

// A write sealed as the tool seals it, of `serial` into the device's record.
std::vector<char> writeOf(SimulatedRack& rack, std::uint64_t id, std::uint32_t serial) {
    const BoardRecord record = rack.device(id)->boardRecord;
    Vorn::Command<Vorn::MSG_SetBoardID> write(toolId, id, toolType, 2);
    std::memcpy(write.data() + Vorn::BoardRecord::offset, record.data(), record.size());
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, serial);
    Vorn::seal(write);
    return write.bytes;
}

TEST(SimulatedRack, KeepSerialAcknowledgesAWriteAndKeepsTheOldNumber) {
    SimulatedRack rack(twoDevices());
    rack.updateDeviceFaults(firstId, [](Faults& faults) { faults.keepSerial = true; });
    const auto out = deliver(rack, writeOf(rack, firstId, 4242));
    EXPECT_EQ(kinds(out), (std::vector<EventKind>{EventKind::Request, EventKind::WriteRefused}));
    ASSERT_EQ(out.datagrams.size(), 1u);
    EXPECT_EQ(Vorn::Wire::readI32(out.datagrams[0].bytes->data() + 28), -2); // accepted, it says
    EXPECT_EQ(rack.device(firstId)->setup.serial, 1001u);

    const auto readBack = deliver(rack, request<Vorn::MSG_GetBoardID>(firstId));
    ASSERT_EQ(readBack.datagrams.size(), 1u);
    EXPECT_EQ(Vorn::Wire::readU32(readBack.datagrams[0].bytes->data() + 60), 1001u);
}

TEST(SimulatedRack, MuteAfterWriteAnswersTheWriteThenNothingUntilSwitchedOff) {
    SimulatedRack rack(twoDevices());
    rack.updateDeviceFaults(firstId, [](Faults& faults) { faults.muteAfterWrite = true; });
    const auto name = request<Vorn::MSG_GetDeviceConfig>(firstId);
    EXPECT_EQ(deliver(rack, name).datagrams.size(), 1u); // answers before the write

    const auto write = deliver(rack, writeOf(rack, firstId, 4242));
    ASSERT_EQ(write.datagrams.size(), 1u);
    EXPECT_EQ(commandOf(write.datagrams[0]), Vorn::Code::acknowledgement);
    EXPECT_EQ(rack.device(firstId)->setup.serial, 4242u);

    const auto readBack = deliver(rack, request<Vorn::MSG_GetBoardID>(firstId));
    EXPECT_TRUE(readBack.datagrams.empty());
    EXPECT_EQ(kinds(readBack), (std::vector<EventKind>{EventKind::Request, EventKind::ReplyLost}));
    EXPECT_TRUE(rack.device(firstId)->mutedByWrite);
    EXPECT_EQ(deliver(rack, request<Vorn::MSG_GetBoardID>(secondId)).datagrams.size(), 1u);

    rack.updateDeviceFaults(firstId, [](Faults& faults) { faults.muteAfterWrite = false; });
    EXPECT_EQ(deliver(rack, request<Vorn::MSG_GetBoardID>(firstId)).datagrams.size(), 1u);
    EXPECT_FALSE(rack.device(firstId)->mutedByWrite);
}
