#include "ProductName.h"
#include "ReplyChecks.h"
#include "wire/Wire.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Vorn::ErrorCode;

std::vector<char> reply(std::size_t size, std::uint16_t command) {
    std::vector<char> bytes(size, 0);
    Vorn::Wire::writeU16(bytes.data() + Vorn::Header::command, command);
    return bytes;
}

unsigned len(const std::vector<char>& bytes) {
    return static_cast<unsigned>(bytes.size());
}

std::vector<char> configReply(std::size_t size, const std::string& name) {
    auto bytes = reply(size, 103);
    std::memcpy(bytes.data() + 240, name.data(), name.size());
    return bytes;
}

TEST(ReplyChecks, DeviceNameNeedsLengthCommandAndTerminator) {
    const auto good = configReply(512, "Stage left");
    EXPECT_EQ(ReplyChecks::deviceName(good.data(), len(good), ErrorCode::Success), "Stage left");
    // Longer replies are fine; only the first 512 bytes matter.
    const auto longer = configReply(1400, "Rack 3");
    EXPECT_EQ(ReplyChecks::deviceName(longer.data(), len(longer), ErrorCode::Success), "Rack 3");
    const auto empty = configReply(512, "");
    EXPECT_EQ(ReplyChecks::deviceName(empty.data(), len(empty), ErrorCode::Success), "");

    const auto shortReply = configReply(511, "Stage left");
    EXPECT_FALSE(ReplyChecks::deviceName(shortReply.data(), len(shortReply), ErrorCode::Success));

    auto wrongCommand = configReply(512, "Stage left");
    Vorn::Wire::writeU16(wrongCommand.data() + Vorn::Header::command, 102);
    EXPECT_FALSE(
        ReplyChecks::deviceName(wrongCommand.data(), len(wrongCommand), ErrorCode::Success));

    EXPECT_FALSE(ReplyChecks::deviceName(nullptr, 0, ErrorCode::TimedOut));
    EXPECT_FALSE(ReplyChecks::deviceName(nullptr, 512, ErrorCode::Success));
    EXPECT_FALSE(ReplyChecks::deviceName(good.data(), len(good), ErrorCode::SendFailed));
}

TEST(ReplyChecks, DeviceNameTerminatorMustLieWithin128Bytes) {
    // 127 characters and the terminator at the last byte: delivered whole.
    const std::string longest(127, 'n');
    const auto full = configReply(512, longest);
    EXPECT_EQ(ReplyChecks::deviceName(full.data(), len(full), ErrorCode::Success), longest);

    // 128 characters: the first zero after the name lies at 368, outside.
    const auto unterminated = configReply(512, std::string(128, 'n'));
    EXPECT_FALSE(
        ReplyChecks::deviceName(unterminated.data(), len(unterminated), ErrorCode::Success));

    // No zero byte anywhere after 240 although the reply is long enough.
    auto noZero = reply(512, 103);
    std::memset(noZero.data() + 240, 'x', 512 - 240);
    EXPECT_FALSE(ReplyChecks::deviceName(noZero.data(), len(noZero), ErrorCode::Success));
}

TEST(ReplyChecks, BoardIdReplyNeeds100BytesAndCommand813) {
    auto exact = reply(100, 813);
    Vorn::Wire::writeU32(exact.data() + 60, 0xC0FFEE01u);
    EXPECT_EQ(ReplyChecks::boardId(exact.data(), len(exact), ErrorCode::Success), 0xC0FFEE01u);

    auto maximum = reply(140, 813);
    Vorn::Wire::writeU32(maximum.data() + 60, 0xFFFFFFFFu);
    EXPECT_EQ(ReplyChecks::boardId(maximum.data(), len(maximum), ErrorCode::Success), 0xFFFFFFFFu);

    auto tooShort = reply(99, 813);
    EXPECT_FALSE(ReplyChecks::boardId(tooShort.data(), len(tooShort), ErrorCode::Success));

    // The request's own code (814) is not an answer.
    auto echo = reply(100, 814);
    EXPECT_FALSE(ReplyChecks::boardId(echo.data(), len(echo), ErrorCode::Success));

    EXPECT_FALSE(ReplyChecks::boardId(nullptr, 0, ErrorCode::TimedOut));
    EXPECT_FALSE(ReplyChecks::boardId(exact.data(), len(exact), ErrorCode::TimedOut));
}

