#pragma once

#include "JournalRecord.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

// What the window knows about serial numbers: the number each device last
// read as, and its one write in flight between the journal's intent and
// outcome. Window thread only.
class SerialWriteTracker {
public:
    // What the journal records when the write's read-back has come.
    struct Outcome {
        std::string entry;
        std::uint64_t id = 0;
        Journal::WriteResult result = Journal::WriteResult::NoAnswer;
        bool acknowledged = false;
        std::optional<std::uint32_t> readBack;
    };

    // A read of the device's number (none: not answered); the outcome to
    // record when it is the read-back of the write in flight.
    std::optional<Outcome> serialRead(std::uint64_t id, std::optional<std::uint32_t> serial);
    // The number the device last read as; none when never read (or the read
    // after a write was not answered).
    std::optional<std::uint32_t> lastRead(std::uint64_t id) const;
    void forget(std::uint64_t id); // the device left

    // The write of `target` to `id`, recorded as `entry`, was sent. One at a
    // time: a new one replaces one whose read-back never came.
    void writeStarted(std::string entry, std::uint64_t id, std::uint32_t target);
    // The write's own completion; its read-back follows.
    void writeDone(std::uint64_t id, bool acknowledged);
    bool writing() const { return pending_.has_value(); }

private:
    struct Pending {
        std::string entry;
        std::uint64_t id = 0;
        std::optional<std::uint32_t> before;
        std::uint32_t target = 0;
        std::optional<bool> acknowledged; // none: the write has not completed
    };
    std::unordered_map<std::uint64_t, std::uint32_t> read_;
    std::optional<Pending> pending_;
};
