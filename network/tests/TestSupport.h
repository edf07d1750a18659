#pragma once

// Helpers shared by the network tests: waiting on conditions with a deadline,
// recording calls from other threads, and building datagrams as devices send them.

#include "Message.h"
#include "TestNamespace.h"
#include "Wire.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestSupport {

using namespace std::chrono_literals;

// Polls `condition` until it holds or `timeout` passes; returns its last value.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Collects values pushed from any thread; waits for a count with a deadline.
template <class T> class Recorder {
public:
    // Notifies under the lock: a waiter that returns may destroy the recorder.
    void push(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = 5000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return values_.size() >= count; });
    }
    std::vector<T> values() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_.size();
    }

private:
    mutable std::mutex mutex_; // guards values_
    std::condition_variable changed_;
    std::vector<T> values_;
};

// Skips the calling test, with the reason, unless it runs inside the private
// network namespace of the test run (see TestNamespace.h): tests that broadcast
// or bind the wildcard address start with it.
#define VORN_REQUIRE_TEST_NAMESPACE()                                                              \
    do {                                                                                           \
        if (const std::string why = TestNamespace::problem(); !why.empty())                        \
            GTEST_SKIP() << why;                                                                   \
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
    std::vector<char> bytes(std::max(size, Vorn::Header::size), 0);
    Wire::writeFrameId(bytes.data() + Vorn::Header::sourceId, sourceId);
    Wire::writeU16(bytes.data() + Vorn::Header::sourceType, typeWord);
    Wire::writeU16(bytes.data() + Vorn::Header::length, static_cast<std::uint16_t>(size));
    Wire::writeU16(bytes.data() + Vorn::Header::command, command);
    Wire::writeU32(bytes.data() + Vorn::Header::sequence, sequence);
    return bytes;
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
