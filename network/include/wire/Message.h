#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Vorn {

// Header layout shared by every message (offsets from the first byte).
namespace Header {
constexpr std::size_t sourceId = 0;
constexpr std::size_t destinationId = 8;
constexpr std::size_t sourceType = 16;
constexpr std::size_t destinationType = 18;
constexpr std::size_t length = 20;
constexpr std::size_t command = 22;
constexpr std::size_t sequence = 24;
constexpr std::size_t size = 28;
} // namespace Header

// Command codes of the device protocol.
namespace Code {
constexpr std::uint16_t acknowledgement = 2;
constexpr std::uint16_t presence = 4;
constexpr std::uint16_t wrappedPresence = 5;
constexpr std::uint16_t toolPresence = 9;
constexpr std::uint16_t getDeviceConfig = 102;
constexpr std::uint16_t deviceConfigReply = 103;
constexpr std::uint16_t selectMe = 115;
constexpr std::uint16_t setBoardId = 813;
constexpr std::uint16_t boardIdReply = 813;
constexpr std::uint16_t getBoardId = 814;
} // namespace Code

// Destination id written into every presence message.
constexpr std::uint64_t presenceDestinationId = 0xFFFFFFFEFFFFFFFDull;

// Process-wide sequence counter: seeded once from the tick counter at start,
// incremented atomically for every message built; the incremented value is used.
extern std::atomic<std::uint32_t> nextSequence;

// One wire message: an owned byte buffer and whether it holds a complete message.
class Message {
public:
    Message() = default;
    Message(const Message&) = default;
    Message& operator=(const Message&) = default;
    Message(Message&&) noexcept = default;
    Message& operator=(Message&&) noexcept = default;
    virtual ~Message() = default;

    bool valid = false;
    std::vector<char> bytes;

    char* data() { return bytes.data(); }
    const char* data() const { return bytes.data(); }
    std::size_t size() const { return bytes.size(); }

    std::uint16_t command() const;
    std::uint32_t sequence() const;
};

// Writes the check value into the last four bytes of the message.
void seal(Message& message);

// Header view over writable message bytes (at least 28 of them). Also the tag of
// a received message of any command, Command<MSG_CmdHdr>.
class MSG_CmdHdr {
public:
    explicit MSG_CmdHdr(char* header) : header_(header) {}

    std::uint64_t sourceId() const;
    std::uint16_t sourceType() const;
    void setSourceType(std::uint16_t type);
    std::int16_t length() const;
    std::uint16_t command() const;
    std::uint32_t sequence() const;

private:
    char* header_;
};

// Layout tags of the messages the tool builds.
struct MSG_GetDeviceConfig {
    static constexpr std::uint16_t code = Code::getDeviceConfig;
    static constexpr std::size_t size = 32;
};
struct MSG_GetBoardID {
    static constexpr std::uint16_t code = Code::getBoardId;
    static constexpr std::size_t size = 36;
};
struct MSG_SelectMe {
    static constexpr std::uint16_t code = Code::selectMe;
    static constexpr std::size_t size = 36;
    static constexpr std::size_t select = 28;
};
struct MSG_SetBoardID {
    static constexpr std::uint16_t code = Code::setBoardId;
    static constexpr std::size_t size = 100;
};
struct MSG_BroadcastID {
    static constexpr std::size_t size = 100;
};

template <class T>
concept RequestLayout = std::same_as<T, MSG_GetDeviceConfig> || std::same_as<T, MSG_GetBoardID> ||
    std::same_as<T, MSG_SelectMe> || std::same_as<T, MSG_SetBoardID>;

namespace detail {
// Sizes the buffer, writes the header and draws the next sequence number.
void buildHeader(Message& message, std::size_t size, std::uint64_t sourceId,
                 std::uint64_t destinationId, std::uint16_t sourceType,
                 std::uint16_t destinationType, std::uint16_t command);
// Copies a received message when the datagram holds its whole declared length.
void copyReceived(Message& message, const char* data, std::size_t size);
} // namespace detail

template <class T> class Command : public Message {
public:
    // A request to a device.
    Command(std::uint64_t sourceId, std::uint64_t destinationId, std::uint16_t sourceType,
            std::uint16_t destinationType) requires RequestLayout<T> {
        detail::buildHeader(*this, T::size, sourceId, destinationId, sourceType, destinationType,
                            T::code);
    }

    // The tool's own presence message.
    Command(std::uint16_t presenceCommand, std::uint64_t ownFrameId,
            std::uint16_t ownType) requires std::same_as<T, MSG_BroadcastID> {
        detail::buildHeader(*this, T::size, ownFrameId, presenceDestinationId, ownType, 0,
                            presenceCommand);
    }

    // A received message of any command. `size` must be at least 28; the copy
    // is made only when 0 <= length <= size, else the object stays empty and invalid.
    Command(const char* data, std::size_t size) requires std::same_as<T, MSG_CmdHdr> {
        detail::copyReceived(*this, data, size);
    }
};

// Fields of a presence message (code 4). Missing fields of a presence message
// shorter than 88 bytes read as zero.
struct Presence {
    std::int32_t changeMarkA = 0;
    std::int32_t changeMarkB = 0;
    std::uint32_t modeFlags = 0;
    std::uint8_t deviceType = 0;
    std::uint32_t stationTag[2] = {0, 0};

    std::int32_t changeMark() const {
        return changeMarkA > changeMarkB ? changeMarkA : changeMarkB;
    }
};

// Offsets of the presence fields.
namespace PresenceField {
constexpr std::size_t changeMarkA = 48;
constexpr std::size_t changeMarkB = 60;
constexpr std::size_t modeFlags = 64;
constexpr std::size_t deviceType = 72;
constexpr std::size_t stationTag = 80;
constexpr std::size_t end = 88;
} // namespace PresenceField

Presence decodePresence(const char* data, std::size_t length);

// Node mode 0..6 from a presence message's mode flags.
std::uint32_t modeFromFlags(std::uint32_t modeFlags);

// A wrapped presence datagram (code 5, at least 436 bytes, positive word at
// 28) carries a whole presence message at 32..131. Returns the start of the
// embedded message, or null when the datagram is an ordinary message.
const char* unwrapPresence(const char* data, std::size_t length);
constexpr std::size_t wrappedPresenceOffset = 32;
constexpr std::size_t wrappedPresenceMinimum = 436;
constexpr std::size_t presenceSize = 100;

// Reply bodies. Each returns nothing when the reply is too short or malformed;
// the command code is the caller's check.
std::optional<std::string> decodeDeviceName(const char* reply, std::size_t length);
std::optional<std::uint32_t> decodeBoardId(const char* reply, std::size_t length);
std::optional<std::int32_t> decodeAckStatus(const char* reply, std::size_t length);

// Board-id reply and set message share this layout.
namespace BoardRecord {
constexpr std::size_t offset = 32;
constexpr std::size_t size = 64;
constexpr std::size_t boardId = 60;
} // namespace BoardRecord

constexpr std::size_t deviceConfigReplyMinimum = 512;
constexpr std::size_t deviceNameOffset = 240;
constexpr std::size_t deviceNameCapacity = 128;
constexpr std::size_t boardIdReplyMinimum = 100;
constexpr std::size_t acknowledgementMinimum = 36;
constexpr std::int32_t ackAccepted = -2;

} // namespace Vorn
