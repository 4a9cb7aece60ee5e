// Server tables end to end, against both stores: the three log-channel requests byte for
// byte, records of many clients at once, framing violations, refused names, handles
// shared with the archive channel, and records that survive a killed server. Then the
// stores over time: the schema version, the copy into PostgreSQL, and the backup,
// restore and move commands of docs/server.md run as written there.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "server/tables/export.h"
#include "server/tables/table_service.h"
#include "server/tables/table_store.h"
#include "server/tables/tables.h"
#include "tests/pg_fixture.h"
#include "tests/server_fixture.h"
#include "tests/server_process.h"

namespace gavo::test {
namespace {

using server::StoredRecord;

// SQLite without sync commits on the event loop's threads rather than the committer's.
enum class Backend { kSqlite, kSqliteNoSync, kPostgres };

std::string backend_name(const ::testing::TestParamInfo<Backend>& p) {
    return p.param == Backend::kSqlite         ? "Sqlite"
           : p.param == Backend::kSqliteNoSync ? "SqliteNoSync"
                                               : "Postgres";
}

constexpr const char* kTablesFile =
    "# test tables\n"
    "events   = line      # log lines\n"
    "short    = line:8\n"
    "readings = fixed:4\n";

class TablesTest : public ServerTest, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        write_file(dir_ + "tables.conf", kTablesFile);
        config_.tables_file = dir_ + "tables.conf";
        config_.state_dir = dir_ + "state";
        config_.sync = GetParam() != Backend::kSqliteNoSync;
        if (GetParam() != Backend::kPostgres) return;
        if (ThrowawayPostgres::bin_dir().empty()) {
            GTEST_SKIP() << "PostgreSQL server programs are not installed (Debian package "
                            "postgresql); the PostgreSQL store is not tested";
        }
        std::string error;
        ASSERT_TRUE(pg_.start(false, &error)) << error;
        config_.tables_db = pg_.url();
    }
    void TearDown() override {
        server_.reset();
        pg_.stop();
        ServerTest::TearDown();
    }

    std::unique_ptr<server::TableStore> store(Backend b) {
        ::mkdir(config_.state_dir.c_str(), 0700);
        return b == Backend::kPostgres
                   ? server::make_pg_store(pg_.url())
                   : server::make_sqlite_store(config_.state_dir + "/tables.db", false);
    }
    // The stored records (of `table`, or all) in seq order, through a store of its own.
    std::vector<StoredRecord> stored(const std::string& table = "") {
        return stored_in(GetParam(), table);
    }
    std::vector<StoredRecord> stored_in(Backend b, const std::string& table = "") {
        auto s = store(b);
        std::vector<StoredRecord> rows;
        server::StoreError error;
        EXPECT_TRUE(s->open(&error)) << error.text;
        EXPECT_TRUE(s->scan(
            table, [&](const StoredRecord& r) { rows.push_back(r); }, &error))
            << error.text;
        return rows;
    }
    // Appends records `tag`0, `tag`1, ... (tables a, b, c in turn) straight into a store.
    void append(Backend b, int n, const std::string& tag = "r") {
        auto s = store(b);
        server::StoreError error;
        ASSERT_TRUE(s->open(&error)) << error.text;
        for (int i = 0; i < n; ++i) {
            server::Record r{std::string(1, char('a' + i % 3)), "10.0.0.1", 1700000000000000 + i,
                             tag + std::to_string(i)};
            ASSERT_TRUE(s->append({&r}, &error)) << error.text;
        }
    }
    // Runs `sql` through the database's own shell; its first output line.
    std::string raw(Backend b, const std::string& sql) {
        ::mkdir(config_.state_dir.c_str(), 0700);
        const std::string cmd =
            (b == Backend::kPostgres ? "psql -qtA '" + pg_.url() + "' -c \""
                                     : "sqlite3 " + config_.state_dir + "/tables.db \"") +
            sql + "\"";
        FILE* out = popen(cmd.c_str(), "r");
        char line[256] = "";
        if (out == nullptr || fgets(line, sizeof line, out) == nullptr) line[0] = '\0';
        EXPECT_EQ(0, out ? pclose(out) : -1) << cmd;
        return std::string(line, strcspn(line, "\n"));
    }
    // The server program's arguments for this store.
    std::vector<std::string> program_args() const {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--root",
                                         root_,      "--tables",    config_.tables_file};
        if (GetParam() == Backend::kPostgres) {
            args.insert(args.end(), {"--tables-db", config_.tables_db});
        } else {
            args.insert(args.end(), {"--state", config_.state_dir});
        }
        if (GetParam() == Backend::kSqliteNoSync) args.push_back("--no-sync");
        return args;
    }

    ThrowawayPostgres pg_;
};

