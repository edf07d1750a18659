#include "ReplyChecks.h"

#include "wire/Wire.h"

#include <algorithm>

namespace ReplyChecks {
namespace {

// The header is complete whenever a body decoder accepted the length, so the
// command code is read only after that.
bool hasCommand(const char* reply, std::uint16_t code) {
    return Vorn::Wire::readU16(reply + Vorn::Header::command) == code;
}

bool arrived(const char* reply, Vorn::ErrorCode error) {
    return reply != nullptr && error == Vorn::ErrorCode::Success;
}

} // namespace

std::optional<std::string> deviceName(const char* reply, unsigned length, Vorn::ErrorCode error) {
    if (!arrived(reply, error) || length < Vorn::deviceConfigReplyMinimum)
        return std::nullopt;
    auto name = Vorn::decodeDeviceName(reply, length);
    if (!name || !hasCommand(reply, Vorn::Code::deviceConfigReply))
        return std::nullopt;
    return name;
}

std::optional<std::uint32_t> boardId(const char* reply, unsigned length, Vorn::ErrorCode error) {
    if (!arrived(reply, error) || length < Vorn::boardIdReplyMinimum)
        return std::nullopt;
    const auto id = Vorn::decodeBoardId(reply, length);
    if (!id || !hasCommand(reply, Vorn::Code::boardIdReply))
        return std::nullopt;
    return id;
}

bool boardIdAccepted(const char* reply, unsigned length, Vorn::ErrorCode error) {
    if (!arrived(reply, error) || length < Vorn::acknowledgementMinimum)
        return false;
    const auto status = Vorn::decodeAckStatus(reply, length);
    return status && hasCommand(reply, Vorn::Code::acknowledgement) && *status == Vorn::ackAccepted;
}

WriteReply writeReply(const char* reply, unsigned length, Vorn::ErrorCode error) {
    if (!arrived(reply, error))
        return WriteReply::Unanswered;
    return boardIdAccepted(reply, length, error) ? WriteReply::Accepted : WriteReply::Refused;
}

void writeBoardRecord(Vorn::Message& setMessage, const char* boardIdReply, std::uint32_t serial) {
    char* body = setMessage.data();
    Vorn::Wire::writeU16(body + Vorn::Header::size, 0);
    Vorn::Wire::writeU16(body + Vorn::Header::size + 2, 0);
    std::copy_n(boardIdReply + Vorn::BoardRecord::offset, Vorn::BoardRecord::size,
                body + Vorn::BoardRecord::offset);
    Vorn::Wire::writeU32(body + Vorn::BoardRecord::boardId, serial);
}

} // namespace ReplyChecks
