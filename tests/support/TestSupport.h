#pragma once

// What most tests include: waiting with a deadline (WaitUntil.h), values handed
// across threads (Recorder.h), the test-namespace check, and datagrams as devices
// send them, with the header the protocol stack's own message code writes.

#include "Message.h"
#include "Recorder.h"
#include "TestNamespace.h"
#include "WaitUntil.h"
#include "Wire.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace TestSupport {

// Whether a test that cannot run here must fail rather than skip: in CI (the
// variable CI set and not empty), where every test has to run.
inline bool skipsFail() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

// Ends the calling test, which cannot run on this machine (not: on this
// platform) for the reason `why`: a skip with the reason on a developer's
// machine, a failure in CI.
#define VORN_CANNOT_RUN(why)                                                                       \
    do {                                                                                           \
        if (TestSupport::skipsFail())                                                              \
            FAIL() << "cannot run: " << why;                                                       \
        GTEST_SKIP() << why;                                                                       \
    } while (false)

// Ends the calling test unless it runs inside the private network namespace of
// the test run (see TestNamespace.h), as VORN_CANNOT_RUN does. Tests that
// broadcast or bind the wildcard address start with it.
#define VORN_REQUIRE_TEST_NAMESPACE()                                                              \
    do {                                                                                           \
        if (const std::string why = TestNamespace::problem(); !why.empty())                        \
            VORN_CANNOT_RUN(why);                                                                  \
    } while (false)

struct PresenceFields {
    std::uint64_t id = 0;
    std::uint16_t typeWord = 2;
    std::uint32_t modeFlags = 0;
    std::int32_t changeMarkA = 0;
    std::int32_t changeMarkB = 0;
    std::uint8_t deviceType = 10;
    std::uint32_t sequence = 0;
};

// A message of `size` bytes (at least 28) with the given header fields.
inline std::vector<char> datagram(std::size_t size, std::uint64_t sourceId, std::uint16_t command,
                                  std::uint32_t sequence, std::uint16_t typeWord = 2) {
    Vorn::Message message;
    Vorn::detail::buildHeader(message, std::max(size, Vorn::Header::size), sourceId, 0, typeWord, 0,
                              command);
    // A shorter size is kept in the length field only: a message that claims too little.
    Wire::writeU16(message.data() + Vorn::Header::length, static_cast<std::uint16_t>(size));
    Wire::writeU32(message.data() + Vorn::Header::sequence, sequence);
    return message.bytes;
}

// A 100-byte presence message (code 4) as a device sends it.
inline std::vector<char> presence(const PresenceFields& f) {
    auto bytes = datagram(Vorn::presenceSize, f.id, Vorn::Code::presence, f.sequence, f.typeWord);
    Wire::writeU32(bytes.data() + Vorn::PresenceField::changeMarkA,
                   static_cast<std::uint32_t>(f.changeMarkA));
    Wire::writeU32(bytes.data() + Vorn::PresenceField::changeMarkB,
                   static_cast<std::uint32_t>(f.changeMarkB));
    Wire::writeU32(bytes.data() + Vorn::PresenceField::modeFlags, f.modeFlags);
    bytes[Vorn::PresenceField::deviceType] = static_cast<char>(f.deviceType);
    Wire::writeU32(bytes.data() + Vorn::PresenceField::stationTag, 0x11223344);
    Wire::writeU32(bytes.data() + Vorn::PresenceField::stationTag + 4, 0x55667788);
    return bytes;
}

} // namespace TestSupport
