// The simulator driven over loopback by a plain UDP socket acting as a tool.

#include "DeviceSimulator.h"
#include "Options.h"
#include "Recorder.h"
#include "SimulatedDevices.h"
#include "wire/Message.h"
#include "wire/Wire.h"

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

using namespace VornSim;
namespace asio = boost::asio;
using udp = asio::ip::udp;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t toolId = 0x0000111100002222ull;
constexpr std::uint16_t toolType = 6;
constexpr std::uint64_t plainId = 0x0000000A0000000Bull;
constexpr std::uint64_t wrappedId = 0x0000000A0000000Cull;
constexpr auto patience = 5000ms;

struct Datagram {
    std::vector<char> bytes;
    udp::endpoint from;

    std::uint16_t command() const {
        return Vorn::Wire::readU16(bytes.data() + Vorn::Header::command);
    }
    std::uint32_t sequence() const {
        return Vorn::Wire::readU32(bytes.data() + Vorn::Header::sequence);
    }
    std::uint64_t sourceId() const { return Vorn::Wire::readFrameId(bytes.data()); }
    std::string sender() const { return from.address().to_string(); }
};

// The tool side: one socket on 127.0.0.1 talking to the simulator's port.
class Tool {
public:
    explicit Tool(std::uint16_t simulatorPort)
        : socket_(io_, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)),
          simulator_(asio::ip::make_address_v4("127.0.0.1"), simulatorPort) {}

    std::uint16_t port() const { return socket_.local_endpoint().port(); }

    void send(Vorn::Message& message) {
        Vorn::seal(message);
        socket_.send_to(asio::buffer(message.bytes), simulator_);
    }

    void announce() {
        Vorn::Command<Vorn::MSG_BroadcastID> presence(Vorn::Code::toolPresence, toolId, toolType);
        send(presence);
    }

    template <class T> Vorn::Command<T> request(std::uint64_t device) {
        return Vorn::Command<T>(toolId, device, toolType, 2);
    }

    // Sends a request without a body and returns its sequence.
    template <class T> std::uint32_t ask(std::uint64_t device) {
        auto message = request<T>(device);
        send(message);
        return message.sequence();
    }

    std::optional<Datagram> receive(std::chrono::milliseconds timeout = patience) {
        Datagram datagram;
        datagram.bytes.resize(65536);
        std::optional<Datagram> result;
        socket_.async_receive_from(asio::buffer(datagram.bytes), datagram.from,
                                   [&](const boost::system::error_code& error, std::size_t size) {
                                       if (error)
                                           return;
                                       datagram.bytes.resize(size);
                                       result = std::move(datagram);
                                   });
        io_.restart();
        io_.run_for(timeout);
        if (!io_.stopped()) {
            socket_.cancel();
            io_.run();
        }
        return result;
    }

    // The next datagram that is not a presence message.
    std::optional<Datagram> reply() {
        for (;;) {
            auto datagram = receive();
            if (!datagram || (datagram->command() != Vorn::Code::presence &&
                              datagram->command() != Vorn::Code::wrappedPresence))
                return datagram;
        }
    }

private:
    asio::io_context io_;
    udp::socket socket_;
    udp::endpoint simulator_;
};

// Wine turns a UDP socket bound to a loopback address into one bound to the
// loopback interface, so its datagrams leave from 127.0.0.1 whatever address
// was bound (Windows itself keeps the address).
bool sourceAddressesKept() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
#else
    return true;
#endif
}

void expectSender(const Datagram& datagram, const std::string& address) {
    if (sourceAddressesKept()) {
        EXPECT_EQ(datagram.sender(), address);
    }
}

DeviceSetup plainDevice() {
    DeviceSetup device = testDevice(plainId, 10, "FOH-Processor", "127.0.0.2", 1001);
    device.changeMarkA = 7;
    device.changeMarkB = -3;
    device.stationTag = {0x11223344, 0x55667788};
    return device;
}

DeviceSetup wrappedDevice() {
    DeviceSetup device = testDevice(wrappedId, 13, "Stage-Card", "127.0.0.3", 2002);
    device.typeWord = 0x4002;
    device.modeFlags = 0x42;
    device.wrapped = true;
    return device;
}

