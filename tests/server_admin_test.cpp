// The admin port: counters that move with the requests, the handle list and the drop of
// an orphan, and peers that are neither loopback nor allowed.
#include <httplib.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

struct AdminTest : ServerTest {
    void start_admin(const char* host = "127.0.0.1") {
        config_.admin_host = host;
        config_.admin_port = 0;
        start();
    }
    // The status of an admin request (-1 when none came), its body in `body`. A POST
    // says application/json unless `headers` name another type.
    int call(const char* method, const std::string& path, std::string* body = nullptr,
             const char* host = "127.0.0.1", httplib::Headers headers = {}) {
        httplib::Client c(host, server_->admin_port());
        c.set_read_timeout(std::chrono::seconds(20));
        if (std::string(method) == "POST" && !headers.count("Content-Type")) {
            headers.emplace("Content-Type", "application/json");
        }
        auto res = std::string(method) == "GET" ? c.Get(path, headers) : c.Post(path, headers);
        if (res && body) *body = res->body;
        return res ? res->status : -1;
    }
    // The value of `series` (name and labels, as written) on /metrics; 0 when absent.
    double metric(const std::string& series) {
        std::string page;
        EXPECT_EQ(call("GET", "/metrics", &page), 200);
        std::istringstream lines(page);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size()));
        }
        return 0;
    }
};

// Each request moves its own series by exactly what it did.
TEST_F(AdminTest, MetricsMoveWithTheRequests) {
    write_file(dir_ + "t.conf", "events = line\n");
    config_.tables_file = dir_ + "t.conf";
    config_.allow = {};
    ASSERT_TRUE(server::parse_cidr("127.0.0.0/30", &config_.allow.emplace_back()));
    start_admin();
    auto c = client();
    int h = -1, t = -1;
    const std::string req = "gavo_requests_total";
    struct Case {
        const char* what;
        std::function<void()> act;
        std::vector<std::pair<std::string, double>> moves;
    };
    const Case cases[] = {
        {"open",
         [&] { h = c->open(0x0A, "m.txt"); },
         {{req + "{op=\"open\",opcode=\"1\",code=\"0\"}", 1},
          {"gavo_received_bytes_total", 12},
          {"gavo_sent_bytes_total", 2},
          {"gavo_handles_open", 1}}},
        {"write",
         [&] { EXPECT_EQ(c->write(h, "hello"), 5); },
         {{req + "{op=\"write\",opcode=\"4\",code=\"0\"}", 1}, {"gavo_received_bytes_total", 13}}},
        {"close",
         [&] { EXPECT_EQ(c->close_handle(h), 0); },
         {{"gavo_fsyncs_total", 2}, {"gavo_handles_open", -1}}},
        {"refused name",
         [&] { EXPECT_EQ(c->exists("../x"), -107); },
         {{req + "{op=\"exists\",opcode=\"8\",code=\"-107\"}", 1}}},
        {"table record",
         [&] {
             t = c->table_open("events");
             EXPECT_EQ(c->table_write(t, "rec\n"), 4);
         },
         {{"gavo_table_records_total", 1},
          {"gavo_table_commits_total", 1},
          {"gavo_table_commit_batch_records_bucket{le=\"1\"}", 1}}},
        {"address not allowed",
         [&] { EXPECT_TRUE(client("127.0.0.9")->closed_by_peer()); },
         {{"gavo_connections_refused_total{reason=\"allow_list\"}", 1}}},
    };
    for (const Case& k : cases) {
        std::vector<double> before;
        for (const auto& [series, delta] : k.moves) before.push_back(metric(series));
        k.act();
        // A request is counted just after its reply has gone out.
        for (size_t i = 0; i < k.moves.size(); ++i) {
            const std::string& series = k.moves[i].first;
            const double delta = k.moves[i].second;
            EXPECT_TRUE(eventually([&] { return metric(series) - before[i] == delta; }))
                << k.what << ": " << series << " moved by " << metric(series) - before[i];
        }
    }
    std::string page;
    EXPECT_EQ(call("GET", "/metrics", &page), 200);
    EXPECT_NE(page.find("# TYPE gavo_fsync_duration_seconds histogram"), std::string::npos);
    EXPECT_NE(page.find("gavo_build_info{version=\""), std::string::npos);
    // The process_* metrics every exporter has, read from this very process.
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(metric("process_max_fds"), static_cast<double>(limit.rlim_cur));
    const double fds = metric("process_open_fds"), cpu = metric("process_cpu_seconds_total");
    EXPECT_GT(fds, 2);  // at least the standard ones and the listening sockets
    EXPECT_LT(fds, static_cast<double>(limit.rlim_cur));
    EXPECT_GT(metric("process_resident_memory_bytes"), 0);
    EXPECT_GE(metric("process_cpu_seconds_total"), cpu);  // a counter never goes back
    const double started = metric("process_start_time_seconds");
    EXPECT_GT(started, 0);
    EXPECT_LE(started, static_cast<double>(time(nullptr)));
    EXPECT_EQ(metric("process_start_time_seconds"), started);  // the same at every scrape
    // Prometheus's own linter (Debian package prometheus), where installed.
    if (system("command -v promtool > /dev/null") == 0) {
        write_file(dir_ + "metrics", page);
        EXPECT_EQ(system(("promtool check metrics < " + dir_ + "metrics").c_str()), 0) << page;
    }
}

