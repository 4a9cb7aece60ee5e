// The real gavo-server program: durability across SIGKILL, a clean stop on SIGTERM, and
// its command line.
#include "tests/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "server/options.h"
#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using ProcessTest = ServerTest;

TEST_F(ProcessTest, FileWhoseCloseWasAnsweredIsIntactAfterKillAndRestart) {
    const std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--root", root_};
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    {
        ServerProcess first;
        ASSERT_TRUE(first.start(args, dir_ + "log1"));
        WireClient c;
        ASSERT_TRUE(c.connect(first.port()));
        const int h = c.open(0x0A, "deep/er/durable.bin");
        ASSERT_GE(h, 0);
        ASSERT_EQ(c.write(h, data), static_cast<int64_t>(data.size()));
        ASSERT_EQ(c.close_handle(h), 0);
        ASSERT_EQ(c.rename("deep/er/durable.bin", "deep/final.bin"), 0);
        EXPECT_EQ(first.signal_and_wait(SIGKILL), 128 + SIGKILL);
    }
    ServerProcess second;
    ASSERT_TRUE(second.start(args, dir_ + "log2"));
    WireClient c;
    ASSERT_TRUE(c.connect(second.port()));
    int64_t length = 0;
    const int h = c.open_ex(0x01, "deep/final.bin", &length);
    ASSERT_GE(h, 0);
    EXPECT_EQ(length, static_cast<int64_t>(data.size()));
    std::string back;
    EXPECT_EQ(c.read(h, static_cast<int32_t>(data.size()), &back), length);
    EXPECT_TRUE(back == data);
}

TEST_F(ProcessTest, SigtermClosesOpenFilesAndExitsZero) {
    ServerProcess p;
    ASSERT_TRUE(p.start({"--listen", "127.0.0.1:0", "--root", root_}, dir_ + "log"));
    WireClient c;
    ASSERT_TRUE(c.connect(p.port()));
    const int h = c.open(0x0A, "left-open.txt");
    ASSERT_EQ(c.write(h, "kept"), 4);
    EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
    EXPECT_EQ(read_file(root_ + "left-open.txt"), "kept");
    const std::string log = read_file(dir_ + "log");
    EXPECT_NE(log.find("closed"), std::string::npos);
    EXPECT_NE(log.find("stopped; 1 open handles closed"), std::string::npos);
}

TEST_F(ProcessTest, BadOptionExitsTwoAndRootIsCreated) {
    ServerProcess bad;
    EXPECT_FALSE(bad.start({"--listen", "nonsense"}, dir_ + "bad-log"));
    EXPECT_NE(read_file(dir_ + "bad-log").find("bad --listen value"), std::string::npos);
    EXPECT_EQ(bad.signal_and_wait(0), 2);
    ServerProcess good;
    ASSERT_TRUE(good.start({"--listen", "127.0.0.1:0", "--root", dir_ + "new/sub/root"},
                           dir_ + "good-log"));
    EXPECT_TRUE(exists_on_disk(dir_ + "new/sub/root"));
}

// A second server on a state folder in use (given, or the default one of a shared root)
// refuses to start, naming the holder; the lock ends with its holder, even by SIGKILL.
TEST_F(ProcessTest, SecondServerOnOneStateFolderRefusesToStartNamingTheHolder) {
    const std::vector<std::string> same_root = {"--listen", "127.0.0.1:0", "--root", root_};
    const std::vector<std::string> same_state = {
        "--listen", "127.0.0.1:0", "--root", dir_ + "other", "--state", dir_ + "root.state"};
    ServerProcess first;
    ASSERT_TRUE(first.start(same_root, dir_ + "log1"));
    const std::string holder =
        "in use by the server with process id " + std::to_string(first.pid());
    for (const auto* args : {&same_root, &same_state}) {
        ServerProcess second;
        EXPECT_FALSE(second.start(*args, dir_ + "log2"));
        EXPECT_EQ(second.signal_and_wait(0), 1);
        EXPECT_NE(read_file(dir_ + "log2").find(holder), std::string::npos)
            << read_file(dir_ + "log2");
        ::unlink((dir_ + "log2").c_str());
    }
    EXPECT_EQ(first.signal_and_wait(SIGKILL), 128 + SIGKILL);
    ServerProcess again;
    EXPECT_TRUE(again.start(same_state, dir_ + "log3"));
}