SimulatorConfig loopbackConfig() {
    SimulatorConfig config;
    config.port = 0;
    config.bindAddress = "127.0.0.1";
    config.devices = {plainDevice(), wrappedDevice()};
    return config;
}

std::array<char, 64> recordOf(const Datagram& reply) {
    std::array<char, 64> record{};
    std::memcpy(record.data(), reply.bytes.data() + Vorn::BoardRecord::offset, record.size());
    return record;
}

std::array<char, 64> asChars(const BoardRecord& record) {
    std::array<char, 64> chars{};
    std::memcpy(chars.data(), record.data(), record.size());
    return chars;
}

} // namespace

TEST(DeviceSimulator, AnswersToolPresenceAndKeepsAnnouncing) {
    SimulatorConfig config = loopbackConfig();
    config.presenceInterval = 200ms;
    DeviceSimulator simulator(config);
    Tool tool(simulator.port());
    tool.announce();

    // One presence per device at once, each from the device's own address.
    for (int i = 0; i < 2; ++i) {
        auto presence = tool.receive();
        ASSERT_TRUE(presence);
        const char* p = presence->bytes.data();
        if (presence->sourceId() == plainId) {
            expectSender(*presence, "127.0.0.2");
            ASSERT_EQ(presence->bytes.size(), Vorn::presenceSize);
            EXPECT_EQ(presence->command(), Vorn::Code::presence);
            EXPECT_EQ(Vorn::Wire::readFrameId(p + Vorn::Header::destinationId),
                      Vorn::presenceDestinationId);
            EXPECT_EQ(Vorn::Wire::readU16(p + Vorn::Header::sourceType), 2);
            EXPECT_EQ(Vorn::Wire::readI16(p + Vorn::Header::length), 100);
            EXPECT_EQ(presence->sequence(), 0u);
            const Vorn::Presence fields = Vorn::decodePresence(p, presence->bytes.size());
            EXPECT_EQ(fields.changeMarkA, 7);
            EXPECT_EQ(fields.changeMarkB, -3);
            EXPECT_EQ(fields.modeFlags, 0u);
            EXPECT_EQ(fields.deviceType, 10);
            EXPECT_EQ(fields.stationTag[0], 0x11223344u);
            EXPECT_EQ(fields.stationTag[1], 0x55667788u);
        } else {
            ASSERT_EQ(presence->sourceId(), wrappedId);
            expectSender(*presence, "127.0.0.3");
            ASSERT_EQ(presence->bytes.size(), Vorn::wrappedPresenceMinimum);
            EXPECT_EQ(presence->command(), Vorn::Code::wrappedPresence);
            EXPECT_EQ(Vorn::Wire::readI16(p + 28), 1);
            const char* inner = Vorn::unwrapPresence(p, presence->bytes.size());
            ASSERT_EQ(inner, p + Vorn::wrappedPresenceOffset);
            EXPECT_EQ(Vorn::Wire::readFrameId(inner), wrappedId);
            EXPECT_EQ(Vorn::Wire::readU16(inner + Vorn::Header::command), Vorn::Code::presence);
            EXPECT_EQ(Vorn::Wire::readI16(inner + Vorn::Header::length), 100);
            EXPECT_EQ(Vorn::Wire::readU16(inner + Vorn::Header::sourceType), 0x4002);
            const Vorn::Presence fields = Vorn::decodePresence(inner, Vorn::presenceSize);
            EXPECT_EQ(fields.deviceType, 13);
            EXPECT_EQ(Vorn::modeFromFlags(fields.modeFlags), 2u);
            // Nothing but the count and the embedded message.
            for (std::size_t i = 132; i < presence->bytes.size() - 4; ++i)
                ASSERT_EQ(presence->bytes[i], 0) << "byte " << i;
        }
    }
    EXPECT_EQ(simulator.counters().tools, 1u);

    // Then again on every round, without another presence from the tool.
    std::size_t plain = 0;
    std::size_t wrapped = 0;
    while (plain < 2 || wrapped < 2) {
        auto presence = tool.receive();
        ASSERT_TRUE(presence) << "presence rounds stopped";
        (presence->sourceId() == plainId ? plain : wrapped)++;
    }
    EXPECT_EQ(simulator.counters().toolPresence, 1u);
}

