// The PostgreSQL back end (libpq): one connection, a prepared insert with bound
// parameters, the record's bytes sent in binary. A lost connection is re-established
// at the next batch, so a restarted database server only fails the batches in between.
#include <libpq-fe.h>

#include <optional>

#include "server/tables/table_store.h"
#include "server/tables/tables.h"

namespace gavo::server {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS gavo_records ("
    " seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " table_name text NOT NULL,"
    " received_utc timestamptz NOT NULL,"
    " client text NOT NULL,"
    " record bytea NOT NULL);"
    "CREATE INDEX IF NOT EXISTS gavo_records_by_table ON gavo_records(table_name, seq);";

constexpr const char* kMeta =
    "CREATE TABLE IF NOT EXISTS gavo_meta (name text PRIMARY KEY, value text NOT NULL)";

// The layout that kSchema makes, which is also that of a store from before versions.
constexpr const char* kStamp =
    "INSERT INTO gavo_meta(name, value) VALUES('schema_version', '1'), ('store_id', $1)"
    " ON CONFLICT DO NOTHING";

// How far each source store has been copied in: its last record copied.
constexpr const char* kCopied =
    "CREATE TABLE IF NOT EXISTS gavo_copied ("
    " source text PRIMARY KEY,"
    " last_seq bigint NOT NULL,"
    " last_received text NOT NULL,"
    " copied_at timestamptz NOT NULL DEFAULT now())";

constexpr const char* kMoveMark =
    "UPDATE gavo_copied SET last_seq = $2::bigint, last_received = $3, copied_at = now()"
    " WHERE source = $1 AND last_seq = $4::bigint";

constexpr const char* kInsert =
    "INSERT INTO gavo_records(table_name, received_utc, client, record)"
    " VALUES($1, $2::timestamptz, $3, $4)";

// The output column "seq" is text: order by the relation's column, not by it.
constexpr const char* kSelect =
    "SELECT seq::text, table_name,"
    " to_char(received_utc AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US\"Z\"'),"
    " client, record FROM gavo_records"
    " WHERE $1 = '' OR table_name = $1 ORDER BY gavo_records.seq";

void ignore_notice(void*, const char*) {}

// Owns one PGresult.
struct Result {
    explicit Result(PGresult* r) : res(r) {}
    ~Result() { PQclear(res); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ExecStatusType status() const { return PQresultStatus(res); }
    PGresult* res;
};

class PgStore : public TableStore {
public:
    explicit PgStore(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~PgStore() override { PQfinish(conn_); }

    bool open(StoreError* error) override;
    bool append(const std::vector<const Record*>& batch, StoreError* error) override;
    bool scan(const std::string& table, const std::function<void(const StoredRecord&)>& each,
              StoreError* error) override;
    std::string describe() const override;
    std::string store_id() const override { return store_id_; }
    bool copy_mark(const std::string& source, CopyMark* mark, StoreError* error) override;
    bool append_copy(const std::string& source, const CopyMark& from,
                     const std::vector<StoredRecord>& rows, StoreError* error) override;

private:
    bool fail(const std::string& what, StoreError* error) const {
        error->text = what + ": " + (conn_ ? PQerrorMessage(conn_) : "no connection");
        while (!error->text.empty() && error->text.back() == '\n') error->text.pop_back();
        error->code = kCodeIoError;
        return false;
    }
    bool exec(const char* sql, StoreError* error) {
        Result r(PQexec(conn_, sql));
        return r.status() == PGRES_COMMAND_OK || fail(sql, error);
    }
    // Runs `sql` with text parameters.
    PGresult* run(const char* sql, const std::vector<std::string>& values) {
        std::vector<const char*> p;
        for (const std::string& v : values) p.push_back(v.c_str());
        return PQexecParams(conn_, sql, static_cast<int>(p.size()), nullptr, p.data(), nullptr,
                            nullptr, 0);
    }
    // Two servers starting together may race on creating a relation: try once more.
    bool create(const char* sql, StoreError* error) { return exec(sql, error) || exec(sql, error); }
    // Refuses a newer layout, then creates what is missing and stamps the version.
    bool check_and_stamp(StoreError* error);
    // The value of `name` in gavo_meta, nullopt when it has none.
    bool meta(const char* name, std::optional<std::string>* value, StoreError* error);
    // Connects (again) when needed and, once open() has checked the store, prepares the
    // insert.
    bool ready(StoreError* error);
    bool prepare(StoreError* error);
    bool insert(const std::string& table, const std::string& when, const std::string& client,
                const std::string& bytes, StoreError* error);

    const std::string conninfo_;
    PGconn* conn_ = nullptr;
    bool prepared_ = false;
    bool checked_ = false;  // the layout version was checked and the relations exist
    std::string store_id_;
};

bool PgStore::open(StoreError* error) {
    if (!ready(error)) return false;
    if (!check_and_stamp(error)) return false;
    checked_ = true;
    return prepare(error);
}

bool PgStore::check_and_stamp(StoreError* error) {
    std::optional<std::string> version, id;
    if (!create(kMeta, error) || !meta("schema_version", &version, error)) return false;
    if (!schema_usable(version, error) || !create(kSchema, error)) return false;
    if (!meta("store_id", &id, error)) return false;
    if (!version || !id) {  // a stamped store is not written to: a reader may open it
        Result stamp(run(kStamp, {new_store_id()}));
        if (stamp.status() != PGRES_COMMAND_OK) return fail("stamp", error);
        if (!meta("store_id", &id, error)) return false;
    }
    store_id_ = id.value_or("");
    return true;
}

bool PgStore::meta(const char* name, std::optional<std::string>* value, StoreError* error) {
    Result r(run("SELECT value FROM gavo_meta WHERE name = $1", {name}));
    if (r.status() != PGRES_TUPLES_OK) return fail("select", error);
    if (PQntuples(r.res) == 1) *value = std::string(PQgetvalue(r.res, 0, 0));
    return true;
}

bool PgStore::copy_mark(const std::string& source, CopyMark* mark, StoreError* error) {
    if (!ready(error) || !create(kCopied, error)) return false;
    Result add(
        run("INSERT INTO gavo_copied(source, last_seq, last_received) VALUES($1, 0, '')"
            " ON CONFLICT DO NOTHING",
            {source}));
    Result r(
        run("SELECT last_seq::text, last_received FROM gavo_copied WHERE source = $1", {source}));
    if (add.status() != PGRES_COMMAND_OK || r.status() != PGRES_TUPLES_OK ||
        PQntuples(r.res) != 1) {
        return fail("reading the copy mark", error);
    }
    mark->seq = std::stoll(PQgetvalue(r.res, 0, 0));
    mark->received_utc = PQgetvalue(r.res, 0, 1);
    return true;
}

bool PgStore::append_copy(const std::string& source, const CopyMark& from,
                          const std::vector<StoredRecord>& rows, StoreError* error) {
    if (rows.empty()) return true;
    if (!ready(error) || !exec("BEGIN", error)) return false;
    // Moving the mark first locks it: a second copy of the source waits here, then finds
    // the mark moved and stops.
    Result moved(run(kMoveMark, {source, std::to_string(rows.back().seq), rows.back().received_utc,
                                 std::to_string(from.seq)}));
    bool ok = moved.status() == PGRES_COMMAND_OK || fail("moving the copy mark", error);
    if (ok && std::string(PQcmdTuples(moved.res)) != "1") {
        error->text = "another copy of this store into the database ran at the same time";
        error->code = kCodeIoError;
        ok = false;
    }
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        ok = insert(rows[i].table, rows[i].received_utc, rows[i].client, rows[i].bytes, error);
    }
    if (ok) return exec("COMMIT", error);
    Result rollback(PQexec(conn_, "ROLLBACK"));
    return false;
}

bool PgStore::ready(StoreError* error) {
    if (conn_ && PQstatus(conn_) == CONNECTION_OK && (prepared_ || !checked_)) return true;
    if (!conn_) {
        conn_ = PQconnectdb(conninfo_.c_str());
    } else if (PQstatus(conn_) != CONNECTION_OK) {
        PQreset(conn_);
    }
    prepared_ = false;
    if (PQstatus(conn_) != CONNECTION_OK) return fail("connect", error);
    PQsetNoticeProcessor(conn_, ignore_notice, nullptr);
    return !checked_ || prepare(error);
}

bool PgStore::prepare(StoreError* error) {
    PQclear(PQexec(conn_, kSchema));  // a database emptied while the server ran
    Result r(PQprepare(conn_, "gavo_insert", kInsert, 4, nullptr));
    if (r.status() != PGRES_COMMAND_OK) return fail("prepare", error);
    prepared_ = true;
    return true;
}

bool PgStore::insert(const std::string& table, const std::string& when, const std::string& client,
                     const std::string& bytes, StoreError* error) {
    const char* values[4] = {table.c_str(), when.c_str(), client.c_str(), bytes.data()};
    const int lengths[4] = {0, 0, 0, static_cast<int>(bytes.size())};
    const int formats[4] = {0, 0, 0, 1};  // the record travels in binary
    Result res(PQexecPrepared(conn_, "gavo_insert", 4, values, lengths, formats, 0));
    return res.status() == PGRES_COMMAND_OK || fail("insert", error);
}

bool PgStore::append(const std::vector<const Record*>& batch, StoreError* error) {
    if (!ready(error) || !exec("BEGIN", error)) return false;
    for (const Record* r : batch) {
        if (!insert(r->table, utc_text(r->received_micros), r->client, r->bytes, error)) {
            Result rollback(PQexec(conn_, "ROLLBACK"));
            return false;
        }
    }
    // A connection lost during COMMIT leaves its outcome unknown; it is reported as a
    // failure, so the client never takes a record for stored when it might not be.
    return exec("COMMIT", error);
}

bool PgStore::scan(const std::string& table, const std::function<void(const StoredRecord&)>& each,
                   StoreError* error) {
    if (!ready(error)) return false;
    const char* values[1] = {table.c_str()};
    if (!PQsendQueryParams(conn_, kSelect, 1, nullptr, values, nullptr, nullptr, 1) ||
        !PQsetSingleRowMode(conn_)) {
        return fail("select", error);
    }
    bool ok = true;
    auto field = [](PGresult* res, int col) {
        return std::string(PQgetvalue(res, 0, col), static_cast<size_t>(PQgetlength(res, 0, col)));
    };
    while (PGresult* raw = PQgetResult(conn_)) {
        Result res(raw);
        if (res.status() == PGRES_SINGLE_TUPLE) {
            StoredRecord r;
            r.seq = std::stoll(field(raw, 0));
            r.table = field(raw, 1);
            r.received_utc = field(raw, 2);
            r.client = field(raw, 3);
            r.bytes = field(raw, 4);
            each(r);
        } else if (res.status() != PGRES_TUPLES_OK) {
            ok = fail("select", error);
        }
    }
    return ok;
}

std::string PgStore::describe() const {
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) return "postgresql";
    return std::string("postgresql database ") + PQdb(conn_) + " on " + PQhost(conn_);
}

}  // namespace

std::unique_ptr<TableStore> make_pg_store(const std::string& conninfo) {
    return std::make_unique<PgStore>(conninfo);
}

bool pg_store_built() { return true; }

}  // namespace gavo::server
