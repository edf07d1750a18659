// Wire-message decoding and validation on arbitrary bytes: the received-message
// copy, presence decoding and unwrapping, the reply decoders, the check value
// and the network type's header rules. Besides running clean under the
// sanitizers, each result must agree with the bytes it came from.

#include "FuzzCheck.h"
#include "wire/Message.h"
#include "wire/NetworkType.h"
#include "wire/Wire.h"

#include <cstring>
#include <vector>

namespace {

void checkReceivedCopy(const char* data, std::size_t size) {
    if (size < Vorn::Header::size)
        return; // the constructor's precondition
    const Vorn::Command<Vorn::MSG_CmdHdr> copy(data, size);
    const std::int16_t declared = Vorn::Wire::readI16(data + Vorn::Header::length);
    const bool fits = declared >= 0 && static_cast<std::size_t>(declared) <= size;
    FUZZ_CHECK(copy.valid == fits);
    if (!copy.valid) {
        FUZZ_CHECK(copy.size() == 0);
        return;
    }
    FUZZ_CHECK(copy.size() == static_cast<std::size_t>(declared));
    FUZZ_CHECK(copy.size() == 0 || std::memcmp(copy.data(), data, copy.size()) == 0);
    if (copy.size() >= Vorn::Header::size)
        FUZZ_CHECK(copy.command() == Vorn::Wire::readU16(data + Vorn::Header::command));
    else
        FUZZ_CHECK(copy.command() == 0 && copy.sequence() == 0);
}

void checkPresence(const char* data, std::size_t size) {
    const Vorn::Presence presence = Vorn::decodePresence(data, size);
    if (size >= Vorn::PresenceField::end) {
        FUZZ_CHECK(presence.changeMarkA ==
                   Vorn::Wire::readI32(data + Vorn::PresenceField::changeMarkA));
        FUZZ_CHECK(presence.modeFlags ==
                   Vorn::Wire::readU32(data + Vorn::PresenceField::modeFlags));
        FUZZ_CHECK(presence.stationTag[1] ==
                   Vorn::Wire::readU32(data + Vorn::PresenceField::stationTag + 4));
    }
    if (size < Vorn::PresenceField::changeMarkA + 4)
        FUZZ_CHECK(presence.changeMarkA == 0 && presence.modeFlags == 0);
    FUZZ_CHECK(Vorn::modeFromFlags(presence.modeFlags) <= 6);
    FUZZ_CHECK(presence.changeMark() >= presence.changeMarkA &&
               presence.changeMark() >= presence.changeMarkB);

    const char* embedded = Vorn::unwrapPresence(data, size);
    if (embedded != nullptr) {
        FUZZ_CHECK(embedded == data + Vorn::wrappedPresenceOffset);
        FUZZ_CHECK(size >= Vorn::wrappedPresenceMinimum);
        FUZZ_CHECK(Vorn::Wire::readU16(data + Vorn::Header::command) ==
                   Vorn::Code::wrappedPresence);
        FUZZ_CHECK(Vorn::Wire::readI16(data + Vorn::Header::size) > 0);
    }
}

void checkReplies(const char* data, std::size_t size) {
    if (const auto name = Vorn::decodeDeviceName(data, size)) {
        FUZZ_CHECK(size >= Vorn::deviceConfigReplyMinimum);
        FUZZ_CHECK(name->size() < Vorn::deviceNameCapacity);
        FUZZ_CHECK(name->find('\0') == std::string::npos);
        FUZZ_CHECK(std::memcmp(name->data(), data + Vorn::deviceNameOffset, name->size()) == 0);
    }
    if (const auto id = Vorn::decodeBoardId(data, size))
        FUZZ_CHECK(size >= Vorn::boardIdReplyMinimum &&
                   *id == Vorn::Wire::readU32(data + Vorn::BoardRecord::boardId));
    if (const auto status = Vorn::decodeAckStatus(data, size))
        FUZZ_CHECK(size >= Vorn::acknowledgementMinimum);
}

// Sealing writes the last four bytes only, and resealing a message (one that
// holds a header, so that the check value cannot overlap the length field the
// check depends on) changes nothing.
void checkSeal(const char* data, std::size_t size) {
    Vorn::Message message;
    message.bytes.assign(data, data + size);
    Vorn::seal(message);
    const std::size_t kept = size >= 4 ? size - 4 : size;
    FUZZ_CHECK(kept == 0 || std::memcmp(message.data(), data, kept) == 0);
    if (size < Vorn::Header::size)
        return;
    Vorn::Message again = message;
    Vorn::seal(again);
    FUZZ_CHECK(again.bytes == message.bytes);
}

void checkNetworkType(const char* data, std::size_t size) {
    if (size < Vorn::Header::size)
        return;
    std::vector<char> header(data, data + Vorn::Header::size);
    Vorn::MSG_CmdHdr view(header.data());
    const Vorn::AnyNetworkType any;
    any.normalizeHeader(view);
    // Normalising touches the source type only, and twice is once.
    FUZZ_CHECK(std::memcmp(header.data(), data, Vorn::Header::sourceType) == 0);
    FUZZ_CHECK(std::memcmp(header.data() + Vorn::Header::destinationType,
                           data + Vorn::Header::destinationType,
                           Vorn::Header::size - Vorn::Header::destinationType) == 0);
    const std::uint16_t once = view.sourceType();
    any.normalizeHeader(view);
    FUZZ_CHECK(view.sourceType() == once);
    (void)any.isDeviceType(view);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // A private copy of exactly `size` bytes: any read past it is a finding.
    const std::vector<char> input(bytes, bytes + size);
    const char* data = input.data();
    checkReceivedCopy(data, size);
    checkPresence(data, size);
    checkReplies(data, size);
    checkSeal(data, size);
    checkNetworkType(data, size);
    return 0;
}
