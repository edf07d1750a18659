#pragma once

#include "Outbox.h"

#include <cstdint>
#include <filesystem>
#include <vector>

// The box's journal read as its outbox: the numbered records, as they are
// appended (by serve or by any other program writing the same journal). The
// first read, and the first after a rotation, takes the rotated files too.
namespace Fleet {

class JournalTail {
public:
    explicit JournalTail(std::filesystem::path journal);

    // The numbered records above `after` that this reader has not returned
    // before (those of a rotation's files again: the caller passes over what
    // it holds). Lines that are not numbered records are passed over.
    // Throws Journal::JournalError.
    std::vector<OutgoingRecord> read(std::uint64_t after);

private:
    void take(std::string_view text, std::uint64_t after, std::vector<OutgoingRecord>& out) const;

    const std::filesystem::path journal_;
    bool started_ = false;
    std::uint64_t device_ = 0, inode_ = 0; // the file read up to offset_
    std::uint64_t offset_ = 0;
};

} // namespace Fleet
