#pragma once

// What most tests include: waiting with a deadline (WaitUntil.h), values handed
// across threads (Recorder.h), the test-namespace check, and datagrams as devices
// send them, written from the protocol's description rather than by the tool's
// own message code (which Message.h and Wire.h, included for the tests' other
// uses, hold).

#include "Recorder.h"
#include "TestNamespace.h"
#include "WaitUntil.h"
#include "wire/Message.h"
#include "wire/Wire.h"

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

// Little-endian fields written byte by byte, as the protocol describes them:
// the datagrams below are the devices' and do not come from the tool's own
// message code, whose faults they would otherwise share.
inline void putU16(std::vector<char>& bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}
inline void putU32(std::vector<char>& bytes, std::size_t at, std::uint32_t value) {
    putU16(bytes, at, static_cast<std::uint16_t>(value & 0xFFFF));
    putU16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// A message of `size` bytes (at least 28) with the given header fields: the
// source id high word first at 0, destination 0, the type word at 16, the
// length at 20 (`size` even when shorter than 28: a message that claims too
// little), the command at 22, the sequence at 24.
inline std::vector<char> datagram(std::size_t size, std::uint64_t sourceId, std::uint16_t command,
                                  std::uint32_t sequence, std::uint16_t typeWord = 2) {
    std::vector<char> bytes(std::max<std::size_t>(size, 28), '\0');
    putU32(bytes, 0, static_cast<std::uint32_t>(sourceId >> 32));
    putU32(bytes, 4, static_cast<std::uint32_t>(sourceId & 0xFFFFFFFF));
    putU16(bytes, 16, typeWord);
    putU16(bytes, 20, static_cast<std::uint16_t>(size));
    putU16(bytes, 22, command);
    putU32(bytes, 24, sequence);
    return bytes;
}

// A 100-byte presence message (code 4) as a device sends it: change marks at
// 48 and 60, mode flags at 64, device type at 72, station tag at 80..87.
inline std::vector<char> presence(const PresenceFields& f) {
    auto bytes = datagram(100, f.id, 4, f.sequence, f.typeWord);
    putU32(bytes, 48, static_cast<std::uint32_t>(f.changeMarkA));
    putU32(bytes, 60, static_cast<std::uint32_t>(f.changeMarkB));
    putU32(bytes, 64, f.modeFlags);
    bytes[72] = static_cast<char>(f.deviceType);
    putU32(bytes, 80, 0x11223344);
    putU32(bytes, 84, 0x55667788);
    return bytes;
}

} // namespace TestSupport
