#pragma once

#include "SerialJournal.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>

// The window's journal of serial writes, opened when first needed (a journal
// that cannot be opened is shown in an error box naming the file, and then the
// write is not sent), and the numbers the devices last read as. The writes
// themselves go through the controller's write flow. Window thread only.
class WindowJournal {
public:
    // `path`: the journal file; none: the default place, found when first needed.
    explicit WindowJournal(std::optional<std::filesystem::path> path = std::nullopt);
    // Another journal file; before the first write only.
    void usePath(std::filesystem::path path) { path_ = std::move(path); }
    // The interface the window works on, recorded with every write.
    void useInterface(std::string address) { interface_ = std::move(address); }

    // The journal to record a write in; null (after an error box owned by
    // `owner`) when it cannot be opened: the write must not be sent.
    Journal::SerialJournal* open(HWND owner);
    // The journal file (the default place unless another was set). Throws
    // Journal::JournalError.
    std::filesystem::path path() const;

    // A read of the device's number (none: not answered).
    void serialRead(std::uint64_t id, std::optional<std::uint32_t> serial);
    void deviceLeft(std::uint64_t id) { read_.erase(id); }
    // The number the device last read as (for the list's export).
    std::optional<std::uint32_t> lastRead(std::uint64_t id) const;

    // "Serial numbers written here are recorded in PATH." (or why there is no journal).
    std::string locationText() const;

private:
    std::optional<std::filesystem::path> path_;
    std::string interface_;
    std::optional<Journal::SerialJournal> journal_;
    std::unordered_map<std::uint64_t, std::uint32_t> read_;
};