TEST_P(TablesTest, RequestsHaveTheirByteLayoutAndEachRecordIsOneRow) {
    start();
    auto c = client();
    const int64_t before = server::now_micros();
    // open: 00 10, the name's length with its zero, the name and the zero
    ASSERT_TRUE(
        c->send_raw(std::string("\x00\x10\x00\x07"
                                "events\x00",
                                11)));
    const int events = c->recv16();
    ASSERT_GE(events, 0);
    // write: 00 13, the handle, the record; no count. Answered with its byte count.
    ASSERT_TRUE(c->send_raw(be16(19) + be16(events) + "abc\n"));
    EXPECT_EQ(c->recv32(), 4);
    EXPECT_EQ(c->table_write(events, "\n"), 1);  // an empty line is an empty record
    const int readings = c->table_open("readings");
    ASSERT_GE(readings, 0);
    EXPECT_EQ(c->table_write(readings, std::string("\n\0\xff\x01", 4)), 4);
    // close: 00 11, the handle; a 16-bit reply
    ASSERT_TRUE(c->send_raw(std::string("\x00\x11", 2) + be16(events)));
    EXPECT_EQ(c->recv16(), 0);
    EXPECT_EQ(server_->open_handles(), 1u);

    const std::vector<StoredRecord> rows = stored();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].table, "events");
    EXPECT_EQ(rows[0].bytes, "abc");
    EXPECT_EQ(rows[0].client, "127.0.0.1");
    EXPECT_GE(rows[0].received_utc, server::utc_text(before));
    EXPECT_LE(rows[0].received_utc, server::utc_text(server::now_micros()));
    EXPECT_EQ(rows[1].bytes, "");
    EXPECT_EQ(rows[2].table, "readings");
    EXPECT_EQ(rows[2].bytes, std::string("\n\0\xff\x01", 4));
    EXPECT_LT(rows[0].seq, rows[1].seq);
    EXPECT_LT(rows[1].seq, rows[2].seq);
}

