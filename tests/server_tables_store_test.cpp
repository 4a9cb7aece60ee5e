// Tables stores over time: the schema version on both back ends, the copy from SQLite
// into PostgreSQL, and the backup, restore and move commands of docs/server.md run as
// written there.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "server/export.h"
#include "server/table_store.h"
#include "tests/pg_fixture.h"
#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using server::StoredRecord;

enum class Backend { kSqlite, kPostgres };

class TablesStoreTest : public ServerTest, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        config_.state_dir = dir_ + "srv/gavo.state";
        ASSERT_EQ(0, std::system(("mkdir -p " + config_.state_dir).c_str()));
        if (GetParam() != Backend::kPostgres) return;
        if (ThrowawayPostgres::bin_dir().empty()) GTEST_SKIP() << "no PostgreSQL programs";
        std::string error;
        ASSERT_TRUE(pg_.start(false, &error)) << error;
    }
    std::string db_path() const { return config_.state_dir + "/tables.db"; }
    std::unique_ptr<server::TableStore> store(Backend b) {
        return b == Backend::kPostgres ? server::make_pg_store(pg_.url())
                                       : server::make_sqlite_store(db_path(), false);
    }
    // Runs `sql` through the database's own shell; its first output line.
    std::string raw(Backend b, const std::string& sql) {
        const std::string cmd = (b == Backend::kPostgres ? "psql -qtA '" + pg_.url() + "' -c \""
                                                         : "sqlite3 " + db_path() + " \"") +
                                sql + "\"";
        FILE* out = popen(cmd.c_str(), "r");
        char line[256] = "";
        if (out == nullptr || fgets(line, sizeof line, out) == nullptr) line[0] = '\0';
        EXPECT_EQ(0, out ? pclose(out) : -1) << cmd;
        return std::string(line, strcspn(line, "\n"));
    }
    // Appends `n` records (tables a, b and c in turn) through a store of the back end.
    void append(Backend b, int n, const std::string& tag = "r") {
        auto s = store(b);
        server::StoreError error;
        ASSERT_TRUE(s->open(&error)) << error.text;
        for (int i = 0; i < n; ++i) {
            server::Record r{std::string(1, char('a' + i % 3)), "10.0.0.1", 1700000000000000 + i,
                             tag + std::to_string(i) + std::string(1, '\0')};
            ASSERT_TRUE(s->append({&r}, &error)) << error.text;
        }
    }
    // Every record of the back end as "table client received bytes", in seq order.
    std::vector<std::string> rows(Backend b) {
        std::vector<std::string> out;
        auto s = store(b);
        server::StoreError error;
        EXPECT_TRUE(s->open(&error)) << error.text;
        EXPECT_TRUE(s->scan(
            "",
            [&](const StoredRecord& r) {
                out.push_back(r.table + " " + r.client + " " + r.received_utc + " " + r.bytes);
            },
            &error));
        return out;
    }

    ThrowawayPostgres pg_;
};

TEST_P(TablesStoreTest, SchemaVersionIsStampedCheckedAndANewerOneRefused) {
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
            EXPECT_EQ(1u, rows(GetParam()).size());
            continue;
        }
        EXPECT_NE(std::string::npos, error.text.find(c.refused)) << error.text;
        // The server refuses to start on it.
        write_file(dir_ + "tables.conf", "* = line\n");
        config_.tables_file = dir_ + "tables.conf";
        if (GetParam() == Backend::kPostgres) config_.tables_db = pg_.url();
        server::Logger quiet([](const std::string&) {});
        server::Server refusing(config_, quiet);
        std::string why;
        EXPECT_FALSE(refusing.start(&why));
        EXPECT_NE(std::string::npos, why.find(c.refused)) << why;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, TablesStoreTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres));

class TablesCopyTest : public TablesStoreTest {};

// Cut by --limit, resumed, run again: the target ends with exactly the source's records.
TEST_P(TablesCopyTest, CopyIsResumableAndIdempotentAndGuardsItsMark) {
    append(Backend::kSqlite, 7);
    auto from = store(Backend::kSqlite), to = store(Backend::kPostgres);
    server::StoreError error;
    ASSERT_TRUE(from->open(&error) && to->open(&error)) << error.text;
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
        const std::vector<std::string> source = rows(Backend::kSqlite);
        copied += outcome.copied;
        EXPECT_EQ(std::vector<std::string>(source.begin(), source.begin() + copied),
                  rows(Backend::kPostgres));
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
    EXPECT_NE(std::string::npos, error.text.find("up to seq 7, which this store has with "
                                                 "another received_utc"))
        << error.text;
    EXPECT_EQ(7u, rows(Backend::kPostgres).size());
}

// The sh blocks of a section of docs/server.md, paths and URL made the test's own.
std::vector<std::string> doc_blocks(const std::string& heading, const std::string& dir,
                                    const std::string& url) {
    std::stringstream text;
    text << std::ifstream(std::string(GAVO_SOURCE_DIR) + "/docs/server.md").rdbuf();
    std::string doc = text.str().substr(text.str().find(heading));
    doc = std::regex_replace(doc.substr(0, doc.find("\n#")), std::regex("/srv/"), dir + "srv/");
    doc = std::regex_replace(doc, std::regex("/var/backups/"), dir + "backups/");
    doc = std::regex_replace(doc, std::regex("postgresql://gavo@dbhost/gavo"), url);
    std::vector<std::string> blocks;
    const std::regex fenced("```sh\n([^`]*)```");
    for (std::sregex_iterator i(doc.begin(), doc.end(), fenced), end; i != end; ++i) {
        blocks.push_back((*i)[1]);
    }
    return blocks;
}

TEST_P(TablesCopyTest, BackupRestoreAndMoveCommandsRunAsDocumented) {
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
    append(Backend::kSqlite, 4);
    const std::vector<std::string> backed_up = rows(Backend::kSqlite);
    EXPECT_EQ(0, sh(backup[0]));
    append(Backend::kSqlite, 2, "late");
    EXPECT_EQ(0, sh(backup[1]));
    EXPECT_EQ(backed_up, rows(Backend::kSqlite));
    EXPECT_EQ(0, sh(move[0]));
    append(Backend::kSqlite, 2, "meanwhile");
    EXPECT_EQ(0, sh(move[0]));  // the server stopped: the rest
    EXPECT_EQ(0, sh(move[1]));
    EXPECT_EQ(6u, rows(Backend::kPostgres).size());
}

INSTANTIATE_TEST_SUITE_P(Into, TablesCopyTest, ::testing::Values(Backend::kPostgres));

}  // namespace
}  // namespace gavo::test
