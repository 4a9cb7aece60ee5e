// The PostgreSQL back end (libpq): one connection, a prepared insert with bound
// parameters, the record's bytes sent in binary. A lost connection is re-established
// at the next batch, so a restarted database server only fails the batches in between.
#include <libpq-fe.h>

#include "server/table_store.h"
#include "server/tables.h"

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
    // Connects (again) when needed and prepares the insert.
    bool ready(StoreError* error);
    bool insert(const Record& r, StoreError* error);

    const std::string conninfo_;
    PGconn* conn_ = nullptr;
    bool prepared_ = false;
};

bool PgStore::open(StoreError* error) {
    if (!ready(error)) return false;
    // Two servers starting together may race on creating the relation: try once more.
    return exec(kSchema, error) || exec(kSchema, error);
}

bool PgStore::ready(StoreError* error) {
    if (conn_ && PQstatus(conn_) == CONNECTION_OK && prepared_) return true;
    if (!conn_) {
        conn_ = PQconnectdb(conninfo_.c_str());
    } else if (PQstatus(conn_) != CONNECTION_OK) {
        PQreset(conn_);
    }
    prepared_ = false;
    if (PQstatus(conn_) != CONNECTION_OK) return fail("connect", error);
    PQsetNoticeProcessor(conn_, ignore_notice, nullptr);
    Result schema(PQexec(conn_, kSchema));  // a fresh database gets its relation here too
    Result r(PQprepare(conn_, "gavo_insert", kInsert, 4, nullptr));
    if (r.status() != PGRES_COMMAND_OK) return fail("prepare", error);
    prepared_ = true;
    return true;
}

bool PgStore::insert(const Record& r, StoreError* error) {
    const std::string when = utc_text(r.received_micros);
    const char* values[4] = {r.table.c_str(), when.c_str(), r.client.c_str(), r.bytes.data()};
    const int lengths[4] = {0, 0, 0, static_cast<int>(r.bytes.size())};
    const int formats[4] = {0, 0, 0, 1};  // the record travels in binary
    Result res(PQexecPrepared(conn_, "gavo_insert", 4, values, lengths, formats, 0));
    return res.status() == PGRES_COMMAND_OK || fail("insert", error);
}

bool PgStore::append(const std::vector<const Record*>& batch, StoreError* error) {
    if (!ready(error) || !exec("BEGIN", error)) return false;
    for (const Record* r : batch) {
        if (!insert(*r, error)) {
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