// A bad --node, on the command line or in the config file, or SQLite tables shared by
// several nodes: exit 2 naming the problem, before anything is created.
TEST_F(ProcessTest, BadNodeSettingsExitTwoBeforeTouchingTheRoot) {
    write_file(dir_ + "tables", "events = LINE\n");
    write_file(dir_ + "conf", "node = 3/2\n");
    const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
        {{"--node", "0/2"}, "bad --node value '0/2'"},
        {{"--node", "1/0"}, "bad --node value '1/0'"},
        {{"--node", "a/b"}, "bad --node value 'a/b'"},
        {{"--node", "1/2/3"}, "bad --node value '1/2/3'"},
        {{"--node", "1/33"}, "1 <= N <= M <= 32"},
        {{"--config", dir_ + "conf"}, "conf:1: bad --node value '3/2'"},
        {{"--node", "1/2", "--tables", dir_ + "tables"}, "needs --tables-db postgresql://"},
    };
    for (const auto& [extra, message] : cases) {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--root", root_};
        args.insert(args.end(), extra.begin(), extra.end());
        ServerProcess p;
        EXPECT_FALSE(p.start(args, dir_ + "log"));
        EXPECT_EQ(p.signal_and_wait(0), 2) << message;
        EXPECT_NE(read_file(dir_ + "log").find(message), std::string::npos)
            << read_file(dir_ + "log");
        EXPECT_FALSE(exists_on_disk(root_)) << message;
        ::unlink((dir_ + "log").c_str());
    }
}

// Nodes 1/2 and 2/2 on one root: a handle of one is -102 on the other, never its object;
// a second claim of a node number, or a node with another M, is refused naming the holder.
TEST_F(ProcessTest, NodesOnOneRootKeepTheirHandlesAndNumbersApart) {
    auto node = [&](const char* n) {
        return std::vector<std::string>{"--listen", "127.0.0.1:0", "--root", root_, "--node", n};
    };
    ServerProcess one, two;
    ASSERT_TRUE(one.start(node("1/2"), dir_ + "log1"));
    ASSERT_TRUE(two.start(node("2/2"), dir_ + "log2"));
    WireClient a, b;
    ASSERT_TRUE(a.connect(one.port()));
    ASSERT_TRUE(b.connect(two.port()));
    std::string back;
    for (int i = 0; i < 3; ++i) {
        const int on_one = a.open(0x0A, "one" + std::to_string(i));
        const int on_two = b.open(0x0A, "two" + std::to_string(i));
        ASSERT_TRUE(on_one >= 0 && on_one % 2 == 0 && on_two >= 0 && on_two % 2 == 1)
            << on_one << " " << on_two;
        for (const auto& [c, h] : {std::pair<WireClient*, int>{&b, on_one}, {&a, on_two}}) {
            EXPECT_EQ(c->write(h, "stray"), -102);
            EXPECT_EQ(c->read(h, 5, &back), -102);
        }
        EXPECT_EQ(a.write(on_one, "1"), 1);
        EXPECT_EQ(b.close_handle(on_one), -102);
        EXPECT_EQ(a.close_handle(on_one), 0);
    }
    EXPECT_EQ(read_file(root_ + "one0"), "1");
    EXPECT_NE(read_file(dir_ + "log2").find("handle of another node"), std::string::npos);
    // A host may not reach the node lock file.
    EXPECT_LT(a.open(0x01, ".gavo-nodes"), 0);

    std::vector<std::string> same = node("1/2"), other_count = node("3/3");
    for (auto* args : {&same, &other_count}) args->insert(args->end(), {"--state", dir_ + "s"});
    const std::pair<std::vector<std::string>*, std::string> refused[] = {
        {&same, "node 1 of 2 on the root " + root_ + " is already served by the server with " +
                    "process id " + std::to_string(one.pid())},
        {&other_count, "runs with --node N/2, this one with 3/3"}};
    for (const auto& [args, message] : refused) {
        ServerProcess p;
        EXPECT_FALSE(p.start(*args, dir_ + "log3"));
        EXPECT_EQ(p.signal_and_wait(0), 1);
        EXPECT_NE(read_file(dir_ + "log3").find(message), std::string::npos)
            << read_file(dir_ + "log3");
        ::unlink((dir_ + "log3").c_str());
    }
    EXPECT_EQ(one.signal_and_wait(SIGKILL), 128 + SIGKILL);
    ServerProcess again;  // the claim ended with its holder
    EXPECT_TRUE(again.start(same, dir_ + "log4"));
}

