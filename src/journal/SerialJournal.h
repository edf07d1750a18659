#pragma once

#include "JournalFile.h"
#include "JournalRecord.h"

#include <filesystem>
#include <string>

namespace Journal {

// Who writes, with what and where from: the fields every intent carries.
struct Writer {
    std::string operatorName;
    std::string host;
    std::string tool;             // "vornctl 1.0.0"
    std::string interfaceAddress; // the tool's interface
};

// Records serial writes in a journal file: the intent before the write is
// sent, the outcome after the read-back. Every record takes the number after
// the journal's last one under the file's lock, so the numbers of one journal
// run without a gap whichever program writes. Nothing may be sent to a device
// unless recordIntent() has returned. Safe to use from several threads.
// The two records are virtual so that tests can fail them.
class SerialJournal {
public:
    // Opens (creates) the journal file. Throws JournalError.
    SerialJournal(std::filesystem::path path, Writer writer);
    virtual ~SerialJournal() = default;
    SerialJournal(const SerialJournal&) = delete;
    SerialJournal& operator=(const SerialJournal&) = delete;

    // Appends the intent of writing `target` to `device`, which held `old`,
    // asked by `client` (none: at the tool itself) for `operatorName` (none:
    // the writer's); returns the new entry's id once the line is on the disk.
    // Throws JournalError: then nothing may be sent.
    virtual std::string recordIntent(const DeviceFacts& device, std::optional<std::uint32_t> old,
                                     std::uint32_t target,
                                     std::optional<std::string> client = std::nullopt,
                                     std::optional<std::string> operatorName = std::nullopt);
    // Appends the outcome of entry `entry` for the device `id`. Throws JournalError.
    virtual void recordOutcome(const std::string& entry, const std::string& id, WriteResult result,
                               bool acknowledged, std::optional<std::uint32_t> readBack);

    const std::filesystem::path& path() const { return file_.path(); }

private:
    // Appends the record numbered after the journal's last one.
    template <typename Record> void appendNumbered(Record record);

    JournalFile file_;
    const Writer writer_;
};

// The number of a record that follows `tail`, the journal's last lines: one
// more than the newest numbered record's there, 1 when there is none.
std::uint64_t nextSequence(std::string_view tail);

// A new entry id: 32 hex digits from the system's random source.
std::string newEntryId();

} // namespace Journal
