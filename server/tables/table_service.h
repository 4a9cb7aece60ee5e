// The server's tables: the catalog from the tables file, the store (SQLite in the state
// folder, or PostgreSQL) and the group-commit writer in front of it.
//
// Tables are served only when a tables file is given; without one, no database is
// created and every table open is refused as undeclared.
//
// Thread-safe after start(): framing() and store() may be called from any session, and
// reload() from any thread while they run. catalog_mutex_ guards the catalog pointer (a
// catalog itself never changes); the writer is set by start() before sessions run.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "server/base/config.h"
#include "server/base/log.h"
#include "server/base/mutex.h"
#include "server/tables/record_writer.h"
#include "server/tables/tables.h"

namespace gavo::server {

// The database file's name inside the state folder.
constexpr const char* kTablesDbName = "tables.db";

// "<root>.state" for a root "<root>" (trailing separators ignored): beside the root, so
// no client name can reach it. Empty when the root is "/".
std::string default_state_dir(const std::string& root);

// The state folder `config` asks for: --state, or the default beside the root, which for
// node N (--node N/M) is "<root>.node-N.state", so nodes on one root never share one.
std::string state_dir_of(const ServerConfig& config);

// Creates `state` (and its parents, mode 0700) and refuses it when it lies inside or
// equals the served `root`, where clients could read or change the database.
bool prepare_state_dir(const std::string& state, const std::string& root, std::string* error);

// For a configuration check: false with `error` when `state` (existing or not) would
// lie inside or equal `root` (existing or not) once created. Creates nothing.
bool state_dir_outside_root(const std::string& state, const std::string& root, std::string* error);

class TableService {
public:
    // Loads the tables file, opens the store and starts the writer; does nothing when
    // `config` names no tables file. False with `error` when anything fails.
    bool start(const ServerConfig& config, Logger& log, std::string* error);
    // Stores what is queued and closes the store; idempotent.
    void stop();

    // Loads the tables file at `path` and serves its declarations from now on: new
    // tables can be opened, tables no longer declared cannot (open handles of them keep
    // working). False with `error`, the declarations in use kept, when tables are not
    // served, the file is bad, or a table would change its framing (framing_change).
    bool reload(const std::string& path, std::string* error);
    // "N declared plus a default framing" for the declarations in use.
    std::string summary() const;

    bool enabled() const { return writer_ != nullptr; }
    // The framing of table `name`; nullopt when it is not declared and there is no default.
    std::optional<Framing> framing(const std::string& name) const;
    // Stores `record` and returns once it is committed: 0 or a negative code.
    int store(Record record);
    // Queues `record` without waiting; `done` gets that outcome (see RecordWriter::submit,
    // also for `deferred`, and for commit_deferred() and hand_over() below).
    void store(Record record, RecordWriter::Done done, bool deferred = false);
    void commit_deferred() {
        if (writer_) writer_->commit_deferred();
    }
    void hand_over() {
        if (writer_) writer_->hand_over();
    }

    // Null until start() has enabled tables.
    const RecordWriter* writer() const { return writer_.get(); }

private:
    std::unique_ptr<TableStore> open_store(const ServerConfig& config, std::string* error);

    std::shared_ptr<const TableCatalog> catalog() const;

    mutable Mutex catalog_mutex_;
    // Replaced whole by reload().
    std::shared_ptr<const TableCatalog> catalog_ GAVO_GUARDED_BY(catalog_mutex_);
    std::unique_ptr<RecordWriter> writer_;
};

}  // namespace gavo::server