TEST(DeviceSimulator, RepliesEchoSequenceAndKeepTheBoardRecord) {
    TestSupport::Recorder<std::string> lines;
    DeviceSimulator simulator(loopbackConfig(),
                              [&](const SimEvent& event) { lines.push(formatEvent(event)); });
    Tool tool(simulator.port());

    // A request for an unknown frame is ignored; the next one is answered first.
    tool.ask<Vorn::MSG_GetDeviceConfig>(0x1234);
    const std::uint32_t nameSequence = tool.ask<Vorn::MSG_GetDeviceConfig>(plainId);
    auto name = tool.reply();
    ASSERT_TRUE(name);
    expectSender(*name, "127.0.0.2");
    EXPECT_EQ(name->bytes.size(), Vorn::deviceConfigReplyMinimum);
    EXPECT_EQ(name->command(), Vorn::Code::deviceConfigReply);
    EXPECT_EQ(name->sequence(), nameSequence);
    EXPECT_EQ(name->sourceId(), plainId);
    EXPECT_EQ(Vorn::Wire::readFrameId(name->bytes.data() + Vorn::Header::destinationId), toolId);
    EXPECT_EQ(Vorn::Wire::readI16(name->bytes.data() + Vorn::Header::length), 512);
    EXPECT_EQ(Vorn::decodeDeviceName(name->bytes.data(), name->bytes.size()), "FOH-Processor");
    EXPECT_EQ(simulator.counters().ignored, 1u);

    const std::uint32_t readSequence = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    auto board = tool.reply();
    ASSERT_TRUE(board);
    EXPECT_EQ(board->command(), Vorn::Code::boardIdReply);
    EXPECT_EQ(board->sequence(), readSequence);
    EXPECT_EQ(board->bytes.size(), Vorn::boardIdReplyMinimum);
    EXPECT_EQ(Vorn::decodeBoardId(board->bytes.data(), board->bytes.size()), 1001u);
    const auto original = recordOf(*board);
    EXPECT_EQ(original, asChars(defaultBoardRecord(plainId, 1001)));

    // Write back the record with a new board id, as the tool does.
    auto write = tool.request<Vorn::MSG_SetBoardID>(plainId);
    std::memcpy(write.data() + Vorn::BoardRecord::offset, original.data(), original.size());
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, 12345678);
    tool.send(write);
    auto ack = tool.reply();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->command(), Vorn::Code::acknowledgement);
    EXPECT_EQ(ack->sequence(), write.sequence());
    EXPECT_EQ(ack->bytes.size(), Vorn::acknowledgementMinimum);
    EXPECT_EQ(Vorn::decodeAckStatus(ack->bytes.data(), ack->bytes.size()), Vorn::ackAccepted);

    tool.ask<Vorn::MSG_GetBoardID>(plainId);
    auto reread = tool.reply();
    ASSERT_TRUE(reread);
    EXPECT_EQ(Vorn::decodeBoardId(reread->bytes.data(), reread->bytes.size()), 12345678u);
    auto expected = original;
    Vorn::Wire::writeU32(expected.data() + boardIdInRecord, 12345678);
    EXPECT_EQ(recordOf(*reread), expected);

    auto select = tool.request<Vorn::MSG_SelectMe>(plainId);
    Vorn::Wire::writeU16(select.data() + Vorn::MSG_SelectMe::select, 0xFFFF);
    tool.send(select);
    ASSERT_TRUE(simulator.waitUntil(
        [&] { return simulator.device(plainId)->selectMark == std::uint16_t{0xFFFF}; }, patience));

    const DeviceReport report = *simulator.device(plainId);
    EXPECT_EQ(report.setup.serial, 12345678u);
    ASSERT_TRUE(report.lastWrittenRecord);
    EXPECT_EQ(asChars(*report.lastWrittenRecord), expected); // byte for byte what was sent
    const std::map<std::uint16_t, std::uint64_t> counts{{102, 1}, {115, 1}, {813, 1}, {814, 2}};
    EXPECT_EQ(report.requestCounts, counts);
    ASSERT_EQ(report.lastRequest.size(), select.size());
    EXPECT_TRUE(std::equal(select.bytes.begin(), select.bytes.end(), report.lastRequest.begin()));
    EXPECT_EQ(simulator.device(wrappedId)->requestCounts.size(), 0u);

    simulator.stop();
    const std::string from = "from=127.0.0.1:" + std::to_string(tool.port());
    auto has = [seen = lines.values()](const std::string& line) {
        return std::find(seen.begin(), seen.end(), line) != seen.end();
    };
    EXPECT_TRUE(has("request device=0000000a:0000000b command=814 sequence=" +
                    std::to_string(readSequence) + " " + from));
    EXPECT_TRUE(has("serial-set device=0000000a:0000000b value=12345678"));
    EXPECT_TRUE(has("select device=0000000a:0000000b mark=ffff"));
    EXPECT_TRUE(has("ignored destination=00000000:00001234 command=102 sequence=" +
                    std::to_string(nameSequence - 1) + " " + from));
}

