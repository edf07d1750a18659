#pragma once

#include "FleetStates.h"
#include "GapFreeMark.h"
#include "JournalPayload.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

// The archive's database (SQLite): every box's journal records, stored once by
// box and number, the boxes' states and the devices each box has seen. WAL,
// and every change committed to the disk before it is acknowledged
// (synchronous = FULL). One writer (the archive's thread); readers may open
// it at the same time.
namespace Fleet {

class ArchiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BoxRow {
    std::string box;
    std::string site;
    bool online = false;
    std::uint64_t session = 0;
    std::string since;       // UTC: when it went online or offline
    std::string lastContact; // UTC: the last message of the box
    std::string version;
    std::string adapter;
    std::uint64_t devices = 0;      // present, as its status said
    std::uint64_t acknowledged = 0; // stored without a gap up to here
    std::uint64_t waiting = 0;      // stored above a gap
    std::uint64_t dropped = 0;      // payloads that were not records
};

struct DeviceRow {
    std::string box;
    std::string site;
    DeviceState state;
};

// A journal record as stored: the box (the topic's), its number and line.
struct StoredRecord {
    std::string box;
    std::string site;
    std::uint64_t sequence = 0;
    std::string line;
};

struct ArchiveFilter {
    std::optional<std::string> box;
    std::optional<std::string> site;
    std::optional<std::string> device; // "00000100:00000001"
    std::optional<std::uint32_t> serial;
    std::optional<std::string> since; // UTC text, compared as text (same format)
};

class ArchiveStore {
public:
    enum class Mode { Write, Read };
    // Opens the database, creating it and its tables for writing. Throws
    // ArchiveError naming the file.
    explicit ArchiveStore(const std::filesystem::path& path, Mode mode = Mode::Write);
    ~ArchiveStore();
    ArchiveStore(const ArchiveStore&) = delete;
    ArchiveStore& operator=(const ArchiveStore&) = delete;

    // The writer's side. Each call is one transaction, on the disk when it
    // returns; throws ArchiveError.
    // Stores a record unless the box's record of that number is there: false then.
    bool storeRecord(const std::string& box, const JournalMessage& message, const std::string& now);
    void saveAcknowledged(const std::string& box, std::uint64_t acknowledged);
    // A status newer than the one held (by session): true when it was taken.
    bool saveStatus(const std::string& box, const BoxStatus& status, const std::string& now);
    void saveDevice(const std::string& box, const DeviceState& device);
    void removeDevice(const std::string& box, const std::string& id);
    void touch(const std::string& box, const std::string& now); // last contact
    void countDropped(const std::string& box);
    // Every box's mark as the stored records give it.
    std::map<std::string, GapFreeMark> loadMarks();

    // The readers' side.
    std::vector<BoxRow> boxes(const ArchiveFilter& filter);
    std::vector<DeviceRow> devices(const ArchiveFilter& filter);
    std::vector<StoredRecord> records(const ArchiveFilter& filter);
    // Forgets a box (its states and devices; its records stay).
    void forgetBox(const std::string& box);

private:
    void execute(const char* sql);
    void ensureBox(const std::string& box);
    [[noreturn]] void fail(const std::string& what) const;

    std::string path_;
    sqlite3* db_ = nullptr;
};

} // namespace Fleet
