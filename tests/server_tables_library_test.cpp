// Tables through the library: a host's 0x100 object writes records that land in the
// server's database; a 0x200 object's writes are refused by the library itself.
#include <memory>

#include "include/GAVO_Client.h"
#include "server/server.h"
#include "server/tables/table_store.h"
#include "tests/test_support.h"

namespace gavo::test {
namespace {

class LibraryTablesTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        write_file(dir_ + "tables.conf", "events = line\n");
        server::ServerConfig config;
        config.listen_port = 0;
        config.root = dir_ + "root";
        config.state_dir = dir_ + "state";
        config.tables_file = dir_ + "tables.conf";
        server_ = std::make_unique<server::Server>(config, log_);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" +
                  std::to_string(server_->port()) + "\n");
        ASSERT_EQ(NFile_Init(), 1);
    }
    void TearDown() override {
        LibraryTest::TearDown();  // closes the library's channels first
        server_.reset();
    }
    std::vector<std::string> stored() {
        auto store = server::make_sqlite_store(dir_ + "state/tables.db", false);
        std::vector<std::string> records;
        server::StoreError error;
        EXPECT_TRUE(store->open(&error) &&
                    store->scan(
                        "events",
                        [&](const server::StoredRecord& r) { records.push_back(r.bytes); }, &error))
            << error.text;
        return records;
    }

    server::Logger log_{[](const std::string&) {}};
    std::unique_ptr<server::Server> server_;
};

TEST_F(LibraryTablesTest, RecordsWrittenThroughA0x100ObjectLandInTheDatabase) {
    CNFile table;
    ASSERT_EQ(table.Open("events", 0x100), 0);
    EXPECT_EQ(table.WriteEx("first\n", 6), 6u);
    table.Write("second\n", 7);
    table.Close();
    EXPECT_EQ(table.IsOpened(), 0);
    EXPECT_EQ(server_->open_handles(), 0u);
    EXPECT_EQ(stored(), (std::vector<std::string>{"first", "second"}));
}

TEST_F(LibraryTablesTest, WriteThroughA0x200ObjectIsRefusedAndNothingIsStored) {
    CNFile table;
    ASSERT_EQ(table.Open("events", 0x200), 0);
    EXPECT_EQ(server_->open_handles(), 1u);
    EXPECT_EQ(table.WriteEx("never\n", 6), 0u);
    table.Close();
    EXPECT_EQ(server_->open_handles(), 0u);  // its close reached the server
    EXPECT_TRUE(stored().empty());
}

TEST_F(LibraryTablesTest, UndeclaredTableOpenFailsWithTheServerCode) {
    CNFile table;
    EXPECT_EQ(table.Open("nope", 0x100), -102);
    EXPECT_EQ(table.IsOpened(), 0);
}

}  // namespace
}  // namespace gavo::test