TEST(DeviceSimulator, FaultsShapeTheReplies) {
    SimulatorConfig config = loopbackConfig();
    config.faults.refuseWrites = true;
    DeviceSimulator simulator(config);
    Tool tool(simulator.port());

    // Refused write: acknowledgement 0, the board id stays, the record is kept.
    auto write = tool.request<Vorn::MSG_SetBoardID>(plainId);
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, 555);
    tool.send(write);
    auto ack = tool.reply();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->sequence(), write.sequence());
    EXPECT_EQ(Vorn::decodeAckStatus(ack->bytes.data(), ack->bytes.size()), 0);
    EXPECT_EQ(simulator.device(plainId)->setup.serial, 1001u);
    ASSERT_TRUE(simulator.device(plainId)->lastWrittenRecord);

    // Malformed and short for one device; the other keeps the global set.
    ASSERT_TRUE(simulator.updateDeviceFaults(plainId, [](Faults& f) { f.malformed = true; }));
    ASSERT_TRUE(simulator.setDeviceFaults(wrappedId, Faults{.shortReplies = true}));
    tool.ask<Vorn::MSG_GetBoardID>(plainId);
    auto wrongCode = tool.reply();
    ASSERT_TRUE(wrongCode);
    EXPECT_EQ(wrongCode->command(), Vorn::Code::boardIdReply + 1000);
    EXPECT_EQ(wrongCode->bytes.size(), Vorn::boardIdReplyMinimum);
    EXPECT_TRUE(simulator.device(plainId)->faults.refuseWrites); // started from the global set

    tool.ask<Vorn::MSG_GetDeviceConfig>(wrappedId);
    auto shortName = tool.reply();
    ASSERT_TRUE(shortName);
    EXPECT_EQ(shortName->command(), Vorn::Code::deviceConfigReply);
    EXPECT_EQ(shortName->bytes.size(), Vorn::deviceConfigReplyMinimum - 1);
    EXPECT_EQ(Vorn::Wire::readI16(shortName->bytes.data() + Vorn::Header::length), 511);
    EXPECT_FALSE(Vorn::decodeDeviceName(shortName->bytes.data(), shortName->bytes.size()));
    auto write2 = tool.request<Vorn::MSG_SetBoardID>(wrappedId);
    tool.send(write2);
    auto shortAck = tool.reply();
    ASSERT_TRUE(shortAck);
    EXPECT_EQ(shortAck->bytes.size(), Vorn::acknowledgementMinimum - 1);
    EXPECT_EQ(simulator.device(wrappedId)->setup.serial, 0u); // accepted: its own set allows it

    // Duplicates: the same reply twice.
    simulator.setDeviceFaults(plainId, Faults{.duplicate = true});
    const std::uint32_t twice = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    auto first = tool.reply();
    auto second = tool.reply();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->sequence(), twice);
    EXPECT_EQ(first->bytes, second->bytes);
}

