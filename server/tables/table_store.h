// Where table records are kept: one row per record in the relation `gavo_records`
//
//     seq           integer, ascending in the order records were stored (unique)
//     table_name    text, the table the client opened
//     received_utc  when the record's last byte arrived (SQLite: ISO 8601 text with 'Z';
//                   PostgreSQL: timestamptz)
//     client        text, the client's IP address
//     record        the record's bytes (SQLite BLOB, PostgreSQL bytea)
//
// Beside it, the relation `gavo_meta` (name, value) holds "schema_version", the layout
// version of the store, and "store_id", a random name given when the store was created
// (a copy of the file keeps it). A store written before versions existed has no
// gavo_meta: its layout is version 1, and it is stamped so when first opened.
//
// Two back ends: SQLite (a file in the server's state folder, WAL mode) and PostgreSQL
// (libpq). A store object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/codes.h"

namespace gavo::server {

// A record to store.
struct Record {
    std::string table;
    std::string client;
    int64_t received_micros = 0;  // microseconds since the epoch, UTC
    std::string bytes;
};

// A stored record, as read back.
struct StoredRecord {
    int64_t seq = 0;
    std::string table;
    std::string received_utc;  // "YYYY-MM-DDTHH:MM:SS.ffffffZ"
    std::string client;
    std::string bytes;
};

// Why a store operation failed: a text for the log and the code the client gets.
struct StoreError {
    std::string text;
    int code = kCodeIoError;  // kCodeDiskFull when the disk is full
    bool busy = false;        // append_or_busy() met a lock held elsewhere: nothing stored
};

// The layout version this build reads and writes.
inline constexpr int kSchemaVersion = 1;

// The refusal for a store whose layout is newer than this build's.
inline std::string newer_schema_text(long found) {
    return "tables store schema version " + std::to_string(found) + " is newer than this " +
           "server's " + std::to_string(kSchemaVersion) +
           "; use the gavo-server (and gavo-tables-export) that wrote it, or a newer one";
}

// Checks a store's recorded layout version (nullopt: none recorded, which is version 1).
// False with `error` set when it is not a number or is newer than kSchemaVersion.
bool schema_usable(const std::optional<std::string>& recorded, StoreError* error);

// A random store name (32 hex digits) for a new store's "store_id".
std::string new_store_id();

// Where a copy from a source store stands in its target: the last record copied.
struct CopyMark {
    int64_t seq = 0;           // the source's seq; 0 when nothing was copied yet
    std::string received_utc;  // that record's received_utc, to recognise the source
};

class TableStore {
public:
    virtual ~TableStore() = default;

    // Connects, checks the layout version (a newer one is refused with
    // newer_schema_text() before anything is written), creates the relations and the
    // index when missing and stamps the version.
    virtual bool open(StoreError* error) = 0;
    // Stores every record of `batch` in one transaction, in order: all are durable when
    // it returns true, none are stored when it returns false.
    virtual bool append(const std::vector<const Record*>& batch, StoreError* error) = 0;
    // As append(), but where another process holds the store's lock it fails at once with
    // `error->busy` set (nothing stored) instead of waiting for it.
    virtual bool append_or_busy(const std::vector<const Record*>& batch, StoreError* error) {
        return append(batch, error);
    }
    // True when a commit takes microseconds (no flush to disk, no round trip to a
    // database server): a thread that must not block may then commit itself.
    virtual bool commits_quickly() const { return false; }
    // Work a quickly committing store leaves out of its commits because it may block (a
    // checkpoint that flushes to disk): due once a commit says so, done by run_upkeep()
    // on a thread that may block.
    virtual bool upkeep_due() const { return false; }
    virtual void run_upkeep() {}
    // Calls `each` for the records of `table` in seq order (every table when empty).
    virtual bool scan(const std::string& table,
                      const std::function<void(const StoredRecord&)>& each, StoreError* error) = 0;
    // "sqlite /path/tables.db" or "postgresql" (no password), for the log.
    virtual std::string describe() const = 0;

    // Copying a store into another (SQLite into PostgreSQL). The source side:
    // its "store_id" (valid after open()), and up to `limit` records of every table with
    // seq above `after`, in seq order.
    virtual std::string store_id() const { return ""; }
    virtual bool scan_after(int64_t after, size_t limit,
                            const std::function<void(const StoredRecord&)>& each,
                            StoreError* error) {
        (void)after, (void)limit, (void)each;
        return unsupported("reading in batches", error);
    }
    // The target side: the mark of `source` (zero when never copied), and `rows` appended
    // with the mark moved to their last one, in one transaction, only while the mark is
    // still `from` (so two copies of one source running at once never both append).
    virtual bool copy_mark(const std::string& source, CopyMark* mark, StoreError* error) {
        (void)source, (void)mark;
        return unsupported("copying into it", error);
    }
    virtual bool append_copy(const std::string& source, const CopyMark& from,
                             const std::vector<StoredRecord>& rows, StoreError* error) {
        (void)source, (void)from, (void)rows;
        return unsupported("copying into it", error);
    }

protected:
    bool unsupported(const char* what, StoreError* error) const {
        error->text = describe() + " does not support " + what;
        return false;
    }
};

// `sync`: each commit reaches stable storage (synchronous=FULL); otherwise a commit
// survives a killed server but perhaps not a power cut (synchronous=NORMAL).
std::unique_ptr<TableStore> make_sqlite_store(const std::string& path, bool sync);
// `conninfo`: a libpq connection URI ("postgresql://user@host/db") or key=value text.
// Null in a build without the PostgreSQL back end (see pg_store_built()).
std::unique_ptr<TableStore> make_pg_store(const std::string& conninfo);
// False when the server was built without libpq (GAVO_WITH_POSTGRESQL off).
bool pg_store_built();
// The refusal text for a postgresql:// URL in such a build.
inline constexpr const char* kNoPgStoreText =
    "this build has no PostgreSQL support (GAVO_WITH_POSTGRESQL=OFF): --tables-db cannot be "
    "used";

// True when `url` names a PostgreSQL database ("postgresql://" or "postgres://").
bool is_pg_url(const std::string& url);

}  // namespace gavo::server
