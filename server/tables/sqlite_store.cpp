// The SQLite back end: one database file, WAL mode (readers never block the writer),
// every statement prepared with bound parameters.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <optional>

#include "server/tables/table_store.h"
#include "server/tables/tables.h"

namespace gavo::server {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS gavo_records ("
    " seq INTEGER PRIMARY KEY AUTOINCREMENT,"
    " table_name TEXT NOT NULL,"
    " received_utc TEXT NOT NULL,"
    " client TEXT NOT NULL,"
    " record BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS gavo_records_by_table ON gavo_records(table_name, seq);";

constexpr const char* kMeta =
    "CREATE TABLE IF NOT EXISTS gavo_meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)";

// The layout that kSchema makes, which is also that of a store from before versions.
constexpr const char* kStamp =
    "INSERT OR IGNORE INTO gavo_meta(name, value) VALUES('schema_version', '1'),"
    " ('store_id', ?1)";

constexpr const char* kSelect =
    "SELECT seq, table_name, received_utc, client, record FROM gavo_records";

// How long a commit waits for a lock another process holds.
constexpr int kBusyWaitMs = 10000;

// Without sync, the WAL is checkpointed (which flushes) off the committing thread once it
// holds this many pages, SQLite's own threshold.
constexpr int kCheckpointPages = 1000;

constexpr const char* kInsert =
    "INSERT INTO gavo_records(table_name, received_utc, client, record) VALUES(?,?,?,?)";

class SqliteStore : public TableStore {
public:
    SqliteStore(std::string path, bool sync) : path_(std::move(path)), sync_(sync) {}
    ~SqliteStore() override {
        for (sqlite3_stmt* stmt : {insert_, begin_, commit_, rollback_}) sqlite3_finalize(stmt);
        sqlite3_close(db_);
    }

    bool open(StoreError* error) override;
    bool append(const std::vector<const Record*>& batch, StoreError* error) override;
    bool append_or_busy(const std::vector<const Record*>& batch, StoreError* error) override;
    // Without sync a commit writes to the WAL without flushing it.
    bool commits_quickly() const override { return !sync_; }
    bool upkeep_due() const override { return wal_pages_ >= kCheckpointPages; }
    void run_upkeep() override {
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        wal_pages_ = 0;
    }
    bool scan(const std::string& table, const std::function<void(const StoredRecord&)>& each,
              StoreError* error) override;
    std::string describe() const override { return "sqlite " + path_; }
    std::string store_id() const override { return store_id_; }
    bool scan_after(int64_t after, size_t limit,
                    const std::function<void(const StoredRecord&)>& each,
                    StoreError* error) override;

private:
    // Fills `error` from the connection's last error; returns false.
    bool fail(const char* what, StoreError* error) const {
        const int rc = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
        error->text = std::string(what) + ": " + (db_ ? sqlite3_errmsg(db_) : "no database");
        error->code = (rc & 0xFF) == SQLITE_FULL ? kCodeDiskFull : kCodeIoError;
        error->busy = (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
        return false;
    }
    bool exec(const char* sql, StoreError* error) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || fail(sql, error);
    }
    bool insert(const Record& r, StoreError* error);
    // Runs a prepared statement that returns no rows, and resets it.
    bool run(sqlite3_stmt* stmt, const char* what, StoreError* error) {
        // The error is read before the reset, which would replace it.
        const bool ok = sqlite3_step(stmt) == SQLITE_DONE || fail(what, error);
        sqlite3_reset(stmt);
        return ok;
    }
    bool prepare(const char* sql, sqlite3_stmt** stmt, StoreError* error) {
        return sqlite3_prepare_v2(db_, sql, -1, stmt, nullptr) == SQLITE_OK ||
               fail("prepare", error);
    }
    // Refuses a newer layout, then creates what is missing and stamps the version.
    bool check_and_stamp(StoreError* error);
    // The value of `name` in gavo_meta, nullopt when it has none.
    bool meta(const char* name, std::optional<std::string>* value, StoreError* error);
    // Prepares `sql`; `bind` binds its parameters; `each` gets every row read.
    bool select(const std::string& sql, const std::function<void(sqlite3_stmt*)>& bind,
                const std::function<void(const StoredRecord&)>& each, StoreError* error);

    const std::string path_;
    const bool sync_;
    sqlite3* db_ = nullptr;
    // Prepared once: every batch runs them, and parsing them anew showed in profiles.
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    sqlite3_stmt* rollback_ = nullptr;
    std::string store_id_;
    int wal_pages_ = 0;  // without sync: the WAL's pages after the last commit
};

bool SqliteStore::open(StoreError* error) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    // SQLite would create a missing database with mode 0644 (less the umask), and gives
    // its -wal and -shm files the database's mode: made here first, the records are
    // readable by the server's user alone. An existing database keeps its mode, and is
    // not opened here: closing a descriptor of it would drop the POSIX locks that another
    // connection of this process holds on it (O_EXCL fails on it instead).
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) ::close(fd);
    if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        return fail("open", error);
    }
    sqlite3_busy_timeout(db_, kBusyWaitMs);  // another process (an export) may hold a lock briefly
    if (!exec("PRAGMA journal_mode=WAL", error)) return false;
    if (!exec(sync_ ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", error)) {
        return false;
    }
    if (!check_and_stamp(error)) return false;
    if (!sync_) {
        // Replaces SQLite's checkpoint at commit: see upkeep_due().
        sqlite3_wal_hook(
            db_,
            [](void* self, sqlite3*, const char*, int pages) {
                static_cast<SqliteStore*>(self)->wal_pages_ = pages;
                return SQLITE_OK;
            },
            this);
    }
    return prepare(kInsert, &insert_, error) && prepare("BEGIN IMMEDIATE", &begin_, error) &&
           prepare("COMMIT", &commit_, error) && prepare("ROLLBACK", &rollback_, error);
}

