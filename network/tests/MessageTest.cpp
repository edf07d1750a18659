#include "wire/Message.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

using namespace Vorn;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const Message& message) {
    return Bytes(message.bytes.begin(), message.bytes.end());
}

std::vector<char> chars(std::initializer_list<unsigned char> values) {
    return std::vector<char>(values.begin(), values.end());
}

// Sets the process-wide counter for the duration of one test and restores it.
class SequenceScope {
public:
    explicit SequenceScope(std::uint32_t value) : saved_(nextSequence.load()) {
        nextSequence.store(value);
    }
    ~SequenceScope() { nextSequence.store(saved_); }

private:
    std::uint32_t saved_;
};

struct ExpectedHeader {
    std::size_t size;
    std::uint64_t sourceId;
    std::uint64_t destinationId;
    std::uint16_t sourceType;
    std::uint16_t destinationType;
    std::uint16_t command;
    std::uint32_t sequence;
};

// Checks every byte of a freshly built message: the header fields and zeros
// everywhere else.
void expectBuilt(const Message& message, const ExpectedHeader& e) {
    ASSERT_TRUE(message.valid);
    ASSERT_EQ(message.size(), e.size);
    std::vector<char> expected(e.size, 0);
    Wire::writeFrameId(expected.data() + 0, e.sourceId);
    Wire::writeFrameId(expected.data() + 8, e.destinationId);
    Wire::writeU16(expected.data() + 16, e.sourceType);
    Wire::writeU16(expected.data() + 18, e.destinationType);
    Wire::writeU16(expected.data() + 20, static_cast<std::uint16_t>(e.size));
    Wire::writeU16(expected.data() + 22, e.command);
    Wire::writeU32(expected.data() + 24, e.sequence);
    EXPECT_EQ(message.bytes, expected);
    EXPECT_EQ(message.command(), e.command);
    EXPECT_EQ(message.sequence(), e.sequence);
}

