// Where table records are kept: one row per record in the relation `gavo_records`
//
//     seq           integer, ascending in the order records were stored (unique)
//     table_name    text, the table the client opened
//     received_utc  when the record's last byte arrived (SQLite: ISO 8601 text with 'Z';
//                   PostgreSQL: timestamptz)
//     client        text, the client's IP address
//     record        the record's bytes (SQLite BLOB, PostgreSQL bytea)
//
// Two back ends: SQLite (a file in the server's state folder, WAL mode) and PostgreSQL
// (libpq). A store object is used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
};

class TableStore {
public:
    virtual ~TableStore() = default;

    // Connects and creates the relation and its index when missing.
    virtual bool open(StoreError* error) = 0;
    // Stores every record of `batch` in one transaction, in order: all are durable when
    // it returns true, none are stored when it returns false.
    virtual bool append(const std::vector<const Record*>& batch, StoreError* error) = 0;
    // Calls `each` for the records of `table` in seq order (every table when empty).
    virtual bool scan(const std::string& table,
                      const std::function<void(const StoredRecord&)>& each, StoreError* error) = 0;
    // "sqlite /path/tables.db" or "postgresql" (no password), for the log.
    virtual std::string describe() const = 0;
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
