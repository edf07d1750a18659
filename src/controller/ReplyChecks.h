#pragma once

#include "WriteReply.h"
#include "engine/Destination.h"
#include "wire/Message.h"

#include <cstdint>
#include <optional>
#include <string>

// The controller's reading of the raw completions of its requests, kept free
// of any engine state so that each rule can be checked on plain bytes. A reply
// counts only when it arrived (non-null, Success), is long enough for its kind
// and carries the expected command code.
namespace ReplyChecks {

// Configuration reply (command 103, at least 512 bytes) whose device name ends
// within its 128 bytes: the name; anything else: nothing.
std::optional<std::string> deviceName(const char* reply, unsigned length, Vorn::ErrorCode error);

// Board-id reply (command 813, at least 100 bytes): the board id; else nothing.
std::optional<std::uint32_t> boardId(const char* reply, unsigned length, Vorn::ErrorCode error);

// Acknowledgement (command 2, at least 36 bytes) with status -2: the device
// took the new board id.
bool boardIdAccepted(const char* reply, unsigned length, Vorn::ErrorCode error);
// The write's answer: Accepted as boardIdAccepted, Refused for any other reply
// that arrived, Unanswered when none did (timed out, or not sent).
WriteReply writeReply(const char* reply, unsigned length, Vorn::ErrorCode error);

// Fills the body of a 100-byte board-id write from a board-id reply that
// passed boardId(): the two leading body words zero, the reply's board record
// (bytes 32..95) copied unchanged except the board id, which becomes `serial`.
void writeBoardRecord(Vorn::Message& setMessage, const char* boardIdReply, std::uint32_t serial);

} // namespace ReplyChecks
