// The controller's checks of the replies to its requests, on arbitrary reply
// bytes with every outcome code, and the board-id write built from a reply that
// passed: the record written back differs from the one read only in the board id.
//
// Input: [u8 outcome][u32 new serial, little-endian][reply bytes]

#include "FuzzCheck.h"
#include "ReplyChecks.h"
#include "wire/Message.h"
#include "wire/Wire.h"

#include <cstring>
#include <vector>

namespace {

constexpr std::size_t prefix = 5;

void checkBoardIdWrite(const char* reply, unsigned length, std::uint32_t serial) {
    Vorn::Command<Vorn::MSG_SetBoardID> write(0x1111111122222222ull, 0x3333333344444444ull, 6, 2);
    const std::vector<char> header(write.data(), write.data() + Vorn::Header::size);
    ReplyChecks::writeBoardRecord(write, reply, serial);
    FUZZ_CHECK(write.size() == Vorn::MSG_SetBoardID::size);
    FUZZ_CHECK(std::memcmp(write.data(), header.data(), Vorn::Header::size) == 0);
    FUZZ_CHECK(Vorn::Wire::readU32(write.data() + Vorn::Header::size) == 0);
    const std::size_t first = Vorn::BoardRecord::offset;
    const std::size_t id = Vorn::BoardRecord::boardId;
    const std::size_t end = first + Vorn::BoardRecord::size;
    FUZZ_CHECK(end <= length);
    FUZZ_CHECK(std::memcmp(write.data() + first, reply + first, id - first) == 0);
    FUZZ_CHECK(Vorn::Wire::readU32(write.data() + id) == serial);
    FUZZ_CHECK(std::memcmp(write.data() + id + 4, reply + id + 4, end - id - 4) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < prefix)
        return 0;
    const auto code = static_cast<Vorn::ErrorCode>(bytes[0] % 3);
    const std::uint32_t serial = Vorn::Wire::readU32(reinterpret_cast<const char*>(bytes + 1));
    // An exact copy of the reply: reads past it are findings. No bytes: null,
    // as a completion without a reply passes it.
    const std::vector<char> replyBytes(bytes + prefix, bytes + size);
    const char* reply = replyBytes.empty() ? nullptr : replyBytes.data();
    const auto length = static_cast<unsigned>(replyBytes.size());
    const bool arrived = reply != nullptr && code == Vorn::ErrorCode::Success;
    auto command = [&] { return Vorn::Wire::readU16(reply + Vorn::Header::command); };

    if (const auto name = ReplyChecks::deviceName(reply, length, code)) {
        FUZZ_CHECK(arrived && length >= Vorn::deviceConfigReplyMinimum);
        FUZZ_CHECK(command() == Vorn::Code::deviceConfigReply);
        FUZZ_CHECK(name->size() < Vorn::deviceNameCapacity);
    }
    if (const auto id = ReplyChecks::boardId(reply, length, code)) {
        FUZZ_CHECK(arrived && length >= Vorn::boardIdReplyMinimum);
        FUZZ_CHECK(command() == Vorn::Code::boardIdReply);
        checkBoardIdWrite(reply, length, serial);
    }
    if (ReplyChecks::boardIdAccepted(reply, length, code)) {
        FUZZ_CHECK(arrived && length >= Vorn::acknowledgementMinimum);
        FUZZ_CHECK(command() == Vorn::Code::acknowledgement);
        FUZZ_CHECK(Vorn::Wire::readI32(reply + Vorn::Header::size) == Vorn::ackAccepted);
    }
    return 0;
}
