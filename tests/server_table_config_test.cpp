// The tables file, table names as they arrive on the wire, the export encodings and
// the table options of the command line.
#include <gtest/gtest.h>

#include "server/options.h"
#include "server/tables/export.h"
#include "server/tables/table_service.h"
#include "server/tables/tables.h"

namespace gavo::test {
namespace {

using server::Framing;
using server::TableCatalog;

TEST(TableCatalogTest, DeclarationsCommentsAndDefaultAreRead) {
    TableCatalog c;
    std::string error;
    ASSERT_TRUE(
        c.parse("# tables\n\n events=line # trailing\r\nr = fixed:48\n"
                "a.b-c_D = line:1024\n* = fixed:2\n",
                &error))
        << error;
    EXPECT_EQ(c.declared(), 3u);
    EXPECT_EQ(c.find("events")->to_string(), "line:65536");
    EXPECT_EQ(c.find("r")->to_string(), "fixed:48");
    EXPECT_EQ(c.find("a.b-c_D")->to_string(), "line:1024");
    EXPECT_EQ(c.find("EVENTS")->to_string(), "fixed:2");  // names are case-sensitive
    TableCatalog no_default;
    ASSERT_TRUE(no_default.parse("events = line", &error));
    EXPECT_FALSE(no_default.find("other").has_value());
}

TEST(TableCatalogTest, MistakesAreReportedWithTheirLineNumber) {
    const std::pair<const char*, const char*> cases[] = {
        {"events = line\nbroken\n", "line 2: expected"},
        {"e = fixed:0\n", "line 1: bad framing"},
        {"e = fixed:1048577\n", "bad framing"},
        {"e = line:\n", "bad framing"},
        {"e = lines\n", "bad framing"},
        {"e = fixed:-4\n", "bad framing"},
        {"bad/name = line\n", "bad table name"},
        {" = line\n", "bad table name"},
        {"e = line\n\ne = fixed:2\n", "line 3: table 'e' declared twice"},
        {"* = line\n* = line\n", "second default"},
    };
    for (const auto& [text, want] : cases) {
        TableCatalog c;
        std::string error;
        EXPECT_FALSE(c.parse(text, &error)) << text;
        EXPECT_NE(error.find(want), std::string::npos) << text << " -> " << error;
    }
    TableCatalog c;
    std::string error;
    EXPECT_FALSE(c.load("/nonexistent/tables.conf", &error));
}

TEST(TableNameTest, WireFieldMustBeAValidNameAndItsZero) {
    std::string name, why;
    auto parse = [&](const std::string& field) {
        return server::parse_table_field(field.data(), field.size(), &name, &why);
    };
    EXPECT_TRUE(parse(std::string("events\0", 7)));
    EXPECT_EQ(name, "events");
    EXPECT_TRUE(parse(std::string(64, 'x') + '\0'));
    EXPECT_FALSE(parse(std::string(65, 'x') + '\0'));
    EXPECT_NE(why.find("longer than 64"), std::string::npos);
    EXPECT_FALSE(parse(std::string("\0", 1)));
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(parse("events"));                    // no zero at the end
    EXPECT_FALSE(parse(std::string("ev\0nt\0", 6)));  // a zero inside
    for (const char* bad : {"a b", "a/b", "a\\b", "a'b", "a;b", "a\"b", "\xc3\xa9"}) {
        EXPECT_FALSE(parse(std::string(bad) + '\0')) << bad;
    }
}

TEST(ExportTest, Base64MatchesTheStandardVectors) {
    EXPECT_EQ(server::base64(""), "");
    EXPECT_EQ(server::base64("f"), "Zg==");
    EXPECT_EQ(server::base64("fo"), "Zm8=");
    EXPECT_EQ(server::base64("foo"), "Zm9v");
    EXPECT_EQ(server::base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(server::base64(std::string("\0\xff\xfe", 3)), "AP/+");
}

TEST(ExportTest, LinesCarryEveryColumnAndNeverRawRecordBytes) {
    server::StoredRecord r;
    r.seq = 42;
    r.table = "events";
    r.received_utc = "2024-01-02T03:04:05.000006Z";
    r.client = "::1";
    r.bytes = std::string("a\"b\n,\0", 6);
    EXPECT_EQ(server::export_line(r, server::ExportFormat::kJsonLines),
              "{\"seq\":42,\"table\":\"events\",\"received_utc\":\"2024-01-02T03:04:05.000006Z\","
              "\"client\":\"::1\",\"record_base64\":\"YSJiCiwA\"}\n");
    EXPECT_EQ(server::export_header(server::ExportFormat::kCsv),
              "seq,table,received_utc,client,record_base64\n");
    EXPECT_EQ(server::export_line(r, server::ExportFormat::kCsv),
              "42,events,2024-01-02T03:04:05.000006Z,::1,YSJiCiwA\n");
}

TEST(TableTimeTest, ReceivedTimeIsUtcWithMicroseconds) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00.000000Z"},
        {1700000000123456, "2023-11-14T22:13:20.123456Z"},
        {951782400000000, "2000-02-29T00:00:00.000000Z"},  // leap day of a 400th year
        {946684799999999, "1999-12-31T23:59:59.999999Z"},
        {1709251199000001, "2024-02-29T23:59:59.000001Z"},
        {4107542400000000, "2100-03-01T00:00:00.000000Z"},  // 2100 has no leap day
    };
    for (const auto& [micros, text] : cases) EXPECT_EQ(server::utc_text(micros), text) << micros;
}

TEST(TableStateTest, DefaultStateFolderIsBesideTheRoot) {
    EXPECT_EQ(server::default_state_dir("/srv/gavo"), "/srv/gavo.state");
    EXPECT_EQ(server::default_state_dir("/srv/gavo//"), "/srv/gavo.state");
    EXPECT_EQ(server::default_state_dir("./gavo-root"), "./gavo-root.state");
    EXPECT_EQ(server::default_state_dir("/"), "");
}

TEST(TableOptionsTest, TableOptionsAreParsedAndDescribed) {
    server::ServerConfig config;
    std::string error;
    std::vector<std::string> args = {"gavo-server",     "--tables",         "t.conf",
                                     "--state",         "/var/g",           "--tables-db",
                                     "postgresql:///g", "--no-group-commit"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    ASSERT_EQ(server::parse_options(static_cast<int>(argv.size()), argv.data(), &config, &error),
              server::ParseResult::kRun)
        << error;
    EXPECT_EQ(config.tables_file, "t.conf");
    EXPECT_EQ(config.state_dir, "/var/g");
    EXPECT_EQ(config.tables_db, "postgresql:///g");
    EXPECT_FALSE(config.group_commit);
    for (const char* opt : {"--tables", "--state", "--tables-db", "--no-group-commit"}) {
        EXPECT_NE(server::usage_text().find(opt), std::string::npos) << opt;
    }
}

}  // namespace
}  // namespace gavo::test