bool SqliteStore::check_and_stamp(StoreError* error) {
    std::optional<std::string> version, id;
    if (!exec(kMeta, error) || !meta("schema_version", &version, error)) return false;
    if (!schema_usable(version, error) || !exec(kSchema, error)) return false;
    if (!meta("store_id", &id, error)) return false;
    if (!version || !id) {  // a stamped store is not written to: a reader may open it
        const std::string fresh = new_store_id();
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, kStamp, -1, &stmt, nullptr) != SQLITE_OK) {
            return fail("prepare", error);
        }
        sqlite3_bind_text(stmt, 1, fresh.data(), static_cast<int>(fresh.size()), SQLITE_STATIC);
        const bool stamped = sqlite3_step(stmt) == SQLITE_DONE || fail("stamp", error);
        sqlite3_finalize(stmt);
        if (!stamped || !meta("store_id", &id, error)) return false;
    }
    store_id_ = id.value_or("");
    return true;
}

bool SqliteStore::meta(const char* name, std::optional<std::string>* value, StoreError* error) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT value FROM gavo_meta WHERE name = ?1", -1, &stmt,
                           nullptr) != SQLITE_OK) {
        return fail("prepare", error);
    }
    sqlite3_bind_text(stmt, 1, name, -1, SQLITE_STATIC);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        *value = std::string(p ? p : "");
    }
    const bool ok = rc == SQLITE_ROW || rc == SQLITE_DONE || fail("select", error);
    sqlite3_finalize(stmt);
    return ok;
}

bool SqliteStore::insert(const Record& r, StoreError* error) {
    const std::string when = utc_text(r.received_micros);
    sqlite3_reset(insert_);
    sqlite3_bind_text(insert_, 1, r.table.data(), static_cast<int>(r.table.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert_, 2, when.data(), static_cast<int>(when.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_, 3, r.client.data(), static_cast<int>(r.client.size()),
                      SQLITE_STATIC);
    // A zero-length blob must still be a blob, not NULL: bind a non-null pointer.
    static const char kEmpty = 0;
    sqlite3_bind_blob(insert_, 4, r.bytes.empty() ? &kEmpty : r.bytes.data(),
                      static_cast<int>(r.bytes.size()), SQLITE_STATIC);
    const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    return ok || fail("insert", error);
}

bool SqliteStore::append(const std::vector<const Record*>& batch, StoreError* error) {
    StoreError ignored;
    if (!run(begin_, "BEGIN IMMEDIATE", error)) return false;
    for (const Record* r : batch) {
        if (!insert(*r, error)) {
            run(rollback_, "ROLLBACK", &ignored);
            return false;
        }
    }
    if (run(commit_, "COMMIT", error)) return true;
    run(rollback_, "ROLLBACK", &ignored);
    return false;
}

bool SqliteStore::append_or_busy(const std::vector<const Record*>& batch, StoreError* error) {
    sqlite3_busy_timeout(db_, 0);
    const bool ok = append(batch, error);
    sqlite3_busy_timeout(db_, kBusyWaitMs);
    return ok;
}

bool SqliteStore::scan(const std::string& table,
                       const std::function<void(const StoredRecord&)>& each, StoreError* error) {
    return select(
        std::string(kSelect) + " WHERE ?1 = '' OR table_name = ?1 ORDER BY seq",
        [&](sqlite3_stmt* stmt) {
            sqlite3_bind_text(stmt, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
        },
        each, error);
}

bool SqliteStore::scan_after(int64_t after, size_t limit,
                             const std::function<void(const StoredRecord&)>& each,
                             StoreError* error) {
    return select(
        std::string(kSelect) + " WHERE seq > ?1 ORDER BY seq LIMIT ?2",
        [&](sqlite3_stmt* stmt) {
            sqlite3_bind_int64(stmt, 1, after);
            sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(limit));
        },
        each, error);
}

bool SqliteStore::select(const std::string& sql, const std::function<void(sqlite3_stmt*)>& bind,
                         const std::function<void(const StoredRecord&)>& each, StoreError* error) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        return fail("prepare", error);
    }
    bind(stmt);
    int rc;
    auto text = [stmt](int col) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt, col)))
                 : std::string();
    };
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        StoredRecord r;
        r.seq = sqlite3_column_int64(stmt, 0);
        r.table = text(1);
        r.received_utc = text(2);
        r.client = text(3);
        const void* blob = sqlite3_column_blob(stmt, 4);
        r.bytes.assign(static_cast<const char*>(blob),
                       blob ? static_cast<size_t>(sqlite3_column_bytes(stmt, 4)) : 0);
        each(r);
    }
    const bool ok = rc == SQLITE_DONE || fail("select", error);
    sqlite3_finalize(stmt);
    return ok;
}

}  // namespace

std::unique_ptr<TableStore> make_sqlite_store(const std::string& path, bool sync) {
    return std::make_unique<SqliteStore>(path, sync);
}

}  // namespace gavo::server