TEST(ServerOptionsTest, EveryOptionIsParsedAndDescribed) {
    server::ServerConfig config;
    std::string error;
    std::vector<std::string> args = {"gavo-server",
                                     "--listen",
                                     "[::1]:9000",
                                     "--root",
                                     "/srv/g",
                                     "--allow",
                                     "10.0.0.0/8",
                                     "--allow",
                                     "::1",
                                     "--read-only",
                                     "--no-sync",
                                     "--handle-grace",
                                     "7",
                                     "--max-handles",
                                     "9",
                                     "--max-connections",
                                     "11",
                                     "--stall-timeout",
                                     "13",
                                     "--allow-hard-links",
                                     "--max-connections-per-host",
                                     "3",
                                     "--max-descriptors-per-host",
                                     "5",
                                     "--admin",
                                     "[::1]:9100",
                                     "--node",
                                     "2/3"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    ASSERT_EQ(server::parse_options(static_cast<int>(argv.size()), argv.data(), &config, &error),
              server::ParseResult::kRun)
        << error;
    EXPECT_EQ(config.listen_host, "::1");
    EXPECT_EQ(config.listen_port, 9000);
    EXPECT_EQ(config.root, "/srv/g");
    ASSERT_EQ(config.allow.size(), 2u);
    EXPECT_TRUE(config.read_only);
    EXPECT_FALSE(config.sync);
    EXPECT_TRUE(config.allow_hard_links);
    EXPECT_EQ(config.handle_grace, std::chrono::seconds(7));
    EXPECT_EQ(config.max_handles_per_host, 9);
    EXPECT_EQ(config.max_connections, 11);
    EXPECT_EQ(config.max_connections_per_host, 3);
    EXPECT_EQ(config.max_descriptors_per_host, 5);
    EXPECT_EQ(config.stall_timeout, std::chrono::seconds(13));
    EXPECT_EQ(config.admin_host + " " + std::to_string(config.admin_port), "::1 9100");
    EXPECT_EQ(std::to_string(config.node) + "/" + std::to_string(config.nodes), "2/3");
    const std::string help = server::usage_text();
    for (const auto* opt :
         {"--listen", "--root", "--allow", "--read-only", "--no-sync", "--handle-grace",
          "--max-handles", "--max-connections", "--stall-timeout", "--allow-hard-links", "--help",
          "--max-connections-per-host", "--max-descriptors-per-host", "--config", "--log-file",
          "--log-level", "--admin", "--node"}) {
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
    }
}

TEST(ServerOptionsTest, CidrBlocksMatchTheirHostsOnly) {
    server::Cidr net, v6;
    server::HostAddr a;
    ASSERT_TRUE(server::parse_cidr("192.168.4.0/22", &net));
    ASSERT_TRUE(server::parse_host_addr("192.168.7.255", &a));
    EXPECT_TRUE(net.contains(a));
    ASSERT_TRUE(server::parse_host_addr("192.168.8.0", &a));
    EXPECT_FALSE(net.contains(a));
    ASSERT_TRUE(server::parse_cidr("::1", &v6));
    EXPECT_FALSE(v6.contains(a));
    for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "host", "10.0.0.0/8x", "::1/129"}) {
        EXPECT_FALSE(server::parse_cidr(bad, &net)) << bad;
    }
}

}  // namespace
}  // namespace gavo::test