TEST(DeviceSimulator, SilentAndDroppingDevicesSendNothing) {
    SimulatorConfig config = loopbackConfig();
    config.faults.silent = true;
    DeviceSimulator simulator(config);
    Tool tool(simulator.port());
    simulator.setDeviceFaults(plainId, Faults{});

    // Only the healthy device announces itself.
    tool.announce();
    auto presence = tool.receive();
    ASSERT_TRUE(presence);
    EXPECT_EQ(presence->sourceId(), plainId);

    // A silent device acts on a write but answers nothing: the next datagram
    // is the healthy device's reply to a later request.
    auto write = tool.request<Vorn::MSG_SetBoardID>(wrappedId);
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, 777);
    tool.send(write);
    const std::uint32_t barrier = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    auto next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), barrier);
    EXPECT_EQ(simulator.device(wrappedId)->setup.serial, 777u);

    // A dropped request is counted but not acted on.
    simulator.setDeviceFaults(wrappedId, Faults{.dropProbability = 1.0});
    tool.ask<Vorn::MSG_GetBoardID>(wrappedId);
    const std::uint32_t barrier2 = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), barrier2);
    EXPECT_EQ(simulator.counters().dropped, 1u);
    EXPECT_EQ(simulator.device(wrappedId)->requestCounts.at(Vorn::Code::getBoardId), 1u);

    // Faults change at run time.
    simulator.setDeviceFaults(wrappedId, Faults{});
    const std::uint32_t healed = tool.ask<Vorn::MSG_GetBoardID>(wrappedId);
    next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), healed);
    EXPECT_EQ(Vorn::decodeBoardId(next->bytes.data(), next->bytes.size()), 777u);
}

TEST(DeviceSimulator, LeftDeviceAndLostReplies) {
    DeviceSimulator simulator(loopbackConfig());
    Tool tool(simulator.port());

    // A device that has left neither announces itself nor acts on a write.
    ASSERT_TRUE(simulator.updateDeviceFaults(wrappedId, [](Faults& f) { f.gone = true; }));
    tool.announce();
    auto presence = tool.receive();
    ASSERT_TRUE(presence);
    EXPECT_EQ(presence->sourceId(), plainId);
    auto write = tool.request<Vorn::MSG_SetBoardID>(wrappedId);
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, 4242);
    tool.send(write);
    const std::uint32_t barrier = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    auto next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), barrier);
    EXPECT_EQ(simulator.device(wrappedId)->setup.serial, 2002u);
    EXPECT_FALSE(simulator.device(wrappedId)->lastWrittenRecord);

    // Lost replies: the write takes effect, its acknowledgement never leaves;
    // the next request is answered again. A board-id reply does not count
    // against acknowledgements to lose.
    ASSERT_TRUE(simulator.loseReplies(plainId, 1, Vorn::Code::acknowledgement));
    const std::uint32_t read = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), read);
    auto lostWrite = tool.request<Vorn::MSG_SetBoardID>(plainId);
    Vorn::Wire::writeU32(lostWrite.data() + Vorn::BoardRecord::boardId, 5151);
    tool.send(lostWrite);
    const std::uint32_t after = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), after);
    EXPECT_EQ(Vorn::decodeBoardId(next->bytes.data(), next->bytes.size()), 5151u);
    EXPECT_EQ(simulator.device(plainId)->repliesToLose, 0u);
    EXPECT_EQ(formatEvent({.kind = EventKind::ReplyLost,
                           .device = plainId,
                           .command = 2,
                           .sequence = 7,
                           .address = 0x7F000001,
                           .port = 4000}),
              "reply-lost device=0000000a:0000000b command=2 sequence=7 to=127.0.0.1:4000");
}