// An open handle is listed with its connection; once that connection ends it is an
// orphan (connection null) that the admin port may drop, closing the file.
// A root that can no longer serve takes the node out of a load balancer's rotation.
TEST_F(AdminTest, HealthFailsOnceTheRootIsGone) {
    start_admin();
    std::string body;
    EXPECT_EQ(call("GET", "/healthz", &body), 200);
    remove_tree(root_);
    EXPECT_EQ(call("GET", "/healthz", &body), 503);
    EXPECT_EQ(body, "the root folder was removed\n");
}

TEST_F(AdminTest, HandlesAreListedAndAnOrphanCanBeDropped) {
    start_admin();
    auto holder = client();
    const int h = holder->open(0x0A, "held\"name.txt");
    ASSERT_GE(h, 0);
    const std::string n = std::to_string(h);
    std::string list;
    EXPECT_EQ(call("GET", "/handles", &list), 200);
    EXPECT_NE(list.find("\"handle\":" + n +
                        ",\"kind\":\"file\",\"name\":\"held\\\"name.txt\","
                        "\"access\":\"write\""),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("\"connection\":\"conn 1 127.0.0.1:"), std::string::npos) << list;
    EXPECT_EQ(call("POST", "/handles/close?handle=" + n), 409);  // its connection lives
    holder->close();
    ASSERT_TRUE(eventually([&] { return server_->connections() == 0; }));
    EXPECT_EQ(call("GET", "/handles", &list), 200);
    EXPECT_NE(list.find("\"connection\":null}"), std::string::npos) << list;
    const std::pair<std::string, int> steps[] = {{"handle=x", 400},
                                                 {"handle=" + n + "&host=127.0.0.2", 404},
                                                 {"handle=" + n + "&host=127.0.0.1", 200},
                                                 {"handle=" + n, 404}};
    for (const auto& [params, status] : steps) {
        EXPECT_EQ(call("POST", "/handles/close?" + params), status) << params;
    }
    EXPECT_TRUE(logged("dropping orphan handle " + n));
    EXPECT_EQ(server_->open_handles(), 0u);
    EXPECT_GE(client()->open(0x0A, "held\"name.txt"), 0);  // no longer held exclusively
}

// This machine's first IPv4 address that is not loopback; empty when it has none.
std::string outside_address() {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return {};
    std::string found;
    for (auto* a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text,
                  sizeof text);
        if (std::string(text).rfind("127.", 0) != 0) found = text;
    }
    freeifaddrs(list);
    return found;
}

// Refused at the accept: closed with no answer, as a request would have had its 403.
TEST_F(AdminTest, PeersNeitherLoopbackNorAllowedAreRefusedAtTheAccept) {
    const std::string outside = outside_address();
    if (outside.empty()) GTEST_SKIP() << "no address besides loopback";
    const std::pair<const char*, int> cases[] = {{nullptr, -1}, {"/32", 200}};
    for (const auto& [allow, status] : cases) {
        server_.reset();
        config_.allow.clear();
        if (allow) {
            ASSERT_TRUE(server::parse_cidr(outside + allow, &config_.allow.emplace_back()));
        }
        start_admin("0.0.0.0");
        std::string body;
        // Host names the outside address: the one the client reached, so accepted.
        EXPECT_EQ(call("GET", "/healthz", &body, outside.c_str()), status) << outside;
        EXPECT_EQ(call("GET", "/healthz", &body), 200);  // loopback always
        EXPECT_EQ(body, "ok\n");
    }
    EXPECT_TRUE(logged("neither loopback nor in the allow-list"));
}

