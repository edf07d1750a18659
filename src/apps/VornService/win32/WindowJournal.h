#pragma once

#include "JournalRecord.h"
#include "SerialJournal.h"
#include "SerialWriteTracker.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The window's serial writes in the journal: the intent before the write is
// sent, the outcome when its read-back has come. A journal that cannot be
// opened or written is shown in an error box naming the file, and then the
// write is not sent. Window thread only.
class WindowJournal {
public:
    // `path`: the journal file; none: the default place, found when first needed.
    explicit WindowJournal(std::optional<std::filesystem::path> path = std::nullopt);
    // Another journal file; before the first write only.
    void usePath(std::filesystem::path path) { path_ = std::move(path); }
    // The interface the window works on, recorded with every write.
    void useInterface(std::string address) { interface_ = std::move(address); }

    // Records the intent of writing `target` to `device`; false (after an
    // error box owned by `owner`) when it could not be recorded: the write
    // must not be sent.
    bool recordIntent(HWND owner, const Journal::DeviceFacts& device, std::uint64_t id,
                      std::uint32_t target);
    // The write was not sent after all (the controller refused it): it is
    // recorded as not answered, with nothing read back.
    void notSent(HWND owner, std::uint64_t id);
    // The write's completion.
    void writeDone(std::uint64_t id, bool acknowledged) { tracker_.writeDone(id, acknowledged); }
    // A read of the device's number (none: not answered): the outcome of a
    // write when it is its read-back.
    void serialRead(HWND owner, std::uint64_t id, std::optional<std::uint32_t> serial);
    void deviceLeft(std::uint64_t id) { tracker_.forget(id); }

    // The number the device last read as (for the list's export).
    std::optional<std::uint32_t> lastRead(std::uint64_t id) const { return tracker_.lastRead(id); }

    // "Serial numbers written here are recorded in PATH." (or why there is no journal).
    std::string locationText() const;

private:
    void record(HWND owner, const SerialWriteTracker::Outcome& outcome);
    // The file, opened on first use. Throws Journal::JournalError.
    Journal::SerialJournal& journal();

    std::optional<std::filesystem::path> path_;
    std::string interface_;
    std::optional<Journal::SerialJournal> journal_;
    SerialWriteTracker tracker_;
};
