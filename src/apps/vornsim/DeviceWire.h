#pragma once

// The device protocol as the simulated devices read and write it: offsets,
// codes and sizes taken from the protocol's description, little-endian fields,
// frame ids high word first, and the check value. Written apart from the
// tool's own message code on purpose: a fault in the tool's encoding then
// shows up as a request the devices do not accept, instead of being matched
// by the same fault on the devices' side.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VornSim::DeviceWire {

// The header every message starts with.
constexpr std::size_t headerSize = 28;
constexpr std::size_t sourceIdAt = 0;
constexpr std::size_t destinationIdAt = 8;
constexpr std::size_t sourceTypeAt = 16;
constexpr std::size_t destinationTypeAt = 18;
constexpr std::size_t lengthAt = 20;
constexpr std::size_t commandAt = 22;
constexpr std::size_t sequenceAt = 24;

// Command codes.
constexpr std::uint16_t acknowledgement = 2;
constexpr std::uint16_t presence = 4;
constexpr std::uint16_t wrappedPresence = 5;
constexpr std::uint16_t toolPresence = 9;
constexpr std::uint16_t getDeviceConfig = 102;
constexpr std::uint16_t deviceConfigReply = 103;
constexpr std::uint16_t selectMe = 115;
constexpr std::uint16_t setBoardId = 813; // the board-id reply has the same code
constexpr std::uint16_t getBoardId = 814;

// Presence (code 4), 100 bytes, addressed to presenceDestination.
constexpr std::size_t presenceSize = 100;
constexpr std::uint64_t presenceDestination = 0xFFFFFFFEFFFFFFFDull;
constexpr std::size_t changeMarkAAt = 48;
constexpr std::size_t changeMarkBAt = 60;
constexpr std::size_t modeFlagsAt = 64;
constexpr std::size_t deviceTypeAt = 72;
constexpr std::size_t stationTagAt = 80;
// Wrapped presence (code 5): a count (i16) at 28, the presence message at 32.
constexpr std::size_t wrappedPresenceSize = 436;
constexpr std::size_t wrappedCountAt = 28;
constexpr std::size_t wrappedPresenceAt = 32;

// Replies, each of the smallest size the tool accepts.
constexpr std::size_t deviceConfigReplySize = 512;
constexpr std::size_t deviceNameAt = 240;
constexpr std::size_t deviceNameCapacity = 128; // the NUL included
constexpr std::size_t boardIdReplySize = 100;
constexpr std::size_t boardRecordAt = 32; // 64 bytes, copied back by a write
constexpr std::size_t boardIdAt = 60;
constexpr std::size_t acknowledgementSize = 36;
constexpr std::size_t ackStatusAt = 28;
constexpr std::int32_t ackAccepted = -2;

// Requests of the tool.
constexpr std::size_t getDeviceConfigSize = 32;
constexpr std::size_t getBoardIdSize = 36;
constexpr std::size_t selectMeSize = 36;
constexpr std::size_t selectAt = 28;
constexpr std::size_t setBoardIdSize = 100;

std::uint16_t readU16(const char* p);
std::uint32_t readU32(const char* p);
std::uint64_t readFrameId(const char* p); // high word first
void writeU16(char* p, std::uint16_t value);
void writeU32(char* p, std::uint32_t value);
void writeFrameId(char* p, std::uint64_t id);

// A message of `size` bytes, zero but for its header; not sealed.
std::vector<char> message(std::size_t size, std::uint64_t sourceId, std::uint64_t destinationId,
                          std::uint16_t sourceType, std::uint16_t destinationType,
                          std::uint16_t command, std::uint32_t sequence);

// The check value of a message of `size` bytes (at least 4) over the 16-bit
// words its length field counts before the last four bytes, those never
// included: (length >> 1) - 2 words, none when that is not positive.
std::uint32_t checkValue(const char* data, std::size_t size);
// Writes the check value into the last four bytes.
void seal(std::vector<char>& message);
// The tool's requests are whole: at least a header and a check value, the
// length field equal to the datagram's size, and a correct check value.
bool intact(const char* data, std::size_t size);

} // namespace VornSim::DeviceWire