// What a web page in the operator's browser could send (a foreign Host after DNS
// rebinding, a foreign Origin, a form's POST) is refused, and so is a missing or wrong
// token beyond /healthz.
TEST_F(AdminTest, RequestsAWebPageCouldSendAreRefused) {
    write_file(dir_ + "token", "s3cret\n");
    config_.admin_token_file = dir_ + "token";
    start_admin();
    const std::string here = "127.0.0.1:" + std::to_string(server_->admin_port());
    const httplib::Headers token = {{"Authorization", "Bearer s3cret"}};
    const auto with = [&](httplib::Headers more) {
        more.insert(token.begin(), token.end());
        return more;
    };
    const struct {
        const char* method;
        const char* path;
        httplib::Headers headers;
        int status;
    } cases[] = {
        {"GET", "/healthz", {}, 200},
        {"GET", "/healthz", {{"Host", "attacker.example:80"}}, 403},
        {"GET", "/handles", {}, 401},
        {"GET", "/handles", {{"Authorization", "Bearer s3cres"}}, 401},
        {"GET", "/handles", token, 200},
        {"GET", "/handles", with({{"Host", "localhost"}}), 200},
        {"GET", "/handles", with({{"Host", "[::1]:1"}}), 200},
        {"GET", "/handles", with({{"Host", "rebound.example:" + here.substr(10)}}), 403},
        {"GET", "/metrics", with({{"Origin", "http://" + here}}), 200},
        {"GET", "/metrics", with({{"Origin", "http://localhost:1"}}), 403},
        {"GET", "/metrics", with({{"Origin", "null"}}), 403},
        {"POST", "/handles/close?handle=1", token, 404},
        {"POST", "/handles/close?handle=1", {{"Content-Type", "application/json"}}, 401},
        {"POST", "/handles/close?handle=1", with({{"Content-Type", "text/plain"}}), 415},
        {"POST", "/handles/close?handle=1", with({{"Content-Type", "multipart/form-data; b=x"}}),
         415},
        {"POST", "/handles/close?handle=1", with({{"Content-Type", ""}}), 415},
        {"POST", "/handles/close",
         with({{"Content-Type", "application/x-www-form-urlencoded"}, {"X-Gavo-Admin", "1"}}), 400},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(call(k.method, k.path, nullptr, "127.0.0.1", k.headers), k.status)
            << k.method << " " << k.path << " " << k.headers.size() << " headers";
    }
    EXPECT_TRUE(logged(": refused GET '/healthz': Host 'attacker.example:80' is not this port's"));
    std::string page;
    EXPECT_EQ(call("GET", "/metrics", &page, "127.0.0.1", token), 200);
    EXPECT_NE(page.find("gavo_admin_refused_total{reason=\"token\"} 3"), std::string::npos);
}

// A token file that cannot serve stops the start rather than leaving the port open.
TEST_F(AdminTest, UnusableTokenFilesStopTheStart) {
    config_.admin_port = 0;
    config_.admin_token_file = dir_ + "token";
    server::Logger quiet([](const std::string&) {});
    for (const char* text : std::vector<const char*>{"", " \n", "two words\n", nullptr}) {
        if (text) write_file(config_.admin_token_file, text);
        else config_.admin_token_file = dir_ + "missing";
        server::Server s(config_, quiet);
        std::string error;
        EXPECT_FALSE(s.start(&error)) << (text ? text : "missing");
        EXPECT_NE(error.find("admin token file"), std::string::npos) << error;
    }
}

// At most kMaxConnections are held; one more is closed at its accept, and once they go
// the port serves again.
TEST_F(AdminTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    config_.admin_deadline = std::chrono::minutes(5);  // idle ones stay for the test
    start_admin();
    std::vector<std::unique_ptr<WireClient>> idle;
    for (int i = 0; i < server::AdminPort::kMaxConnections; ++i) {
        idle.push_back(std::make_unique<WireClient>());
        ASSERT_TRUE(idle.back()->connect(server_->admin_port()));
    }
    WireClient extra;
    ASSERT_TRUE(extra.connect(server_->admin_port()));
    EXPECT_TRUE(extra.closed_by_peer());
    EXPECT_TRUE(logged("admin connections held already"));
    idle.clear();
    EXPECT_TRUE(eventually([&] { return call("GET", "/healthz") == 200; }));
}

// As many clients as workers, each sending a byte now and then, are cut at the deadline:
// /healthz gets its answer while they trickle.
TEST_F(AdminTest, TricklingRequestsAreCutAtTheDeadline) {
    config_.admin_deadline = std::chrono::seconds(1);
    start_admin();
    std::vector<std::unique_ptr<WireClient>> slow;
    for (int i = 0; i < server::AdminPort::kWorkers; ++i) {
        slow.push_back(std::make_unique<WireClient>());
        ASSERT_TRUE(slow.back()->connect(server_->admin_port()));
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        for (int i = 0; i < 400 && !done; ++i) {
            for (auto& c : slow) c->send_raw("G");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    EXPECT_EQ(call("GET", "/healthz"), 200);
    for (auto& c : slow) EXPECT_TRUE(c->closed_by_peer());
    done = true;
    trickle.join();
    EXPECT_TRUE(logged("request not done within the admin deadline"));
}

}  // namespace
}  // namespace gavo::test