TEST(DeviceSimulator, HeldRepliesLeaveInOrderWhenReleased) {
    DeviceSimulator simulator(loopbackConfig());
    Tool tool(simulator.port());
    EXPECT_FALSE(simulator.holdReplies(0x1234));
    EXPECT_FALSE(simulator.releaseReplies(0x1234));

    // The held device acts on a write and a read, and answers neither yet.
    ASSERT_TRUE(simulator.holdReplies(plainId));
    auto write = tool.request<Vorn::MSG_SetBoardID>(plainId);
    Vorn::Wire::writeU32(write.data() + Vorn::BoardRecord::boardId, 6161);
    tool.send(write);
    const std::uint32_t read = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    ASSERT_TRUE(
        simulator.waitUntil([&] { return simulator.device(plainId)->repliesHeld == 2; }, patience));
    DeviceReport held = *simulator.device(plainId);
    EXPECT_TRUE(held.holdingReplies);
    EXPECT_EQ(held.setup.serial, 6161u) << "acted on while its reply waits";
    EXPECT_EQ(held.repliesSent, 0u);

    // Another device answers meanwhile, and its reply is the first to arrive.
    const std::uint32_t other = tool.ask<Vorn::MSG_GetBoardID>(wrappedId);
    auto next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sourceId(), wrappedId);
    EXPECT_EQ(next->sequence(), other);

    // Released: both replies leave in the order they were made.
    ASSERT_TRUE(simulator.releaseReplies(plainId));
    next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->command(), Vorn::Code::acknowledgement);
    EXPECT_EQ(next->sequence(), write.sequence());
    next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), read);
    EXPECT_EQ(Vorn::decodeBoardId(next->bytes.data(), next->bytes.size()), 6161u);
    const DeviceReport released = *simulator.device(plainId);
    EXPECT_FALSE(released.holdingReplies);
    EXPECT_EQ(released.repliesHeld, 0u);
    EXPECT_EQ(released.repliesSent, 2u);

    // No longer held: the next request is answered at once.
    const std::uint32_t again = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    next = tool.reply();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->sequence(), again);
}

TEST(DeviceSimulator, DelayedDeviceDoesNotHoldUpOthers) {
    DeviceSimulator simulator(loopbackConfig());
    simulator.setDeviceFaults(wrappedId, Faults{.delayMs = 300});
    Tool tool(simulator.port());

    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t slow = tool.ask<Vorn::MSG_GetBoardID>(wrappedId);
    const std::uint32_t fast = tool.ask<Vorn::MSG_GetBoardID>(plainId);
    auto first = tool.reply();
    auto second = tool.reply();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->sequence(), fast);
    EXPECT_EQ(second->sequence(), slow);
    EXPECT_GE(elapsed, 300ms); // a timer never fires early
}

TEST(DeviceSimulator, ConcurrentTrafficIsAnsweredCompletely) {
    SimulatorConfig config = loopbackConfig();
    config.presenceInterval = 5ms;
    DeviceSimulator simulator(config);
    simulator.setDeviceFaults(wrappedId, Faults{.delayMs = 2, .duplicate = true});
    Tool tool(simulator.port());
    tool.announce(); // presence rounds run alongside the requests

    // Queries and changes from another thread while both I/O threads work.
    std::atomic<bool> done{false};
    std::thread meddler([&] {
        for (std::int32_t mark = 0; !done; ++mark) {
            simulator.setChangeMarks(plainId, mark, 0);
            EXPECT_TRUE(simulator.device(wrappedId));
            simulator.counters();
        }
    });

    // Windows of 20 requests keep the tool's receive buffer from overflowing.
    std::map<std::uint32_t, int> answers;
    std::map<std::uint32_t, int> expected;
    for (int window = 0; window < 10; ++window) {
        int awaited = 0;
        for (int i = 0; i < 20; ++i) {
            const bool slow = i % 2 == 0;
            expected[tool.ask<Vorn::MSG_GetBoardID>(slow ? wrappedId : plainId)] = slow ? 2 : 1;
            awaited += slow ? 2 : 1;
        }
        for (; awaited > 0; --awaited) {
            auto reply = tool.reply();
            ASSERT_TRUE(reply) << awaited << " replies missing";
            ++answers[reply->sequence()];
        }
    }
    done = true;
    meddler.join();
    EXPECT_EQ(answers, expected);
    EXPECT_EQ(simulator.counters().requests, 200u);
}

