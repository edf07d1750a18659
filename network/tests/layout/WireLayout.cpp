// wire_layout: what the tool's message code says about the wire format, for the
// test that holds it to docs/protocol.md (tools/testing/wireformat_test.py).
//
// Prints, one fact a line:
//   code MESSAGE - VALUE           the command code of a message
//   size MESSAGE FIELD|- VALUE     the size of a message (or its smallest accepted
//                                  size) or of a field
//   offset MESSAGE FIELD VALUE     a field's offset
//   end MESSAGE FIELD VALUE        where a field ends
//   constant - NAME VALUE          ports, type words, special ids and values
//   built MESSAGE HEX              a request as Command<T> builds and seal() seals it
// then reads hexadecimal datagrams from standard input, one a line, and prints for
// the n-th what the receiving code reads from it:
//   decoded N NAME VALUE
#include "wire/Message.h"
#include "wire/NetworkType.h"
#include "wire/Wire.h"

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

using namespace Vorn;

namespace {

// Any integer, a u8 as a number.
template <class V> void fact(const char* kind, const char* message, const char* field, V value) {
    std::cout << kind << ' ' << message << ' ' << field << ' ' << +value << '\n';
}

std::string hex(const Message& message) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : message.bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The header values every built request carries; the test encodes the same.
constexpr std::uint64_t sourceId = 0x0000000200000001ull;
constexpr std::uint64_t destinationId = 0x0000000400000003ull;
constexpr std::uint16_t destinationType = 1;
constexpr std::uint32_t firstSequence = 0x01020304u;

void printFacts() {
    fact("code", "acknowledgement", "-", Code::acknowledgement);
    fact("code", "presence", "-", Code::presence);
    fact("code", "wrappedPresence", "-", Code::wrappedPresence);
    fact("code", "toolPresence", "-", Code::toolPresence);
    fact("code", "getDeviceConfig", "-", Code::getDeviceConfig);
    fact("code", "deviceConfigReply", "-", Code::deviceConfigReply);
    fact("code", "selectMe", "-", Code::selectMe);
    fact("code", "setBoardId", "-", Code::setBoardId);
    fact("code", "boardIdReply", "-", Code::boardIdReply);
    fact("code", "getBoardId", "-", Code::getBoardId);
    fact("code", "getDeviceConfig", "-", MSG_GetDeviceConfig::code);
    fact("code", "getBoardId", "-", MSG_GetBoardID::code);
    fact("code", "selectMe", "-", MSG_SelectMe::code);
    fact("code", "setBoardId", "-", MSG_SetBoardID::code);

    fact("size", "getDeviceConfig", "-", MSG_GetDeviceConfig::size);
    fact("size", "getBoardId", "-", MSG_GetBoardID::size);
    fact("size", "selectMe", "-", MSG_SelectMe::size);
    fact("size", "setBoardId", "-", MSG_SetBoardID::size);
    fact("size", "toolPresence", "-", MSG_BroadcastID::size);
    fact("size", "presence", "-", presenceSize);
    fact("size", "wrappedPresence", "-", wrappedPresenceMinimum);
    fact("size", "deviceConfigReply", "-", deviceConfigReplyMinimum);
    fact("size", "boardIdReply", "-", boardIdReplyMinimum);
    fact("size", "acknowledgement", "-", acknowledgementMinimum);

    fact("offset", "header", "sourceId", Header::sourceId);
    fact("offset", "header", "destinationId", Header::destinationId);
    fact("offset", "header", "sourceType", Header::sourceType);
    fact("offset", "header", "destinationType", Header::destinationType);
    fact("offset", "header", "length", Header::length);
    fact("offset", "header", "command", Header::command);
    fact("offset", "header", "sequence", Header::sequence);
    fact("size", "header", "-", Header::size);

    fact("offset", "presence", "changeMarkA", PresenceField::changeMarkA);
    fact("offset", "presence", "changeMarkB", PresenceField::changeMarkB);
    fact("offset", "presence", "modeFlags", PresenceField::modeFlags);
    fact("offset", "presence", "deviceType", PresenceField::deviceType);
    fact("offset", "presence", "stationTag", PresenceField::stationTag);
    fact("end", "presence", "stationTag", PresenceField::end);
    fact("offset", "selectMe", "select", MSG_SelectMe::select);
    fact("offset", "wrappedPresence", "presence", wrappedPresenceOffset);
    fact("size", "wrappedPresence", "presence", presenceSize);
    for (const char* message : {"boardIdReply", "setBoardId"}) {
        fact("offset", message, "boardRecord", BoardRecord::offset);
        fact("size", message, "boardRecord", BoardRecord::size);
        fact("offset", message, "boardId", BoardRecord::boardId);
    }
    fact("offset", "deviceConfigReply", "deviceName", deviceNameOffset);
    fact("size", "deviceConfigReply", "deviceName", deviceNameCapacity);

    AnyNetworkType network;
    fact("code", "toolPresence", "-", network.presenceCommand());
    fact("constant", "-", "toolType", network.ownType());
    fact("constant", "-", "alternateDevicePort", network.alternateDevicePort());
    fact("constant", "-", "devicePort", network.devicePort());
    fact("constant", "-", "localPort", network.localPort());
    fact("constant", "-", "alternateDevicePort", network.deviceTargetPort());
    fact("constant", "-", "presenceDestinationId", presenceDestinationId);
    fact("constant", "-", "ackAccepted", ackAccepted);
}

template <class T> void printBuilt(const char* name) {
    Command<T> command(sourceId, destinationId, AnyNetworkType().ownType(), destinationType);
    seal(command);
    std::cout << "built " << name << ' ' << hex(command) << '\n';
}

void printBuiltMessages() {
    // Each build draws the next number: firstSequence + 1, + 2, ... in this order.
    nextSequence.store(firstSequence);
    printBuilt<MSG_GetDeviceConfig>("getDeviceConfig");
    printBuilt<MSG_GetBoardID>("getBoardId");
    printBuilt<MSG_SelectMe>("selectMe");
    printBuilt<MSG_SetBoardID>("setBoardId");
    AnyNetworkType network;
    Command<MSG_BroadcastID> presence(network.presenceCommand(), sourceId, network.ownType());
    seal(presence);
    std::cout << "built toolPresence " << hex(presence) << '\n';
}

std::vector<char> parseHex(const std::string& text) {
    std::vector<char> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

template <class V> void decoded(int n, const char* name, V value) {
    std::cout << "decoded " << n << ' ' << name << ' ' << +value << '\n';
}

void printDecoded(int n, std::vector<char> bytes) {
    const std::size_t size = bytes.size();
    if (size < Header::size) {
        decoded(n, "tooShort", 1);
        return;
    }
    const char* data = bytes.data();
    const char* embedded = unwrapPresence(data, size);
    decoded(n, "unwrappedAt", embedded != nullptr ? embedded - data : std::ptrdiff_t{-1});

    Command<MSG_CmdHdr> received(data, size);
    decoded(n, "valid", received.valid ? 1 : 0);
    decoded(n, "receivedSize", static_cast<long long>(received.size()));
    decoded(n, "command", received.command());
    decoded(n, "sequence", received.sequence());

    MSG_CmdHdr header(bytes.data());
    decoded(n, "sourceId", header.sourceId());
    decoded(n, "length", header.length());
    AnyNetworkType network;
    network.normalizeHeader(header);
    decoded(n, "normalizedSourceType", header.sourceType());
    decoded(n, "isDevice", network.isDeviceType(header) ? 1 : 0);

    // Presence is read from the embedded message when there is one, as the
    // frame list reads it.
    const Presence presence =
        embedded != nullptr ? decodePresence(embedded, presenceSize) : decodePresence(data, size);
    decoded(n, "changeMarkA", presence.changeMarkA);
    decoded(n, "changeMarkB", presence.changeMarkB);
    decoded(n, "modeFlags", presence.modeFlags);
    decoded(n, "deviceType", presence.deviceType);
    decoded(n, "stationTag0", presence.stationTag[0]);
    decoded(n, "stationTag1", presence.stationTag[1]);

    const auto name = decodeDeviceName(data, size);
    if (name)
        std::cout << "decoded " << n << " deviceName " << *name << '\n';
    else
        decoded(n, "deviceNameFailed", 1);
    const auto boardId = decodeBoardId(data, size);
    decoded(n, boardId ? "boardId" : "boardIdFailed", boardId ? *boardId : 1);
    const auto status = decodeAckStatus(data, size);
    decoded(n, status ? "ackStatus" : "ackStatusFailed", status ? *status : 1);
}

} // namespace

int main() {
    printFacts();
    printBuiltMessages();
    std::string line;
    for (int n = 0; std::getline(std::cin, line); ++n)
        printDecoded(n, parseHex(line));
    return 0;
}
