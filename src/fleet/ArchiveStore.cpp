#include "ArchiveStore.h"

#include "JournalFile.h"

#include <sqlite3.h>

#include <type_traits>
#include <utility>

namespace Fleet {
namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS boxes (
    box TEXT PRIMARY KEY,
    site TEXT NOT NULL DEFAULT '',
    online INTEGER NOT NULL DEFAULT 0,
    session INTEGER NOT NULL DEFAULT 0,
    connection INTEGER NOT NULL DEFAULT 0,
    since TEXT NOT NULL DEFAULT '',
    last_contact TEXT NOT NULL DEFAULT '',
    version TEXT NOT NULL DEFAULT '',
    adapter TEXT NOT NULL DEFAULT '',
    devices INTEGER NOT NULL DEFAULT 0,
    acknowledged INTEGER NOT NULL DEFAULT 0,
    dropped INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS devices (
    box TEXT NOT NULL,
    id TEXT NOT NULL,
    name TEXT,
    product TEXT NOT NULL,
    address TEXT NOT NULL,
    serial INTEGER,
    present INTEGER NOT NULL,
    first_seen TEXT NOT NULL,
    last_seen TEXT NOT NULL,
    PRIMARY KEY (box, id)
);
CREATE INDEX IF NOT EXISTS devices_id ON devices (id);
CREATE INDEX IF NOT EXISTS devices_serial ON devices (serial);
CREATE INDEX IF NOT EXISTS devices_name ON devices (name);
CREATE TABLE IF NOT EXISTS records (
    box TEXT NOT NULL,
    seq INTEGER NOT NULL,
    event TEXT NOT NULL,
    entry TEXT NOT NULL,
    time TEXT NOT NULL,
    device TEXT NOT NULL,
    serial INTEGER,
    line TEXT NOT NULL,
    stored TEXT NOT NULL,
    PRIMARY KEY (box, seq)
);
CREATE INDEX IF NOT EXISTS records_serial ON records (serial);
CREATE INDEX IF NOT EXISTS records_device ON records (device);
CREATE INDEX IF NOT EXISTS records_time ON records (time);
CREATE INDEX IF NOT EXISTS records_entry ON records (box, entry);
)sql";

// One prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK)
            throw ArchiveError(sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(const std::string& text) {
        check(sqlite3_bind_text(statement_, ++bound_, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(std::uint64_t number) {
        check(sqlite3_bind_int64(statement_, ++bound_, static_cast<sqlite3_int64>(number)));
        return *this;
    }
    Statement& bindNull() {
        check(sqlite3_bind_null(statement_, ++bound_));
        return *this;
    }
    template <typename T> Statement& bind(const std::optional<T>& value) {
        return value ? bind(static_cast<std::conditional_t<std::is_integral_v<T>, std::uint64_t,
                                                           const std::string&>>(*value))
                     : bindNull();
    }
    // True while there is a row.
    bool step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW)
            return true;
        if (result != SQLITE_DONE)
            throw ArchiveError(sqlite3_errmsg(db_));
        return false;
    }
    std::string text(int column) const {
        const auto* value = sqlite3_column_text(statement_, column);
        return value
                   ? std::string(reinterpret_cast<const char*>(value),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                   : std::string();
    }
    bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::uint64_t number(int column) const {
        return static_cast<std::uint64_t>(sqlite3_column_int64(statement_, column));
    }

private:
    void check(int result) {
        if (result != SQLITE_OK)
            throw ArchiveError(sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
    int bound_ = 0;
};

// A transaction that rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { run("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        run("COMMIT");
        done_ = true;
    }

private:
    void run(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw ArchiveError(sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    bool done_ = false;
};

// The record's device and the serial number it is about: the intent's new
// number, the outcome's read back.
struct RecordKeys {
    std::string event, entry, time, device;
    std::optional<std::uint32_t> serial;
};

RecordKeys keysOf(const Journal::Record& record) {
    if (const auto* intent = std::get_if<Journal::SerialIntent>(&record))
        return {"intent", intent->entry, Journal::formatUtc(intent->time), intent->device.id,
                intent->target};
    const auto& outcome = std::get<Journal::SerialOutcome>(record);
    return {"outcome", outcome.entry, Journal::formatUtc(outcome.time), outcome.id,
            outcome.readBack};
}

// " AND ..." for the filter's fields over the columns of `table` (with
// boxes joined as b for the site).
std::string whereOf(const ArchiveFilter& filter, const char* table, bool withTime) {
    std::string where;
    const std::string t(table);
    if (filter.box)
        where += " AND " + t + ".box = ?";
    if (filter.site)
        where += " AND b.site = ?";
    if (filter.device)
        where += " AND " + t + (t == "d" ? ".id = ?" : ".device = ?");
    if (filter.serial)
        where += " AND " + t + ".serial = ?";
    if (withTime && filter.since)
        where += " AND " + t + ".time >= ?";
    return where;
}

void bindFilter(Statement& statement, const ArchiveFilter& filter, bool withTime) {
    if (filter.box)
        statement.bind(*filter.box);
    if (filter.site)
        statement.bind(*filter.site);
    if (filter.device)
        statement.bind(*filter.device);
    if (filter.serial)
        statement.bind(static_cast<std::uint64_t>(*filter.serial));
    if (withTime && filter.since)
        statement.bind(*filter.since);
}

} // namespace

ArchiveStore::ArchiveStore(const std::filesystem::path& path, Mode mode)
    : path_(Journal::displayPath(path)) {
    const int flags =
        mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path_.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw ArchiveError("cannot open the archive " + path_ + ": " + reason);
    }
    try {
        sqlite3_busy_timeout(db_, 5000);
        if (mode == Mode::Write) {
            execute("PRAGMA journal_mode = WAL");
            execute("PRAGMA synchronous = FULL");
            execute(schema);
        } else
            execute("SELECT 1 FROM records LIMIT 1");
    } catch (const ArchiveError& error) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw ArchiveError("cannot open the archive " + path_ + ": " + error.what());
    }
}

ArchiveStore::~ArchiveStore() {
    sqlite3_close(db_);
}

void ArchiveStore::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw ArchiveError(reason);
    }
}