TEST_P(TablesTest, ManyClientsAtOnceHaveEveryRecordStoredOnceAndInTheirOrder) {
    start();
    constexpr int kClients = 8, kRecords = 40;
    std::vector<std::thread> threads;
    std::atomic<int> acked{0};
    for (int k = 0; k < kClients; ++k) {
        threads.emplace_back([&, k] {
            WireClient c;  // half of them from a second client host
            if (!c.connect(server_->port(), k % 2 ? "127.0.0.2" : "127.0.0.1")) return;
            const int h = c.table_open("events");
            for (int i = 0; i < kRecords && h >= 0; ++i) {
                const std::string rec = std::to_string(k) + " " + std::to_string(i);
                if (c.table_write(h, rec + "\n") == static_cast<int64_t>(rec.size() + 1)) ++acked;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(acked, kClients * kRecords);

    std::map<int, std::vector<int>> seen;  // client -> its record numbers in seq order
    for (const StoredRecord& r : stored("events")) {
        int k = -1, i = -1;
        ASSERT_EQ(sscanf(r.bytes.c_str(), "%d %d", &k, &i), 2) << r.bytes;
        EXPECT_EQ(r.client, k % 2 ? "127.0.0.2" : "127.0.0.1");
        seen[k].push_back(i);
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(kClients));
    for (auto& [k, numbers] : seen) {
        ASSERT_EQ(numbers.size(), static_cast<size_t>(kRecords)) << "client " << k;
        int expected = 0;
        for (int i : numbers) EXPECT_EQ(i, expected++) << "client " << k;
    }
}

TEST_P(TablesTest, FramingViolationsEndTheConnectionAndStoreNothing) {
    start();
    auto ok = client();
    const int boundary = ok->table_open("short");
    EXPECT_EQ(ok->table_write(boundary, "12345678\n"), 9);  // the longest line allowed

    auto too_long = client();
    const int s = too_long->table_open("short");
    ASSERT_TRUE(too_long->send_raw(be16(19) + be16(s) + "123456789\n"));
    EXPECT_TRUE(too_long->closed_by_peer());

    auto two_in_one = client();
    const int e = two_in_one->table_open("events");
    ASSERT_TRUE(two_in_one->send_raw(be16(19) + be16(e) + "one\ntwo\n"));
    EXPECT_TRUE(two_in_one->closed_by_peer());

    auto cut_fixed = client();
    const int r = cut_fixed->table_open("readings");
    ASSERT_TRUE(cut_fixed->send_raw(be16(19) + be16(r) + "ab"));
    cut_fixed->close();
    auto cut_line = client();
    const int e2 = cut_line->table_open("events");
    ASSERT_TRUE(cut_line->send_raw(be16(19) + be16(e2) + "no line feed"));
    cut_line->close();

    EXPECT_TRUE(eventually([&] { return logged("cut off after 2 of 4 bytes; not stored"); }));
    EXPECT_TRUE(eventually([&] { return logged("was cut off before its line feed"); }));
    EXPECT_TRUE(logged("has no line feed within 8 bytes"));
    EXPECT_TRUE(logged("carried more than one line:65536 record; nothing stored"));
    const std::vector<StoredRecord> rows = stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].bytes, "12345678");
}

TEST_P(TablesTest, WriteThroughAHandleThatIsNoTableEndsTheConnection) {
    start();
    auto unknown = client();
    ASSERT_TRUE(unknown->send_raw(be16(19) + be16(77) + "x\n"));
    EXPECT_TRUE(unknown->closed_by_peer());
    auto file = client();
    const int f = file->open(0x0A, "plain.txt");
    ASSERT_GE(f, 0);
    ASSERT_TRUE(file->send_raw(be16(19) + be16(f) + "x\n"));
    EXPECT_TRUE(file->closed_by_peer());
    EXPECT_TRUE(logged("record length unknown"));
    EXPECT_TRUE(stored().empty());
}

TEST_P(TablesTest, UndeclaredAndInvalidNamesAreRefusedAndTheConnectionGoesOn) {
    start();
    auto c = client();
    EXPECT_EQ(c->table_open("nope"), -102);
    EXPECT_EQ(c->table_open(std::string(64, 'a')), -102);  // valid, only undeclared
    for (const std::string& bad :
         {std::string(), std::string("a/b"), std::string("bad name"), std::string(65, 'a'),
          std::string("caf\xc3\xa9"), std::string("..\\x")}) {
        EXPECT_EQ(c->table_open(bad), -107) << bad;
    }
    ASSERT_TRUE(c->send_raw(be16(16) + be16(3) + "abc"));  // no terminating zero
    EXPECT_EQ(c->recv16(), -107);
    ASSERT_TRUE(c->send_raw(be16(16) + be16(5) + std::string("ev\0t\0", 5)));  // inner zero
    EXPECT_EQ(c->recv16(), -107);
    EXPECT_GE(c->table_open("events"), 0);
    EXPECT_TRUE(logged("table open 'nope' refused with -102: not declared"));
    EXPECT_EQ(server_->open_handles(), 1u);
}

TEST_P(TablesTest, DefaultFramingServesUndeclaredTables) {
    write_file(config_.tables_file, "events = line\n* = fixed:2\n");
    start();
    auto c = client();
    const int h = c->table_open("any.other-Table_9");
    ASSERT_GE(h, 0);
    EXPECT_EQ(c->table_write(h, "xy"), 2);
    const std::vector<StoredRecord> rows = stored();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].table, "any.other-Table_9");
}