std::vector<char> fromHex(const std::string& hex) {
    std::vector<char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

TEST(MessageTest, SealWorkedExample) {
    SequenceScope sequence(0);
    Command<MSG_GetDeviceConfig> message(0x0000000200000001ull, 0x0000000400000003ull, 6, 1);
    const Bytes header = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00,
                          0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00,
                          0x20, 0x00, 0x66, 0x00, 0x01, 0x00, 0x00, 0x00};
    Bytes expected = header;
    expected.insert(expected.end(), {0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(bytesOf(message), expected);

    seal(message);
    expected = header;
    expected.insert(expected.end(), {0xCA, 0x41, 0x00, 0x00});
    EXPECT_EQ(bytesOf(message), expected);

    // Sealing again gives the same value: the old check bytes are not summed.
    message.bytes[29] = 0x55;
    seal(message);
    EXPECT_EQ(bytesOf(message), expected);
}

TEST(MessageTest, SealFeedbackAndLengthHandling) {
    // A longer message exercises the bit-31/bit-18 feedback; only the last four
    // bytes change.
    SequenceScope sequence(0x12345678);
    Command<MSG_SetBoardID> message(0xA1B2C3D4E5F60718ull, 0x1122334455667788ull, 6, 12);
    for (std::size_t i = 28; i < 96; ++i)
        message.bytes[i] = static_cast<char>(i * 37 + 11);
    const auto before = message.bytes;
    seal(message);
    EXPECT_TRUE(std::equal(before.begin(), before.end() - 4, message.bytes.begin()));
    // Worked out by hand from the protocol's description of the check value.
    EXPECT_EQ(Wire::readU32(message.data() + 96), 0xFB9CF8B9u);

    // Declared length far beyond the buffer: the sum stops at the last four
    // bytes (under AddressSanitizer this also proves no read past the end).
    Message longer;
    longer.bytes.assign(32, 0x11);
    Wire::writeU16(longer.data() + 20, 0x7FF0);
    seal(longer);
    EXPECT_EQ(Wire::readU32(longer.data() + 28), 0x03C0B87Fu); // 0x1111 words, 0x7FF0 at 20

    // Negative length: no words, check value 0.
    Message negative;
    negative.bytes.assign(32, 0x22);
    Wire::writeU16(negative.data() + 20, 0x8000);
    seal(negative);
    EXPECT_EQ(Wire::readU32(negative.data() + 28), 0u);

    // Length 6: exactly one word (bytes 0..1).
    Message oneWord;
    oneWord.bytes.assign(32, 0);
    oneWord.bytes[0] = 0x34;
    oneWord.bytes[1] = 0x12;
    Wire::writeU16(oneWord.data() + 20, 6);
    seal(oneWord);
    EXPECT_EQ(Wire::readU32(oneWord.data() + 28), 0x1234u);

    // Too short to hold the length field: the last four bytes become zero.
    Message shortMessage;
    shortMessage.bytes.assign(10, 0x33);
    seal(shortMessage);
    EXPECT_EQ(shortMessage.bytes, chars({0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0, 0, 0, 0}));

    // Too short for a check value at all: untouched.
    Message tiny;
    tiny.bytes.assign(3, 0x44);
    seal(tiny);
    EXPECT_EQ(tiny.bytes, chars({0x44, 0x44, 0x44}));
    Message empty;
    seal(empty);
    EXPECT_TRUE(empty.bytes.empty());
}

// Datagrams the tool sent, as the committed captures of a session hold them
// (src/apps/dissector/captures/session): sealed again, each gets the check value
// it carried on the wire.
TEST(MessageTest, SealGivesTheCheckValuesOfCapturedDatagrams) {
    const std::string captured[] = {
        // MSG_BroadcastID (code 9)
        "70a2110070a21100fefffffffdffffff060000006400090071a2110000000000000000000000000000000000"
        "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
        "00000000000000000000eb1ccc89",
        // MSG_GetDeviceConfig (102)
        "70a2110070a211000004000001000000060002002000660072a2110027925511",
        // MSG_GetBoardID (814)
        "6ea411006ea4110000040000010000000600020024002e036fa41100000000000f8c9a46",
        // MSG_SetBoardID (813)
        "75a4110075a4110000040000010000000600020064002d0377a41100000000000004000001000000899aabbc"
        "cddeef00112233445566778899aabbccffffffff2132435465768798a9bacbdcedfe0f2031425364758697a8"
        "b9cadbecfd0e1f30b50b1558",
        // MSG_SelectMe (115)
        "7ca411007ca41100000400000100000006000200240073007ea41100ffff0000a8069046",
    };
    for (const std::string& hex : captured) {
        const std::vector<char> wire = fromHex(hex);
        Message message;
        message.bytes = wire;
        std::fill(message.bytes.end() - 4, message.bytes.end(), '\0');
        seal(message);
        EXPECT_EQ(message.bytes, wire) << hex.substr(0, 56);
    }
}

TEST(MessageTest, FrameIdHighWordFirstBothWays) {
    std::vector<char> buffer(8);
    Wire::writeFrameId(buffer.data(), 0x0000000200000001ull);
    EXPECT_EQ(buffer, chars({0x02, 0, 0, 0, 0x01, 0, 0, 0}));
    EXPECT_EQ(Wire::readFrameId(buffer.data()), 0x0000000200000001ull);

    Command<MSG_GetBoardID> message(0x0000000200000001ull, 0xFFFFFFFE00000000ull, 6, 12);
    EXPECT_EQ(Bytes(message.bytes.begin(), message.bytes.begin() + 16),
              (Bytes{0x02, 0, 0, 0, 0x01, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    MSG_CmdHdr header(message.data());
    EXPECT_EQ(header.sourceId(), 0x0000000200000001ull);
    EXPECT_EQ(Wire::readFrameId(message.data() + 8), 0xFFFFFFFE00000000ull);
}

TEST(MessageTest, EveryBuilderWritesItsBytes) {
    SequenceScope sequence(1000);
    const std::uint64_t own = 0x0102030405060708ull;
    const std::uint64_t peer = 0x1112131415161718ull;

    expectBuilt(Command<MSG_GetDeviceConfig>(own, peer, 6, 12), {32, own, peer, 6, 12, 102, 1001});
    expectBuilt(Command<MSG_GetBoardID>(own, peer, 6, 13), {36, own, peer, 6, 13, 814, 1002});
    expectBuilt(Command<MSG_SelectMe>(own, peer, 6, 10), {36, own, peer, 6, 10, 115, 1003});
    expectBuilt(Command<MSG_SetBoardID>(own, peer, 6, 11), {100, own, peer, 6, 11, 813, 1004});
    Command<MSG_BroadcastID> presence(9, own, 6);
    expectBuilt(presence, {100, own, 0xFFFFFFFEFFFFFFFDull, 6, 0, 9, 1005});
    EXPECT_EQ(Bytes(presence.bytes.begin() + 8, presence.bytes.begin() + 16),
              (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF}));
    expectBuilt(Command<MSG_BroadcastID>(4, own, 6),
                {100, own, 0xFFFFFFFEFFFFFFFDull, 6, 0, 4, 1006});
}

TEST(MessageTest, SequenceIncrementsAndWraps) {
    SequenceScope sequence(41);
    Command<MSG_GetBoardID> first(1, 2, 6, 12);
    Command<MSG_BroadcastID> presence(9, 1, 6);
    Command<MSG_GetBoardID> second(1, 2, 6, 12);
    EXPECT_EQ(first.sequence(), 42u);
    EXPECT_EQ(presence.sequence(), 43u);
    EXPECT_EQ(second.sequence(), 44u);
    EXPECT_EQ(nextSequence.load(), 44u);

    nextSequence.store(0xFFFFFFFEu);
    EXPECT_EQ(Command<MSG_SelectMe>(1, 2, 6, 12).sequence(), 0xFFFFFFFFu);
    EXPECT_EQ(Command<MSG_SelectMe>(1, 2, 6, 12).sequence(), 0u);
    EXPECT_EQ(Command<MSG_SelectMe>(1, 2, 6, 12).sequence(), 1u);
}

TEST(MessageTest, ReceivedCopyRespectsLength) {
    std::vector<char> datagram(64, 0x5A);
    Wire::writeU16(datagram.data() + 22, 813);
    Wire::writeU32(datagram.data() + 24, 77);

    // Exact: the whole datagram.
    Wire::writeU16(datagram.data() + 20, 64);
    Command<MSG_CmdHdr> exact(datagram.data(), datagram.size());
    EXPECT_TRUE(exact.valid);
    EXPECT_EQ(exact.bytes, datagram);
    EXPECT_EQ(exact.command(), 813);
    EXPECT_EQ(exact.sequence(), 77u);

    // Shorter length: only `length` bytes are kept.
    Wire::writeU16(datagram.data() + 20, 40);
    Command<MSG_CmdHdr> prefix(datagram.data(), datagram.size());
    EXPECT_TRUE(prefix.valid);
    EXPECT_EQ(prefix.bytes, std::vector<char>(datagram.begin(), datagram.begin() + 40));

    // Longer than the datagram.
    Wire::writeU16(datagram.data() + 20, 65);
    Command<MSG_CmdHdr> longer(datagram.data(), datagram.size());
    EXPECT_FALSE(longer.valid);
    EXPECT_TRUE(longer.bytes.empty());

    // Negative lengths: bit 15 set.
    for (std::uint16_t raw :
         {std::uint16_t{0x8000}, std::uint16_t{0xFFFF}, std::uint16_t{0x8040}}) {
        Wire::writeU16(datagram.data() + 20, raw);
        Command<MSG_CmdHdr> negative(datagram.data(), datagram.size());
        EXPECT_FALSE(negative.valid) << raw;
        EXPECT_TRUE(negative.bytes.empty()) << raw;
    }

    // Shorter than a header.
    Wire::writeU16(datagram.data() + 20, 20);
    Command<MSG_CmdHdr> tooShort(datagram.data(), 27);
    EXPECT_FALSE(tooShort.valid);
    EXPECT_TRUE(tooShort.bytes.empty());

    // A declared length shorter than the header copies what it declares; the
    // header accessors then read nothing.
    Wire::writeU16(datagram.data() + 20, 10);
    Command<MSG_CmdHdr> stub(datagram.data(), datagram.size());
    EXPECT_TRUE(stub.valid);
    EXPECT_EQ(stub.size(), 10u);
    EXPECT_EQ(stub.command(), 0);
    EXPECT_EQ(stub.sequence(), 0u);

    // Copies are independent.
    Message copy = exact;
    copy.bytes[0] = 0;
    EXPECT_EQ(exact.bytes[0], 0x5A);
}

TEST(MessageTest, HeaderView) {
    std::vector<char> bytes(28, 0);
    Wire::writeFrameId(bytes.data(), 0x0A0B0C0D01020304ull);
    Wire::writeU16(bytes.data() + 16, 0xC006);
    Wire::writeU16(bytes.data() + 20, 0xFFFE);
    Wire::writeU16(bytes.data() + 22, 4);
    Wire::writeU32(bytes.data() + 24, 0xDEADBEEF);
    MSG_CmdHdr header(bytes.data());
    EXPECT_EQ(header.sourceId(), 0x0A0B0C0D01020304ull);
    EXPECT_EQ(header.sourceType(), 0xC006);
    EXPECT_EQ(header.length(), -2);
    EXPECT_EQ(header.command(), 4);
    EXPECT_EQ(header.sequence(), 0xDEADBEEFu);
    header.setSourceType(0x0006);
    EXPECT_EQ(bytes[16], 0x06);
    EXPECT_EQ(bytes[17], 0x00);
}

TEST(MessageTest, PresenceDecodeNeverReadsBeyondLength) {
    std::vector<char> message(100, 0);
    Wire::writeU32(message.data() + 48, static_cast<std::uint32_t>(-5));
    Wire::writeU32(message.data() + 60, 3);
    Wire::writeU32(message.data() + 64, 0x48);
    message[72] = static_cast<char>(0xCB);
    Wire::writeU32(message.data() + 80, 0x11223344);
    Wire::writeU32(message.data() + 84, 0x55667788);

    const Presence full = decodePresence(message.data(), 100);
    EXPECT_EQ(full.changeMarkA, -5);
    EXPECT_EQ(full.changeMarkB, 3);
    EXPECT_EQ(full.changeMark(), 3);
    EXPECT_EQ(full.modeFlags, 0x48u);
    EXPECT_EQ(full.deviceType, 0xCB);
    EXPECT_EQ(full.stationTag[0], 0x11223344u);
    EXPECT_EQ(full.stationTag[1], 0x55667788u);

    // The buffer holds every field, but only `length` bytes belong to the
    // message: fields past it read as zero.
    const Presence sixty = decodePresence(message.data(), 60);
    EXPECT_EQ(sixty.changeMarkA, -5);
    EXPECT_EQ(sixty.changeMarkB, 0);
    EXPECT_EQ(sixty.modeFlags, 0u);
    EXPECT_EQ(sixty.deviceType, 0);
    EXPECT_EQ(sixty.stationTag[0], 0u);
    EXPECT_EQ(sixty.changeMark(), 0);

    const Presence partial = decodePresence(message.data(), 84);
    EXPECT_EQ(partial.changeMarkB, 3);
    EXPECT_EQ(partial.deviceType, 0xCB);
    EXPECT_EQ(partial.stationTag[0], 0x11223344u);
    EXPECT_EQ(partial.stationTag[1], 0u);

    const Presence headerOnly = decodePresence(message.data(), 28);
    EXPECT_EQ(headerOnly.changeMarkA, 0);
    EXPECT_EQ(headerOnly.stationTag[1], 0u);

    // Exactly the last field's end.
    std::vector<char> exact(message.begin(), message.begin() + 88);
    EXPECT_EQ(decodePresence(exact.data(), exact.size()).stationTag[1], 0x55667788u);

    Presence marks;
    marks.changeMarkA = 7;
    marks.changeMarkB = -1;
    EXPECT_EQ(marks.changeMark(), 7);
}

TEST(MessageTest, ModeFromFlags) {
    EXPECT_EQ(modeFromFlags(0x00), 0u);
    EXPECT_EQ(modeFromFlags(0x05), 0u);
    EXPECT_EQ(modeFromFlags(0x01), 0u);
    EXPECT_EQ(modeFromFlags(0x04), 0u);
    EXPECT_EQ(modeFromFlags(0x80), 1u);
    EXPECT_EQ(modeFromFlags(0x100), 1u);
    EXPECT_EQ(modeFromFlags(0x80000005), 1u);
    EXPECT_EQ(modeFromFlags(0x42), 2u);
    EXPECT_EQ(modeFromFlags(0x0A), 2u);
    EXPECT_EQ(modeFromFlags(0x48), 3u);
    EXPECT_EQ(modeFromFlags(0x18), 3u);
    EXPECT_EQ(modeFromFlags(0x30), 4u);
    EXPECT_EQ(modeFromFlags(0x60), 5u);
    EXPECT_EQ(modeFromFlags(0xC5), 6u);
}

TEST(MessageTest, WrappedPresenceBoundaries) {
    std::vector<char> datagram(436, 0);
    Wire::writeU16(datagram.data() + 22, Code::wrappedPresence);
    Wire::writeU16(datagram.data() + 28, 1);
    EXPECT_EQ(unwrapPresence(datagram.data(), 436), datagram.data() + 32);
    EXPECT_EQ(unwrapPresence(datagram.data(), 435), nullptr);

    Wire::writeU16(datagram.data() + 28, 0x7FFF);
    EXPECT_EQ(unwrapPresence(datagram.data(), 436), datagram.data() + 32);
    Wire::writeU16(datagram.data() + 28, 0);
    EXPECT_EQ(unwrapPresence(datagram.data(), 436), nullptr);
    Wire::writeU16(datagram.data() + 28, 0xFFFF);
    EXPECT_EQ(unwrapPresence(datagram.data(), 436), nullptr);
    Wire::writeU16(datagram.data() + 28, 0x8000);
    EXPECT_EQ(unwrapPresence(datagram.data(), 436), nullptr);

    Wire::writeU16(datagram.data() + 28, 1);
    Wire::writeU16(datagram.data() + 22, Code::presence);
    EXPECT_EQ(unwrapPresence(datagram.data(), 436), nullptr);
}

TEST(MessageTest, ReplyDecoders) {
    std::vector<char> config(512, 'A');
    const std::string name = "Processor 4x4";
    std::copy(name.begin(), name.end(), config.begin() + 240);
    config[240 + name.size()] = '\0';
    EXPECT_EQ(decodeDeviceName(config.data(), 512), name);
    EXPECT_EQ(decodeDeviceName(config.data(), 511), std::nullopt);

    // 127 characters and the NUL at the last allowed byte (367).
    std::vector<char> longest(512, 'B');
    longest[367] = '\0';
    EXPECT_EQ(decodeDeviceName(longest.data(), 512), std::string(127, 'B'));
    // NUL just outside 240..367.
    longest[367] = 'B';
    longest[368] = '\0';
    EXPECT_EQ(decodeDeviceName(longest.data(), 512), std::nullopt);
    // Empty name.
    longest[240] = '\0';
    EXPECT_EQ(decodeDeviceName(longest.data(), 512), std::string());

    std::vector<char> board(100, 0);
    Wire::writeU32(board.data() + 60, 0xCAFEF00D);
    EXPECT_EQ(decodeBoardId(board.data(), 100), 0xCAFEF00Du);
    EXPECT_EQ(decodeBoardId(board.data(), 99), std::nullopt);

    std::vector<char> ack(36, 0);
    Wire::writeU32(ack.data() + 28, 0xFFFFFFFE);
    EXPECT_EQ(decodeAckStatus(ack.data(), 36), ackAccepted);
    EXPECT_EQ(decodeAckStatus(ack.data(), 35), std::nullopt);
    Wire::writeU32(ack.data() + 28, 0);
    EXPECT_EQ(decodeAckStatus(ack.data(), 36), 0);
}
