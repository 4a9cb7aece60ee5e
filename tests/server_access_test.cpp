// Access rules: each identity confined to its folder with its access and tables, clients
// no rule names refused, bad rule files refused with their line, and rules reloaded.
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "server/access.h"
#include "server/options.h"
#include "server/tables/tables.h"
#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

constexpr const char* kA = "127.0.0.2";  // stands for 192.168.10.0/24: hosts/a, rw, events
constexpr const char* kB = "127.0.0.3";  // stands for 192.168.20.7: hosts/b, ro

// The example of docs/server.md, its addresses made loopback ones.
std::string documented_rules() {
    std::stringstream text;
    text << std::ifstream(GAVO_SOURCE_DIR "/docs/server.md").rdbuf();
    std::string doc = text.str();
    const size_t at = doc.find("```text\n", doc.find("## Access rules")) + 8;
    doc = doc.substr(at, doc.find("```", at) - at);
    doc.replace(doc.find("192.168.10.0/24"), 15, kA);
    doc.replace(doc.find("192.168.20.7"), 12, kB);
    return doc;
}

class AccessTest : public ServerTest {
protected:
    std::shared_ptr<server::AccessRules> rules(const std::string& text) {
        auto out = std::make_shared<server::AccessRules>();
        std::string error;
        EXPECT_TRUE(server::parse_access_rules(text, "access", out.get(), &error)) << error;
        return out;
    }
    void start_with(const std::string& text, bool walk) {
        ASSERT_EQ(0, system(("mkdir -p " + root_ + "hosts/a " + root_ + "hosts/b").c_str()));
        write_file(root_ + "hosts/a/mine.txt", "A");
        write_file(root_ + "hosts/b/secret.txt", "B");
        ASSERT_EQ(0, mkdir((root_ + "hosts/b/empty").c_str(), 0755));
        ASSERT_EQ(0, symlink("../b", (root_ + "hosts/a/link").c_str()));
        write_file(dir_ + "tables", "events = line\naudit = line\n");
        config_.tables_file = dir_ + "tables";
        config_.force_component_walk = walk;
        config_.access = rules(text);
        start();
    }
};

TEST_F(AccessTest, EachIdentitySeesOnlyItsFolderAndChangesOnlyWhatItsRuleAllows) {
    enum Op { kOpen, kExists, kRename, kRemove, kTable, kList, kStat, kRmdir };
    struct Row {
        const char* from;
        Op op;
        int flags;
        const char *name, *to;
        int want;  // a handle or record count >= 0 counts as 0
    } const rows[] = {
        {kA, kOpen, 0x41, "mine.txt", "", 0},
        {kA, kOpen, 0x41, "../b/secret.txt", "", kCodeBadPath},
        {kA, kOpen, 0x41, "hosts/b/secret.txt", "", kCodeBadPath},  // folder not found
        {kA, kOpen, 0x41, "link/secret.txt", "", kCodeBadPath},
        {kA, kExists, 0, "secret.txt", "", 0},
        {kA, kRename, 0, "mine.txt", "link/stolen.txt", kCodeBadPath},
        {kA, kRemove, 0, "link/secret.txt", "", kCodeBadPath},
        {kA, kOpen, 0x4A, "new/made.txt", "", 0},
        {kA, kTable, 0, "events", "", 0},
        {kA, kTable, 0, "audit", "", kCodeAccessDenied},
        {kA, kList, 0, "/", "", 0},
        {kA, kList, 0, "link", "", kCodeBadPath},
        {kA, kStat, 0, "../b/secret.txt", "", kCodeBadPath},
        {kA, kList, 0, "../b", "", kCodeBadPath},
        {kB, kOpen, 0x41, "secret.txt", "", 0},
        {kB, kOpen, 0x42, "secret.txt", "", kCodeAccessDenied},
        {kB, kOpen, 0x4A, "d/new.txt", "", kCodeAccessDenied},
        {kB, kRename, 0, "secret.txt", "moved.txt", kCodeAccessDenied},
        {kB, kRemove, 0, "secret.txt", "", kCodeAccessDenied},
        {kB, kTable, 0, "events", "", kCodeAccessDenied},
        {kB, kRmdir, 0, "empty", "", kCodeAccessDenied},
        {"127.0.0.1", kExists, 0, "../hosts/b/secret.txt", "", kCodeBadPath},  // `*`: public
    };
    for (const bool walk : {false, true}) {
        start_with(documented_rules(), walk);
        std::map<std::string, std::unique_ptr<WireClient>> clients;
        for (const Row& r : rows) {
            auto& c = clients[r.from];
            if (!c) c = client(r.from);
            int kind = 0;
            bool more = false;
            std::vector<std::string> entries;
            int64_t got = r.op == kOpen     ? c->open(r.flags, r.name)
                          : r.op == kExists ? c->exists(r.name)
                          : r.op == kRename ? c->rename(r.name, r.to)
                          : r.op == kRemove ? c->remove(r.name)
                          : r.op == kList   ? c->list(r.name, "", &entries, &more)
                          : r.op == kStat   ? c->stat(r.name, &kind)
                          : r.op == kRmdir  ? c->rmdir(r.name)
                                            : c->table_open(r.name);
            if ((r.op == kOpen || r.op == kTable || r.op == kList) && got >= 0) got = 0;
            EXPECT_EQ(got, r.want) << r.from << " " << r.op << " " << r.name << " walk " << walk;
        }
        EXPECT_EQ(read_file(root_ + "hosts/b/secret.txt"), "B");
        EXPECT_TRUE(exists_on_disk(root_ + "hosts/b/empty"));
        EXPECT_TRUE(exists_on_disk(root_ + "hosts/a/new/made.txt"));
        EXPECT_TRUE(exists_on_disk(root_ + "public"));
        clients.clear();
        server_.reset();
        remove_tree(root_);
    }
}