TEST_P(TablesTest, ArchiveChannelCloseOfATableHandleClosesTheTable) {
    start();
    auto log_channel = client();
    auto archive = client();
    const int h = log_channel->table_open("events");
    ASSERT_GE(h, 0);
    EXPECT_EQ(archive->write(h, "data"), -103);  // a table is no file
    EXPECT_EQ(archive->close_handle(h), 0);
    EXPECT_EQ(server_->open_handles(), 0u);
    ASSERT_TRUE(log_channel->send_raw(be16(19) + be16(h) + "late\n"));
    EXPECT_TRUE(log_channel->closed_by_peer());
    EXPECT_TRUE(stored().empty());
}

// Runs gavo-tables-export with `args`; its standard output.
std::string run_export(const std::vector<std::string>& args) {
    std::string cmd = GAVO_TABLES_EXPORT_BIN;
    for (const std::string& a : args) cmd += " '" + a + "'";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p) pclose(p);
    return out;
}

TEST_P(TablesTest, RecordsAcknowledgedBeforeSigkillAreThereAfterRestart) {
    const std::vector<std::string> source =
        GetParam() == Backend::kPostgres
            ? std::vector<std::string>{"--tables-db", config_.tables_db}
            : std::vector<std::string>{"--state", config_.state_dir};
    {
        ServerProcess first;
        ASSERT_TRUE(first.start(program_args(), dir_ + "log1"));
        WireClient c;
        ASSERT_TRUE(c.connect(first.port()));
        const int h = c.table_open("readings");
        for (int i = 0; i < 20; ++i) {
            ASSERT_EQ(c.table_write(h, "r" + std::to_string(100 + i)), 4);
        }
        EXPECT_EQ(first.signal_and_wait(SIGKILL), 128 + SIGKILL);
    }
    std::vector<std::string> args = source;
    args.insert(args.end(), {"--table", "readings", "--format", "csv"});
    std::string out = run_export(args);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 21) << out;          // header + 20
    EXPECT_NE(out.find(",127.0.0.1,cjEwMA==\n"), std::string::npos) << out;  // "r100"

    ServerProcess second;
    ASSERT_TRUE(second.start(program_args(), dir_ + "log2"));
    WireClient c;
    ASSERT_TRUE(c.connect(second.port()));
    EXPECT_EQ(c.table_write(c.table_open("readings"), "next"), 4);
    const std::vector<StoredRecord> rows = stored("readings");
    ASSERT_EQ(rows.size(), 21u);
    EXPECT_EQ(rows.front().bytes, "r100");
    EXPECT_EQ(rows.back().bytes, "next");
}