void ArchiveStore::fail(const std::string& what) const {
    throw ArchiveError("the archive " + path_ + ": " + what);
}

void ArchiveStore::ensureBox(const std::string& box) {
    Statement(db_, "INSERT OR IGNORE INTO boxes (box) VALUES (?)").bind(box).step();
}

bool ArchiveStore::storeRecord(const std::string& box, const JournalMessage& message,
                               const std::string& now) {
    try {
        const RecordKeys keys = keysOf(message.record);
        Transaction transaction(db_);
        ensureBox(box);
        Statement insert(db_, "INSERT OR IGNORE INTO records (box, seq, event, entry, time, device,"
                              " serial, line, stored) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(box).bind(message.sequence).bind(keys.event).bind(keys.entry).bind(keys.time);
        insert.bind(keys.device).bind(keys.serial).bind(message.line).bind(now).step();
        const bool inserted = sqlite3_changes(db_) > 0;
        transaction.commit();
        return inserted;
    } catch (const ArchiveError& error) {
        fail(std::string("cannot store a record: ") + error.what());
    }
}

void ArchiveStore::saveAcknowledged(const std::string& box, std::uint64_t acknowledged) {
    try {
        Statement(db_, "UPDATE boxes SET acknowledged = ? WHERE box = ? AND acknowledged < ?")
            .bind(acknowledged)
            .bind(box)
            .bind(acknowledged)
            .step();
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
}

bool ArchiveStore::saveStatus(const std::string& box, const BoxStatus& status,
                              const std::string& now) {
    try {
        Transaction transaction(db_);
        ensureBox(box);
        Statement held(db_, "SELECT session, connection, online, since FROM boxes WHERE box = ?");
        held.bind(box).step();
        const StatusAge age{held.number(0), held.number(1)};
        const bool wasOnline = held.number(2) != 0;
        const bool known = !held.text(3).empty();
        if (known && !supersedes(status, age))
            return false;
        const bool changed = !known || wasOnline != status.online || age.session != status.session;
        Statement update(db_, "UPDATE boxes SET site = ?, online = ?, session = ?, connection = ?,"
                              " version = ?, adapter = ?, devices = ?, last_contact = ?,"
                              " since = CASE WHEN ? THEN ? ELSE since END WHERE box = ?");
        update.bind(status.site).bind(std::uint64_t{status.online}).bind(status.session);
        update.bind(status.connection);
        update.bind(status.version).bind(status.adapter).bind(status.devices).bind(now);
        update.bind(std::uint64_t{changed}).bind(now).bind(box).step();
        transaction.commit();
        return true;
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
}

void ArchiveStore::saveDevice(const std::string& box, const DeviceState& device) {
    try {
        Transaction transaction(db_);
        ensureBox(box);
        Statement upsert(db_, "INSERT OR REPLACE INTO devices (box, id, name, product, address,"
                              " serial, present, first_seen, last_seen)"
                              " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        upsert.bind(box).bind(device.id).bind(device.name).bind(device.product);
        upsert.bind(device.address).bind(device.serial).bind(std::uint64_t{device.present});
        upsert.bind(device.firstSeen).bind(device.lastSeen).step();
        transaction.commit();
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
}

void ArchiveStore::removeDevice(const std::string& box, const std::string& id) {
    try {
        Statement(db_, "DELETE FROM devices WHERE box = ? AND id = ?").bind(box).bind(id).step();
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
}

void ArchiveStore::touch(const std::string& box, const std::string& now) {
    try {
        ensureBox(box);
        Statement(db_, "UPDATE boxes SET last_contact = ? WHERE box = ?")
            .bind(now)
            .bind(box)
            .step();
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
}

void ArchiveStore::countDropped(const std::string& box) {
    try {
        ensureBox(box);
        Statement(db_, "UPDATE boxes SET dropped = dropped + 1 WHERE box = ?").bind(box).step();
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
}

std::map<std::string, GapFreeMark> ArchiveStore::loadMarks() {
    std::map<std::string, GapFreeMark> marks;
    try {
        Statement boxes(db_, "SELECT box, acknowledged FROM boxes");
        while (boxes.step())
            marks.emplace(boxes.text(0), GapFreeMark(boxes.number(1)));
        for (auto& [box, mark] : marks) {
            Statement above(db_, "SELECT seq FROM records WHERE box = ? AND seq > ? ORDER BY seq");
            above.bind(box).bind(mark.mark());
            while (above.step())
                mark.stored(above.number(0));
        }
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
    return marks;
}

std::vector<BoxRow> ArchiveStore::boxes(const ArchiveFilter& filter) {
    std::vector<BoxRow> rows;
    std::string sql =
        "SELECT b.box, b.site, b.online, b.session, b.since, b.last_contact, b.version,"
        " b.adapter, b.devices, b.acknowledged, b.dropped,"
        " (SELECT count(*) FROM records r WHERE r.box = b.box AND r.seq > b.acknowledged)"
        " FROM boxes b WHERE 1";
    if (filter.box)
        sql += " AND b.box = ?";
    if (filter.site)
        sql += " AND b.site = ?";
    sql += " ORDER BY b.box";
    try {
        Statement query(db_, sql);
        if (filter.box)
            query.bind(*filter.box);
        if (filter.site)
            query.bind(*filter.site);
        while (query.step()) {
            BoxRow row;
            row.box = query.text(0);
            row.site = query.text(1);
            row.online = query.number(2) != 0;
            row.session = query.number(3);
            row.since = query.text(4);
            row.lastContact = query.text(5);
            row.version = query.text(6);
            row.adapter = query.text(7);
            row.devices = query.number(8);
            row.acknowledged = query.number(9);
            row.dropped = query.number(10);
            row.waiting = query.number(11);
            rows.push_back(std::move(row));
        }
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
    return rows;
}

std::vector<DeviceRow> ArchiveStore::devices(const ArchiveFilter& filter) {
    std::vector<DeviceRow> rows;
    const std::string sql =
        "SELECT d.box, b.site, d.id, d.name, d.product, d.address, d.serial, d.present,"
        " d.first_seen, d.last_seen FROM devices d LEFT JOIN boxes b ON b.box = d.box WHERE 1" +
        whereOf(filter, "d", false) + " ORDER BY d.id, d.last_seen";
    try {
        Statement query(db_, sql);
        bindFilter(query, filter, false);
        while (query.step()) {
            DeviceRow row;
            row.box = query.text(0);
            row.site = query.text(1);
            row.state.id = query.text(2);
            if (!query.isNull(3))
                row.state.name = query.text(3);
            row.state.product = query.text(4);
            row.state.address = query.text(5);
            if (!query.isNull(6))
                row.state.serial = static_cast<std::uint32_t>(query.number(6));
            row.state.present = query.number(7) != 0;
            row.state.firstSeen = query.text(8);
            row.state.lastSeen = query.text(9);
            if (!filter.since || row.state.lastSeen >= *filter.since)
                rows.push_back(std::move(row));
        }
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
    return rows;
}

std::vector<StoredRecord> ArchiveStore::records(const ArchiveFilter& filter) {
    std::vector<StoredRecord> rows;
    // Whole entries: every record of an entry one of whose records matches.
    const std::string sql =
        "SELECT r.box, b.site, r.seq, r.line FROM records r LEFT JOIN boxes b ON b.box = r.box"
        " WHERE (r.box, r.entry) IN (SELECT r.box, r.entry FROM records r"
        " LEFT JOIN boxes b ON b.box = r.box WHERE 1" +
        whereOf(filter, "r", true) + ") ORDER BY r.time, r.box, r.seq";
    try {
        Statement query(db_, sql);
        bindFilter(query, filter, true);
        while (query.step())
            rows.push_back({query.text(0), query.text(1), query.number(2), query.text(3)});
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
    return rows;
}

void ArchiveStore::forgetBox(const std::string& box) {
    try {
        Transaction transaction(db_);
        Statement(db_, "DELETE FROM devices WHERE box = ?").bind(box).step();
        Statement(db_, "UPDATE boxes SET online = 0, devices = 0 WHERE box = ?").bind(box).step();
        transaction.commit();
    } catch (const ArchiveError& error) {
        fail(error.what());
    }
}

} // namespace Fleet