TEST_F(AccessTest, ReloadSwapsTheRulesForOpenAndNewConnectionsAndRefusesUnlistedOnes) {
    start_with(documented_rules(), false);
    auto a = client(kA), anyone = client("127.0.0.1");
    const int h = a->open(0x4A, "w.txt");
    ASSERT_GE(h, 0);
    ASSERT_EQ(anyone->exists("x"), 0);
    std::string error;
    server::ServerConfig bad = config_, swapped = config_;
    bad.access = rules(std::string(kA) + " hosts/a/mine.txt rw -\n");  // a file, no folder
    EXPECT_FALSE(server_->reload(bad, &error));
    EXPECT_NE(error.find("access:1: cannot open folder 'hosts/a/mine.txt'"), std::string::npos)
        << error;
    EXPECT_EQ(a->exists("mine.txt"), 1);  // the rules in use stay
    swapped.access = rules(std::string(kA) + " hosts/b ro -\n" + kB + " hosts/a rw *\n");
    ASSERT_TRUE(server_->reload(swapped, &error)) << error;
    EXPECT_EQ(a->exists("secret.txt"), 1);
    EXPECT_EQ(a->write(h, "x"), kCodeAccessDenied);
    EXPECT_EQ(anyone->exists("x"), kNoReply);  // no rule names it any more
    EXPECT_EQ(client(kB)->exists("mine.txt"), 1);
    EXPECT_EQ(client("127.0.0.4")->exists("x"), kNoReply);
    EXPECT_TRUE(eventually([&] { return logged("refused, no access rule for 127.0.0.4"); }));
}

// A rename that would carry a rule's folder elsewhere, into another identity's tree or
// with a folder above it, is refused: each identity's new files stay in its own tree.
TEST_F(AccessTest, RenamesThatWouldMoveARuleFolderAreRefused) {
    start_with(std::string(kA) + " hosts/a rw -\n" + kB + " hosts/b rw -\n* . rw -\n", false);
    auto anyone = client("127.0.0.1");
    ASSERT_GE(anyone->open(0x4A, "plain/f.txt"), 0);
    const std::tuple<const char*, const char*, int> rows[] = {
        {"hosts/a", "hosts/b/a", kCodeAccessDenied},
        {"hosts/b", "hosts/a/b", kCodeAccessDenied},
        {"hosts", "elsewhere", kCodeAccessDenied},  // a folder above both
        {"plain", "hosts/b/plain", 0},              // no rule's folder
    };
    for (const auto& [from, to, want] : rows) EXPECT_EQ(anyone->rename(from, to), want) << from;
    EXPECT_TRUE(
        logged("rename 'hosts' to 'elsewhere' refused with -103: it is or holds the "
               "folder of an access rule"));
    EXPECT_GE(client(kA)->open(0x4A, "new.txt"), 0);
    EXPECT_TRUE(exists_on_disk(root_ + "hosts/a/new.txt"));
}

TEST(AccessRulesTest, BadRuleFilesAreRefusedWithTheirLineAndIdentitiesMatchTheirKind) {
    const std::pair<const char*, const char*> bad[] = {
        {"* . rw -\nhost . rw -\n", ":2: 'host' is neither CN=NAME"},
        {"\n# who\n* . rx -\n", ":3: access 'rx' is neither ro nor rw"},
        {"CN= . rw -", ":1: 'CN=': a certificate name needs"},
        {"* ../up rw -", ":1: folder '../up': '..' leaves the root"},
        {"* /srv rw -", ":1: folder '/srv' must be relative"},
        {"* . rw a,,b", ":1: '' is no table name"},
        {"* . rw", ":1: expected four fields"},
        {"# none\n", ": no rules"},
    };
    const std::string path = make_temp_dir() + "access";
    for (const auto& [text, why] : bad) {
        write_file(path, text);
        const char* argv[] = {"gavo-server", "--access", path.c_str()};
        server::ServerConfig config;
        std::string error;
        EXPECT_EQ(server::parse_options(3, const_cast<char**>(argv), &config, &error),
                  server::ParseResult::kError);
        EXPECT_EQ(error.find(path + why), 0u) << error;
    }
    server::AccessRules rules;
    std::string error;
    ASSERT_TRUE(server::parse_access_rules(documented_rules(), "f", &rules, &error)) << error;
    server::HostAddr addr;
    ASSERT_TRUE(server::parse_host_addr(kA, &addr));
    EXPECT_EQ(rules.match(server::Identity(addr))->folder, "hosts/a");
    EXPECT_EQ(rules.match(server::Identity(addr, "host-b"))->line, 3);
    EXPECT_EQ(rules.match(server::Identity(addr, "host-c"))->folder, "public");
    // Two certificate names from one address own separate handles; one name keeps its
    // handles from another address; the per-host limit counts both names.
    server::HandleTable table(2);
    const server::Identity host_a(addr, "host-a"), host_b(addr, "host-b");
    const int h =
        table.add(host_a, std::make_shared<server::OpenTable>("t", server::Framing{}), &error);
    server::Lookup found;
    EXPECT_FALSE(table.find(h, host_b, &found));
    EXPECT_EQ(found, server::Lookup::kOtherHost);
    EXPECT_FALSE(table.find(h, server::Identity(addr), &found));
    EXPECT_TRUE(table.find(h, server::Identity(server::HostAddr{}, "host-a"), &found));
    EXPECT_GE(
        table.add(host_b, std::make_shared<server::OpenTable>("t", server::Framing{}), &error), 0);
    EXPECT_EQ(table.add(host_b, nullptr, &error), -1);
}

}  // namespace
}  // namespace gavo::test