TEST(DeviceSimulatorOptions, ParsesDevicesAndRejectsBadInput) {
    const DeviceSetup device =
        parseDeviceSetup("id=0000000a:0000000b,type=12,name=Amp Rack,address=127.0.0.9,serial=0x10,"
                         "mode=0x42,typeword=3,wrapped=1,changemark=-5,tag=1122334455667788");
    EXPECT_EQ(device.id, 0x0000000A0000000Bull);
    EXPECT_EQ(device.deviceType, 12);
    EXPECT_EQ(device.name, "Amp Rack");
    EXPECT_EQ(device.address, "127.0.0.9");
    EXPECT_EQ(device.serial, 16u);
    EXPECT_EQ(device.modeFlags, 0x42u);
    EXPECT_EQ(device.typeWord, 3);
    EXPECT_TRUE(device.wrapped);
    EXPECT_EQ(device.changeMarkA, -5);
    EXPECT_EQ(device.stationTag[0], 0x11223344u);
    EXPECT_EQ(device.stationTag[1], 0x55667788u);
    EXPECT_EQ(parseDeviceSetup("id=0x0000000a0000000b").id, 0x0000000A0000000Bull);

    const ProgramOptions options = parseOptions(
        {"--devices", "6", "--address-count", "4", "--port", "0", "--drop", "0.5", "--quiet"});
    ASSERT_EQ(options.config.devices.size(), 6u);
    EXPECT_EQ(options.config.devices[5].id, options.config.devices[0].id + 5);
    EXPECT_EQ(options.config.devices[5].deviceType, 11);
    EXPECT_EQ(options.config.devices[3].address, "127.0.0.5");
    EXPECT_EQ(options.config.devices[4].address, "127.0.0.2");
    EXPECT_EQ(options.config.faults.dropProbability, 0.5);
    EXPECT_TRUE(options.quiet);
    EXPECT_FALSE(parseOptions({}).config.devices.empty());

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--port", "70000"},
                                               {"--port"},
                                               {"--drop", "1.5"},
                                               {"--device", "type=10"},
                                               {"--device", "id=1,typeword=6"},
                                               {"--device", "id=1,typeword=0x4001"},
                                               {"--device", "id=1,colour=red"},
                                               {"--device", "id=1,address=127.0.0.256"},
                                               {"--frobnicate"}})
        EXPECT_THROW(parseOptions(bad), UsageError) << bad[0];

    SimulatorConfig twice = loopbackConfig();
    twice.devices.push_back(plainDevice());
    EXPECT_THROW(DeviceSimulator{twice}, std::invalid_argument);
}

TEST(DeviceSimulatorOptions, RepeatsKeepTheirOrderAndErrorsNameTheOption) {
    const ProgramOptions options =
        parseOptions({"--device", "id=1,name=first", "--port", "7000", "--device",
                      "id=2,name=second", "--port", "0", "--devices", "2", "--stdin-control"});
    ASSERT_EQ(options.config.devices.size(), 4u); // the given ones, then the generated ones
    EXPECT_EQ(options.config.devices[0].name, "first");
    EXPECT_EQ(options.config.devices[1].name, "second");
    EXPECT_EQ(options.config.devices[2].name, "sim-0001");
    EXPECT_EQ(options.config.port, 0); // the last --port counts
    EXPECT_TRUE(options.stdinControl);
    EXPECT_TRUE(parseOptions({"--version"}).version);
    EXPECT_TRUE(parseOptions({"-h"}).help);

    auto message = [](const std::vector<std::string>& arguments) {
        try {
            parseOptions(arguments);
        } catch (const UsageError& failure) {
            return std::string(failure.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message({"--port"}), "--port needs a value");
    EXPECT_EQ(message({"--port", "x"}), "bad port 'x'");
    EXPECT_EQ(message({"--frobnicate"}), "unknown option '--frobnicate'");
    EXPECT_EQ(message({"stray"}), "unknown option 'stray'");
    EXPECT_EQ(message({"--quiet=1"}), "--quiet takes no value");
    EXPECT_EQ(message({"--threads", "0"}), "--threads takes 1 or 2");

    // Every option of the help is one the parser knows.
    std::istringstream help(usage("vornsim"));
    int listed = 0;
    for (std::string line; std::getline(help, line);) {
        if (line.rfind("  --", 0) != 0)
            continue;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        EXPECT_NE(message({name}), "unknown option '" + name + "'") << name;
        ++listed;
    }
    EXPECT_EQ(listed, 23); // and -h, --help
}