TEST_P(TablesTest, SchemaVersionIsStampedCheckedAndANewerOneRefused) {
    struct Case {
        const char* what;
        const char* change;   // made to a store of this build holding one record
        const char* refused;  // nullptr: opens, version 1, the record kept
    } const cases[] = {
        {"this build's store", "SELECT 1", nullptr},
        {"a store from 1.0.0 (no gavo_meta)", "DROP TABLE gavo_meta", nullptr},
        {"a newer store", "UPDATE gavo_meta SET value = '2' WHERE name = 'schema_version'",
         "tables store schema version 2 is newer than this server's 1; use the gavo-server"},
        {"a damaged version", "UPDATE gavo_meta SET value = '1x' WHERE name = 'schema_version'",
         "tables store schema version '1x' is not a version number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        raw(GetParam(), "DROP TABLE IF EXISTS gavo_records; DROP TABLE IF EXISTS gavo_meta");
        append(GetParam(), 1);
        raw(GetParam(), c.change);
        auto s = store(GetParam());
        server::StoreError error;
        EXPECT_EQ(c.refused == nullptr, s->open(&error));
        if (c.refused == nullptr) {
            EXPECT_EQ("1", raw(GetParam(), "SELECT value FROM gavo_meta ORDER BY name"));
            EXPECT_EQ(32u, s->store_id().size());
            EXPECT_EQ(1u, stored().size());
            continue;
        }
        EXPECT_NE(std::string::npos, error.text.find(c.refused)) << error.text;
        server::Logger quiet([](const std::string&) {});
        server::Server refusing(config_, quiet);
        std::string why;
        EXPECT_FALSE(refusing.start(&why));
        EXPECT_NE(std::string::npos, why.find(c.refused)) << why;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, TablesTest,
                         ::testing::Values(Backend::kSqlite, Backend::kSqliteNoSync,
                                           Backend::kPostgres),
                         backend_name);

// Holds the SQLite store's write lock from a connection of its own, so the server's
// commits wait (within the store's busy time-out) until it is released.
class HeldCommit {
public:
    explicit HeldCommit(const std::string& db) {
        EXPECT_EQ(sqlite3_open(db.c_str(), &db_), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~HeldCommit() { release(); }
    void release() {
        if (db_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
        db_ = nullptr;
    }

private:
    sqlite3* db_ = nullptr;
};

using HeldCommitTest = TablesTest;

// A record waiting for its commit holds no thread: with commits held, more clients than
// the server may have threads each have a record pending, and once the commit goes on
// every record is stored exactly once, whether its client waits for the answer, sends
// its next record before it, hangs up meanwhile, or the server stops meanwhile.
TEST_P(HeldCommitTest, RecordsPendingBeyondTheThreadBoundAreAllStored) {
    enum class Then { kWaits, kSendsAnother, kHangsUp, kServerStops };
    for (const Then then :
         {Then::kWaits, Then::kSendsAnother, Then::kHangsUp, Then::kServerStops}) {
        SCOPED_TRACE(static_cast<int>(then));
        config_.state_dir = dir_ + "state" + std::to_string(static_cast<int>(then));
        config_.max_threads = 1;
        start();
        constexpr size_t kClients = 8;
        std::vector<std::unique_ptr<WireClient>> clients;
        std::vector<std::string> writes;  // each client's record write, without the record
        HeldCommit hold(config_.state_dir + "/tables.db");
        for (size_t k = 0; k < kClients; ++k) {
            clients.push_back(client());
            writes.push_back(be16(19) + be16(clients.back()->table_open("events")));
            ASSERT_TRUE(clients.back()->send_raw(writes.back() + "record\n"));
        }
        ASSERT_TRUE(eventually([&] { return server_->tables().writer()->pending() == kClients; }));
        std::thread stopper;
        const size_t each = then == Then::kSendsAnother ? 2 : 1;
        if (then == Then::kSendsAnother) {
            for (size_t k = 0; k < kClients; ++k) {
                ASSERT_TRUE(clients[k]->send_raw(writes[k] + "second\n"));
            }
        } else if (then == Then::kHangsUp) {
            for (auto& c : clients) c->close();
        } else if (then == Then::kServerStops) {
            stopper = std::thread([&] { server_->stop(); });
            std::string why;
            ASSERT_TRUE(eventually([&] { return !server_->serving(&why); }));
        }
        hold.release();
        for (auto& c : clients) {
            const int64_t answer = then == Then::kHangsUp ? 7 : c->recv32();
            // At a stop, a commit slower than the stop's grace may cut the answer off.
            EXPECT_TRUE(answer == 7 || (then == Then::kServerStops && answer == kNoReply))
                << answer;
            if (each == 2) {
                EXPECT_EQ(c->recv32(), 7);
            }
        }
        if (stopper.joinable()) stopper.join();
        ASSERT_TRUE(eventually(
            [&] { return server_->connections() == 0 || then == Then::kWaits || each == 2; }));
        EXPECT_EQ(server_->tables().writer()->committed_records(), each * kClients);
        server_.reset();
        EXPECT_EQ(stored("events").size(), each * kClients);
    }
}

// Without sync, the loop thread finds the store locked and leaves its records to the
// committer thread, which waits for the lock.
INSTANTIATE_TEST_SUITE_P(Stores, HeldCommitTest,
                         ::testing::Values(Backend::kSqlite, Backend::kSqliteNoSync), backend_name);

using PostgresTablesTest = TablesTest;

TEST_P(PostgresTablesTest, RecordTheDatabaseCannotTakeIsRefusedAndLaterOnesAreStored) {
    start();
    auto c = client();
    const int h = c->table_open("events");
    EXPECT_EQ(c->table_write(h, "before\n"), 7);
    pg_.stop();
    EXPECT_EQ(c->table_write(h, "lost\n"), -105);  // never acknowledged
    EXPECT_TRUE(logged("storing 1 records failed"));
    std::string error;
    ASSERT_TRUE(pg_.start(false, &error)) << error;  // the same cluster again
    EXPECT_EQ(c->table_write(h, "after\n"), 6);      // the store reconnects
    const std::vector<StoredRecord> rows = stored();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].bytes, "before");
    EXPECT_EQ(rows[1].bytes, "after");
}

// Cut by --limit, resumed, run again: the target ends with exactly the source's records.
TEST_P(PostgresTablesTest, CopyFromSqliteIsResumableAndIdempotentAndGuardsItsMark) {
    append(Backend::kSqlite, 7);
    auto from = store(Backend::kSqlite), to = store(Backend::kPostgres);
    server::StoreError error;
    ASSERT_TRUE(from->open(&error) && to->open(&error)) << error.text;
    auto texts = [&](Backend b) {
        std::vector<std::string> out;
        for (const StoredRecord& r : stored_in(b))
            out.push_back(r.table + r.client + r.received_utc + r.bytes);
        return out;
    };
    struct Run {
        uint64_t limit, copied;
        bool complete;
    } const runs[] = {{3, 3, false}, {0, 4, true}, {0, 0, true}, {5, 0, true}};
    long copied = 0;
    for (const Run& run : runs) {
        server::CopyOutcome outcome;
        ASSERT_TRUE(server::copy_store(*from, *to, {2, run.limit}, &outcome, &error)) << error.text;
        EXPECT_EQ(run.copied, outcome.copied);
        EXPECT_EQ(run.complete, outcome.complete);
        const std::vector<std::string> source = texts(Backend::kSqlite);
        copied += outcome.copied;
        EXPECT_EQ(std::vector<std::string>(source.begin(), source.begin() + copied),
                  texts(Backend::kPostgres));
    }
    // A copy whose mark has moved on meanwhile appends nothing.
    EXPECT_FALSE(to->append_copy(from->store_id(), {}, {StoredRecord{}}, &error));
    EXPECT_NE(std::string::npos, error.text.find("ran at the same time")) << error.text;
    // A source restored from before the mark and written to since is refused.
    raw(Backend::kSqlite,
        "DELETE FROM gavo_records WHERE seq > 5; UPDATE sqlite_sequence SET seq = 5");
    append(Backend::kSqlite, 3, "new");
    server::CopyOutcome outcome;
    EXPECT_FALSE(server::copy_store(*from, *to, {}, &outcome, &error));
    EXPECT_NE(std::string::npos,
              error.text.find("up to seq 7, which this store has with another received_utc"))
        << error.text;
    EXPECT_EQ(7u, stored().size());
}

// The sh blocks of a section of docs/server.md, paths and URL made the test's own, run
// as the test's user instead of the service's.
std::vector<std::string> doc_blocks(const std::string& heading, const std::string& dir,
                                    const std::string& url) {
    std::stringstream text;
    text << std::ifstream(std::string(GAVO_SOURCE_DIR) + "/docs/server.md").rdbuf();
    std::string doc = text.str().substr(text.str().find(heading));
    doc = doc.substr(0, doc.find("\n##"));
    // Plain replacing: g++'s <regex> trips -Wmaybe-uninitialized under the sanitizers.
    auto replace_all = [&doc](const std::string& from, const std::string& to) {
        for (size_t at = doc.find(from); at != std::string::npos;
             at = doc.find(from, at + to.size())) {
            doc.replace(at, from.size(), to);
        }
    };
    replace_all("/srv", dir + "srv");
    replace_all("/var/lib/gavo", dir + "state");
    replace_all("runuser -u gavo -- ", "");
    replace_all("-o gavo -g gavo ", "");
    replace_all("/var/backups/", dir + "backups/");
    replace_all("postgresql://gavo@dbhost/gavo", url);
    std::vector<std::string> blocks;
    const std::string open = "```sh\n", close = "```";
    for (size_t at = doc.find(open); at != std::string::npos; at = doc.find(open, at)) {
        const size_t end = doc.find(close, at + open.size());
        blocks.push_back(doc.substr(at + open.size(), end - at - open.size()));
        at = end + close.size();
    }
    return blocks;
}

TEST_P(PostgresTablesTest, BackupRestoreAndMoveCommandsRunAsDocumented) {
    const std::vector<std::string> backup = doc_blocks("### Backup and restore", dir_, "");
    const std::vector<std::string> move = doc_blocks("### Moving to PostgreSQL", dir_, pg_.url());
    ASSERT_EQ(2u, backup.size());
    ASSERT_EQ(2u, move.size());
    const std::string bin = GAVO_TABLES_EXPORT_BIN;
    auto sh = [&](const std::string& block) {
        return std::system(("cd " + dir_ + " && PATH=" + bin.substr(0, bin.rfind('/')) +
                            ":$PATH && set -e\n" + block)
                               .c_str());
    };
    ASSERT_EQ(0, std::system(("mkdir -p " + dir_ + "srv/gavo").c_str()));
    config_.state_dir = dir_ + "state";
    append(Backend::kSqlite, 4);
    const std::vector<StoredRecord> backed_up = stored_in(Backend::kSqlite);
    EXPECT_EQ(0, sh(backup[0]));
    append(Backend::kSqlite, 2, "late");
    EXPECT_EQ(0, sh(backup[1]));
    EXPECT_EQ(backed_up.size(), stored_in(Backend::kSqlite).size());
    EXPECT_EQ(0, sh(move[0]));
    append(Backend::kSqlite, 2, "meanwhile");
    EXPECT_EQ(0, sh(move[0]));  // the server stopped: the rest
    EXPECT_EQ(0, sh(move[1]));
    EXPECT_EQ(6u, stored().size());
}

INSTANTIATE_TEST_SUITE_P(Stores, PostgresTablesTest, ::testing::Values(Backend::kPostgres),
                         [](const auto&) { return "Postgres"; });

// Without a tables file nothing of the tables exists: no state folder, no database.
TEST_F(ServerTest, WithoutTablesFileEveryTableOpenIsRefused) {
    start();
    auto c = client();
    EXPECT_EQ(c->table_open("events"), -102);
    EXPECT_TRUE(logged("tables are not served (no --tables file)"));
    EXPECT_FALSE(exists_on_disk(dir_ + "root.state/tables.db"));  // the folder holds only handles
}

TEST_F(ServerTest, TablesDatabaseLivesBesideTheRootByDefault) {
    write_file(dir_ + "t.conf", "events = line\n");
    config_.tables_file = dir_ + "t.conf";
    start();
    EXPECT_TRUE(exists_on_disk(dir_ + "root.state/tables.db"));
    auto c = client();
    EXPECT_EQ(c->exists(".state"), 0);
    EXPECT_EQ(c->exists("../root.state/tables.db"), -107);
    // The records are the server's user's alone, whatever the umask: the database and
    // the log SQLite writes beside it.
    const int t = c->table_open("events");
    ASSERT_GE(t, 0);
    EXPECT_EQ(c->table_write(t, "one\n"), 4);
    for (const char* name : {"tables.db", "tables.db-wal"}) {
        struct stat st;
        ASSERT_EQ(::stat((dir_ + "root.state/" + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
    }
}

// Refused with or without tables, and before any folder of it is made inside the root.
TEST_F(ServerTest, StateFolderInsideTheRootIsRefusedAtStart) {
    write_file(dir_ + "t.conf", "events = line\n");
    const struct {
        bool tables;
        std::string state, first_made;
    } cases[] = {{true, "db", "db"}, {false, "db/sub", "db"}, {false, "x/../y", "x"}};
    for (const auto& c : cases) {
        config_.tables_file = c.tables ? dir_ + "t.conf" : "";
        config_.state_dir = root_ + c.state;
        server::Logger log([](const std::string&) {});
        server::Server s(config_, log);
        std::string error;
        EXPECT_FALSE(s.start(&error)) << c.state;
        EXPECT_NE(error.find("lies inside the served root"), std::string::npos) << error;
        EXPECT_FALSE(exists_on_disk(root_ + c.first_made)) << c.state;
    }
}

TEST_F(ServerTest, ReadOnlyServerRefusesTableOpens) {
    write_file(dir_ + "t.conf", "events = line\n");
    config_.tables_file = dir_ + "t.conf";
    config_.read_only = true;
    start();
    EXPECT_EQ(client()->table_open("events"), -103);
}

}  // namespace
}  // namespace gavo::test
