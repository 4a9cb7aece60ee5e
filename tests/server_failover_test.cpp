// Fail-over: gavo-server nodes on one root, their records in PostgreSQL, behind a real
// haproxy on loopback configured as examples/cluster/haproxy.cfg (its defaults and backend
// taken from that file, only the addresses changed). The writers of kill_loop_fixture.h
// go through haproxy while one node after another is SIGKILLed, left down until every
// writer has been served again, and started again.
//
// GAVO_FAILOVER_NODES (default 2) and GAVO_KILLS (default 4) make it longer
// (scripts/failover.sh); GAVO_TEST_ROOT_BASE puts the root on a shared file system
// (scripts/cephfs.sh). The figures go to standard output as lines beginning "failover:".
#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/kill_loop_fixture.h"

namespace gavo::test {
namespace {

// The haproxy program, or empty when it is not installed.
std::string haproxy_program() {
    for (const char* p : {"/usr/sbin/haproxy", "/usr/bin/haproxy", "/usr/local/sbin/haproxy"}) {
        if (access(p, X_OK) == 0) return p;
    }
    return "";
}

// A loopback port free at the moment of the call.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

// The body of an HTTP GET of `path` on the loopback port `port` (empty on failure).
std::string http_get(int port, const std::string& path) {
    WireClient c;
    if (!c.connect(port) ||
        !c.send_raw("GET " + path + " HTTP/1.0\r\nHost: localhost\r\nConnection: close\r\n\r\n")) {
        return "";
    }
    const std::string reply = c.recv_bytes(1 << 20);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

class FailoverTest : public KillLoopFixture {
protected:
    struct Node {
        std::unique_ptr<ServerProcess> process;
        int port = 0, admin = 0, runs = 0;
    };

    void SetUp() override {
        KillLoopFixture::SetUp();
        if (HasFatalFailure()) return;
        haproxy_ = haproxy_program();
        if (haproxy_.empty()) {
            GTEST_SKIP() << "haproxy is not installed (Debian package haproxy; scripts/deps.sh)";
        }
        std::string error;
        if (!use_postgres(&error)) GTEST_SKIP() << "no PostgreSQL for the records: " << error;
        nodes_.resize(static_cast<size_t>(std::max(2, env_int("GAVO_FAILOVER_NODES", 2))));
        for (size_t i = 0; i < nodes_.size() && !HasFatalFailure(); ++i) start_node(i);
        if (!HasFatalFailure()) start_haproxy();
        set_up(true);  // some node is always up
    }
    void TearDown() override {
        if (haproxy_pid_ > 0) {
            kill(haproxy_pid_, SIGKILL);
            waitpid(haproxy_pid_, nullptr, 0);
        }
        nodes_.clear();
        KillLoopFixture::TearDown();
    }

    // Starts node i (again on the ports of its first run once there was one).
    void start_node(size_t i) {
        Node& n = nodes_[i];
        std::vector<std::string> args = args_;
        args.insert(args.end(), {"--root", roots_[i % roots_.size()], "--state",
                                 dir_ + "state" + std::to_string(i), "--listen",
                                 "127.0.0.1:" + std::to_string(n.port), "--admin",
                                 "127.0.0.1:" + std::to_string(n.admin)});
        // haproxy connects from 127.0.0.1 with a PROXY header naming the host; the tests'
        // own direct connections to a node come from other loopback addresses.
        args.insert(args.end(),
                    {"--node", std::to_string(i + 1) + "/" + std::to_string(nodes_.size()),
                     "--proxy-from", "127.0.0.1/32"});
        auto p = std::make_unique<ServerProcess>();
        const std::string log =
            dir_ + "node" + std::to_string(i) + "-" + std::to_string(n.runs++) + ".log";
        ASSERT_TRUE(p->start(args, log)) << read_file(log);
        n.port = p->port();
        n.admin = ServerProcess::admin_port_in(read_file(log));
        ASSERT_NE(n.admin, 0) << read_file(log);
        n.process = std::move(p);
    }
    void kill_node(size_t i) { nodes_[i].process->signal_and_wait(SIGKILL); }
    // The node holding the open file `name` (by its admin port's /handles), or -1.
    int node_holding(const std::string& name) {
        for (size_t i = 0; i < nodes_.size(); ++i) {
            if (http_get(nodes_[i].admin, "/handles").find("\"" + name + "\"") !=
                std::string::npos) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    // haproxy with the example's defaults and backend, the nodes on loopback and a free
    // front port (port_); waits until a request through it is answered.
    void start_haproxy() {
        const std::string cfg = dir_ + "haproxy.cfg";
        for (int attempt = 0; attempt < 5 && haproxy_pid_ <= 0; ++attempt) {
            port_ = free_port();
            write_file(cfg, haproxy_config());
            haproxy_pid_ = fork();
            if (haproxy_pid_ == 0) {
                const int fd =
                    ::open((dir_ + "haproxy.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                dup2(fd, STDOUT_FILENO);
                dup2(fd, STDERR_FILENO);
                execl(haproxy_.c_str(), haproxy_.c_str(), "-db", "-f", cfg.c_str(), nullptr);
                _exit(127);
            }
            for (int i = 0; i < 2000; ++i) {  // a safety limit of 20 s
                if (waitpid(haproxy_pid_, nullptr, WNOHANG) == haproxy_pid_) {
                    haproxy_pid_ = -1;  // the port was taken meanwhile: another one
                    break;
                }
                WireClient c;
                if (c.connect(port_) && c.exists("nothing") != kNoReply) return;
                usleep(10 * 1000);
            }
        }
        FAIL() << "haproxy did not serve: " << read_file(dir_ + "haproxy.log");
    }
    std::string haproxy_config() const {
        std::ifstream in(std::string(GAVO_SOURCE_DIR) + "/examples/cluster/haproxy.cfg");
        std::string line, out = "global\n    maxconn 1024\n";
        std::vector<std::string> options;
        bool global = false;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] != ' ') global = line == "global";
            std::istringstream words(line);
            std::string first;
            words >> first;
            if (first == "server" && options.empty()) {
                // The example's options (the health check's port and the PROXY header)
                // for every node, with each node's own admin port.
                std::string name, address, word;
                words >> name >> address;
                while (words >> word) options.push_back(word);
            }
            if (global || first.empty() || first[0] == '#' || first == "log" || first == "server") {
                continue;
            }
            if (first == "bind") line = "    bind 127.0.0.1:" + std::to_string(port_);
            out += line + "\n";
        }
        for (size_t i = 0; i < nodes_.size(); ++i) {
            out += "    server node" + std::to_string(i + 1) +
                   " 127.0.0.1:" + std::to_string(nodes_[i].port);
            for (size_t k = 0; k < options.size(); ++k) {
                const bool port = k > 0 && options[k - 1] == "port";
                out += " " + (port ? std::to_string(nodes_[i].admin) : options[k]);
            }
            out += "\n";
        }
        return out;
    }

    std::string haproxy_;
    pid_t haproxy_pid_ = -1;
    std::vector<Node> nodes_;
};

TEST_F(FailoverTest, AcknowledgedWritesSurviveNodeKillsBehindHaproxyExactlyOnce) {
    const int kills = env_int("GAVO_KILLS", 4);
    const unsigned seed = std::random_device{}();
    run_loop(kills, seed, [this](int k) {
        const size_t i = static_cast<size_t>(k) % nodes_.size();
        killed();
        kill_node(i);
        // Every host is served again (by another node) before this one comes back.
        ASSERT_TRUE(progressed(2)) << "the hosts were not served while node " << i << " was down";
        start_node(i);
    });
    std::vector<double> worst = worst_;
    std::sort(worst.begin(), worst.end());
    printf("failover: %zu nodes, %d kills (seed %u), PostgreSQL%s\n", nodes_.size(), kills, seed,
           getenv("GAVO_TEST_ROOT_BASE") ? ", root on GAVO_TEST_ROOT_BASE" : "");
    if (!worst.empty()) {
        printf("failover: from a kill to every host served again: median %.0f ms, worst %.0f ms\n",
               worst[worst.size() / 2], worst.back());
    }
    check_stores("failover");
}

// One node's open holds off an open of the same file through another node, until that
// node is killed: then its locks are gone and the other node admits the open.
TEST_F(FailoverTest, LocksOfOneNodeHoldOffAnotherUntilItIsKilled) {
    write_file(root_ + "/held.dat", "held");
    WireClient a, b;
    ASSERT_TRUE(a.connect(nodes_[0].port, "127.0.0.2"));
    ASSERT_TRUE(b.connect(nodes_[1].port, "127.0.0.3"));
    ASSERT_GE(a.open(0x21, "held.dat"), 0);  // read, exclusive
    struct Case {
        int flags;
        const char* what;
    } const refused[] = {{0x01, "read"}, {0x11, "read, deny none"}, {0x0A, "create"}};
    for (const Case& c : refused) EXPECT_EQ(b.open(c.flags, "held.dat"), -1) << c.what;
    EXPECT_LT(b.remove("held.dat"), 0);
    const auto killed_at = std::chrono::steady_clock::now();
    kill_node(0);
    int h = -1;
    for (int i = 0; i < 2000 && h < 0; ++i) {  // a safety limit of 20 s
        if ((h = b.open(0x01, "held.dat")) < 0) usleep(10 * 1000);
    }
    EXPECT_GE(h, 0) << "the killed node's lock was never released";
    const std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - killed_at;
    printf("failover: a killed node's lock released after %.1f ms\n", took.count());
    EXPECT_EQ(read_file(root_ + "/held.dat"), "held");
}

// A host whose handle lived on a killed node reaches another node with it: every request
// on it fails there, and no object of that node (the same identity's, numbered alike)
// takes the bytes.
TEST_F(FailoverTest, HandlesOfAKilledNodeFailOnAnotherNeverNameAnotherObject) {
    WireClient host;
    ASSERT_TRUE(host.connect(port_, "127.0.0.4"));
    const int h = host.open(0x0A, "stale.dat");
    ASSERT_GE(h, 0);
    const int held = node_holding("stale.dat");
    ASSERT_GE(held, 0);
    // The other nodes hold files of the same identity (the host's address, which haproxy
    // passes on) under the numbers they hand out first, orphans that a connection of that
    // identity may take up again.
    std::vector<std::unique_ptr<WireClient>> others;
    for (size_t i = 0; i < nodes_.size(); ++i) {
        if (static_cast<int>(i) == held) continue;
        others.push_back(std::make_unique<WireClient>());
        ASSERT_TRUE(others.back()->connect(nodes_[i].port, "127.0.0.4"));
        for (int k = 0; k < 8; ++k) {
            ASSERT_GE(others.back()->open(
                          0x0A, "other" + std::to_string(i) + "-" + std::to_string(k) + ".dat"),
                      0);
        }
        others.back()->close();
    }
    kill_node(static_cast<size_t>(held));
    ASSERT_TRUE(host.connect(port_, "127.0.0.4"));  // through haproxy to another node
    EXPECT_LT(host.write(h, "STALE"), 0);
    std::string data;
    EXPECT_LT(host.read(h, 10, &data), 0);
    EXPECT_LT(host.close_handle(h), 0);
    DIR* d = opendir(root_.c_str());
    ASSERT_NE(d, nullptr);
    for (struct dirent* e; (e = readdir(d)) != nullptr;) {
        EXPECT_EQ(read_file(root_ + "/" + e->d_name).find("STALE"), std::string::npos) << e->d_name;
    }
    closedir(d);
}

}  // namespace
}  // namespace gavo::test