TEST(ReplyChecks, OnlyAnAcknowledgementWithStatusMinus2Accepts) {
    auto ack = reply(36, 2);
    Vorn::Wire::writeU32(ack.data() + 28, 0xFFFFFFFEu);
    EXPECT_TRUE(ReplyChecks::boardIdAccepted(ack.data(), len(ack), ErrorCode::Success));

    auto refused = reply(36, 2);
    EXPECT_FALSE(ReplyChecks::boardIdAccepted(refused.data(), len(refused), ErrorCode::Success));
    Vorn::Wire::writeU32(refused.data() + 28, 0xFFFFFFFFu); // -1
    EXPECT_FALSE(ReplyChecks::boardIdAccepted(refused.data(), len(refused), ErrorCode::Success));

    auto shortAck = reply(35, 2);
    Vorn::Wire::writeU32(shortAck.data() + 28, 0xFFFFFFFEu);
    EXPECT_FALSE(ReplyChecks::boardIdAccepted(shortAck.data(), len(shortAck), ErrorCode::Success));

    auto otherCommand = reply(36, 813);
    Vorn::Wire::writeU32(otherCommand.data() + 28, 0xFFFFFFFEu);
    EXPECT_FALSE(
        ReplyChecks::boardIdAccepted(otherCommand.data(), len(otherCommand), ErrorCode::Success));

    EXPECT_FALSE(ReplyChecks::boardIdAccepted(nullptr, 0, ErrorCode::TimedOut));
    EXPECT_FALSE(ReplyChecks::boardIdAccepted(ack.data(), len(ack), ErrorCode::SendFailed));
}

TEST(ReplyChecks, BoardRecordIsCopiedBackWithOnlyTheBoardIdReplaced) {
    auto boardReply = reply(100, 813);
    for (std::size_t i = 28; i < boardReply.size(); ++i)
        boardReply[i] = static_cast<char>(i * 7 + 3);

    Vorn::Message set;
    set.valid = true;
    set.bytes.assign(100, static_cast<char>(0xEE));
    ReplyChecks::writeBoardRecord(set, boardReply.data(), 12345678u);

    for (std::size_t i = 0; i < 28; ++i)
        EXPECT_EQ(static_cast<unsigned char>(set.bytes[i]), 0xEE) << "header byte " << i;
    for (std::size_t i = 28; i < 32; ++i)
        EXPECT_EQ(set.bytes[i], 0) << "body word byte " << i;
    for (std::size_t i = 32; i < 96; ++i) {
        if (i >= 60 && i < 64)
            continue;
        EXPECT_EQ(set.bytes[i], boardReply[i]) << "record byte " << i;
    }
    // 12345678 = 0x00BC614E, little-endian.
    EXPECT_EQ(static_cast<unsigned char>(set.bytes[60]), 0x4E);
    EXPECT_EQ(static_cast<unsigned char>(set.bytes[61]), 0x61);
    EXPECT_EQ(static_cast<unsigned char>(set.bytes[62]), 0xBC);
    EXPECT_EQ(static_cast<unsigned char>(set.bytes[63]), 0x00);
    for (std::size_t i = 96; i < 100; ++i)
        EXPECT_EQ(static_cast<unsigned char>(set.bytes[i]), 0xEE) << "check value byte " << i;
}

// The products the tool services (type codes 10 to 13) and the edges of the
// table: 0 and 15 name no product, 20 is the last code that does, and codes
// beyond it, however large, never index past the table.
TEST(ProductName, ServicedProductsAndTheTablesEdges) {
    EXPECT_STREQ(productName(10), "Ondal 2");
    EXPECT_STREQ(productName(11), "Ondal 2");
    EXPECT_STREQ(productName(12), "Ondal 4");
    EXPECT_STREQ(productName(13), "Ondal 4");
    for (unsigned code = 1; code <= 20; ++code) {
        if (code != 15) {
            EXPECT_STRNE(productName(code), "Unknown") << "type code " << code;
        }
    }
    for (unsigned code : {0u, 15u, 21u, 22u, 255u, 256u, 0x80000000u, UINT_MAX})
        EXPECT_STREQ(productName(code), "Unknown") << "type code " << code;
}

} // namespace
