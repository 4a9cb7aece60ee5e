// Running the server as a service: the config file, SIGHUP's reload and log reopening,
// and the readiness datagrams.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>

#include "server/check_config.h"
#include "server/options.h"
#include "server/tables/tables.h"
#include "tests/server_fixture.h"
#include "tests/server_process.h"

namespace gavo::test {
namespace {

using OpsTest = ServerTest;

void replace_all(std::string* text, const std::string& from, const std::string& to) {
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) {
        text->replace(at, from.size(), to);
        at += to.size();
    }
}

TEST_F(OpsTest, ConfigFileKeysValuesAndCommandLineOverride) {
    const std::string good =
        "# comment\n\nlisten = 10.1.2.3:7200\nroot = /r   # after a blank\n"
        "allow = 10.0.0.0/8\nallow = ::1\nno-sync = true\nread-only = false\n"
        "log-level = debug\nhandle-grace = 9\n";
    struct Case {
        std::string file;
        std::vector<std::string> args;
        std::string error;  // expected in the message; empty: accepted
    } cases[] = {
        {good, {}, ""},
        {good, {"--allow", "127.0.0.1", "--root", "/cmd"}, ""},
        {"root = /r\n\nrot = /x\n", {}, "conf:3: unknown key 'rot'"},
        {"root = /r\nmax-handles = many\n", {}, "conf:2: bad number 'many'"},
        {"max-handles = 0\n", {"--max-handles", "5"}, "conf:1: bad number '0'"},
        {"no-sync = yes\n", {}, "conf:1: 'no-sync' takes true or false, not 'yes'"},
        {"root /r\n", {}, "conf:1: expected KEY = VALUE"},
        {"config = x\n", {}, "conf:1: unknown key 'config'"},
        {"root =\n", {}, "conf:1: 'root' needs a value"},
        {"log-level = loud\n", {}, "conf:1: bad value 'loud'"},
    };
    for (const Case& c : cases) {
        write_file(dir_ + "conf", c.file);
        std::vector<std::string> args = {"gavo-server", "--config", dir_ + "conf"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        server::Settings s;
        std::string error;
        const auto r =
            server::parse_settings(static_cast<int>(argv.size()), argv.data(), &s, &error);
        SCOPED_TRACE(c.file);
        if (!c.error.empty()) {
            EXPECT_EQ(r, server::ParseResult::kError);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        ASSERT_EQ(r, server::ParseResult::kRun) << error;
        const bool overridden = !c.args.empty();
        EXPECT_EQ(s.config.listen_host, "10.1.2.3");
        EXPECT_EQ(s.config.listen_port, 7200);
        EXPECT_EQ(s.config.root, overridden ? "/cmd" : "/r");
        EXPECT_EQ(s.config.allow.size(), overridden ? 1u : 2u);
        EXPECT_EQ(s.given["allow"].front(), overridden ? "127.0.0.1" : "10.0.0.0/8");
        EXPECT_FALSE(s.config.sync);
        EXPECT_FALSE(s.config.read_only);
        EXPECT_EQ(s.config.log_level, server::LogLevel::kDebug);
        EXPECT_EQ(s.config.handle_grace, std::chrono::seconds(9));
    }
}

// --check-config lists every problem a start would meet, each naming its file and line
// or its option, creates nothing, and takes the state folder and port of a server that
// runs on them as fine.
TEST_F(OpsTest, CheckConfigListsEveryProblemAndCreatesNothing) {
    start();  // holds root_'s default state folder and its port
    write_file(dir_ + "tables", "events = line\n");
    write_file(dir_ + "bad-tables", "events = line\nbroken\n");
    write_file(dir_ + "file", "x");
    const int busy = server_->port();
    const std::string running = "listen = 127.0.0.1:" + std::to_string(busy) + "\n";
    struct Case {
        std::string conf;
        std::vector<std::string> args;
        std::vector<std::string> problems;  // each the start of one line, all of them
        std::string serves;                 // in what it would serve
    } cases[] = {
        {running + "root = " + root_ + "\ntables = " + dir_ + "tables\n",
         {},
         {},
         "in use by the running server with process id"},
        {"listen = :0\nrot = x\nmax-handles = many\n",
         {"--allow", "nope"},
         {"conf:2: unknown key 'rot'", "conf:3: bad number 'many'", "--allow: bad value 'nope'"},
         ""},
        {running + "root = " + dir_ + "new/root\nlog-file = " + dir_ + "file/log\n",
         {"--tables", dir_ + "bad-tables"},
         {"conf:1: cannot listen on 127.0.0.1:" + std::to_string(busy),
          dir_ + "bad-tables:2: ", "conf:3: cannot open the log file"},
         "would serve " + dir_ + "new/root on 127.0.0.1:"},
        {"listen = :0\nroot = " + dir_ + "file\ntls-cert = " + dir_ + "none\ntls-key = x\n",
         {},
         {"conf:3: cannot read the TLS", "conf:2: " + dir_ + "file is not a folder"},
         ""},
        {"listen = :0\n",
         {"--root", dir_ + "new", "--state", dir_ + "new/s"},
         {"--state: the state folder"},
         ""},
    };
    for (const Case& c : cases) {
        write_file(dir_ + "conf", c.conf);
        std::vector<std::string> args = {"gavo-server", "--config", dir_ + "conf",
                                         "--check-config"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        server::Settings s;
        std::string error;
        server::ConfigCheck check;
        if (server::parse_settings(static_cast<int>(argv.size()), argv.data(), &s, &error) ==
            server::ParseResult::kRun) {
            check = server::check_config(s);
        } else {
            for (size_t at = 0; at < error.size(); at = error.find('\n', at) + 1) {
                check.problems.push_back(error.substr(at, error.find('\n', at) - at));
                if (error.find('\n', at) == std::string::npos) break;
            }
        }
        SCOPED_TRACE(c.conf);
        EXPECT_TRUE(s.check_only);
        EXPECT_EQ(check.problems.size(), c.problems.size())
            << ::testing::PrintToString(check.problems);
        for (std::string want : c.problems) {
            if (want.rfind("conf:", 0) == 0) want = dir_ + want;
            EXPECT_TRUE(std::any_of(check.problems.begin(), check.problems.end(),
                                    [&](const std::string& p) { return p.rfind(want, 0) == 0; }))
                << want;
        }
        std::string serves;
        for (const std::string& line : check.serves) serves += line + "\n";
        EXPECT_NE(serves.find(c.serves), std::string::npos) << serves;
    }
    EXPECT_FALSE(exists_on_disk(dir_ + "new"));
    EXPECT_FALSE(exists_on_disk(dir_ + "file.state"));
}

// A reload may add and drop tables but never change the framing of a name that both
// declarations frame, whether declared or by the default.
TEST_F(OpsTest, ReloadedTablesNeverChangeAFraming) {
    const struct {
        const char* was;
        const char* will;
        bool refused;
    } cases[] = {
        {"a = line", "a = line\nb = fixed:4", false},
        {"a = line\nb = fixed:4", "b = fixed:4", false},
        {"* = line", "a = line\n* = line", false},
        {"a = line", "a = fixed:4", true},
        {"* = line", "* = fixed:8", true},
        {"* = line:100", "a = fixed:4", true},
        {"a = fixed:4\n* = line", "* = line", true},
        {"a = fixed:4", "* = line", true},
    };
    for (const auto& c : cases) {
        server::TableCatalog was, will;
        std::string error;
        ASSERT_TRUE(was.parse(c.was, &error) && will.parse(c.will, &error)) << error;
        EXPECT_EQ(!was.framing_change(will).empty(), c.refused) << c.was << " -> " << c.will;
    }
}

// The example config, its folders moved into the test's folder, run as the service would.
TEST_F(OpsTest, SighupReopensTheLogAndReloadsOrKeepsTheOldSettings) {
    std::string example = read_file(GAVO_SOURCE_DIR "/docs/server.conf.example");
    replace_all(&example, "/srv/gavo", root_);
    replace_all(&example, "/var/lib/gavo", dir_ + "state");
    replace_all(&example, "127.0.0.1:7100", "127.0.0.1:0");
    const std::string conf = example + "log-file = " + dir_ + "log\ntables = " + dir_ + "tables\n";
    write_file(dir_ + "tables", "events = line\n");
    write_file(dir_ + "conf", conf + "allow = 127.0.0.1\n");
    // The readiness socket, in the abstract namespace as systemd may name it.
    const int notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string name = "@gavo-ops-test-" + std::to_string(getpid());
    memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
    ASSERT_EQ(bind(notify_fd, reinterpret_cast<sockaddr*>(&addr),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
              0);
    const timeval safety{20, 0};
    setsockopt(notify_fd, SOL_SOCKET, SO_RCVTIMEO, &safety, sizeof safety);
    const auto notice = [&] {
        char buf[256];
        const ssize_t n = recv(notify_fd, buf, sizeof buf, 0);
        return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    };
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    ServerProcess p;
    ASSERT_TRUE(p.start({"--config", dir_ + "conf"}, dir_ + "log"));
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(notice(), "READY=1");
    const auto reload = [&] {
        p.send_signal(SIGHUP);
        EXPECT_EQ(notice().rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u);
        EXPECT_EQ(notice(), "READY=1");  // the reload is over
    };
    WireClient kept;
    ASSERT_TRUE(kept.connect(p.port()));
    const int events = kept.table_open("events");
    ASSERT_GE(events, 0);

    // A log rotation and a good reload: a new table, another allow-list, debug lines.
    ASSERT_EQ(rename((dir_ + "log").c_str(), (dir_ + "log.1").c_str()), 0);
    write_file(dir_ + "tables", "events = line\nmore = fixed:4\n");
    write_file(dir_ + "conf", conf + "allow = 10.0.0.0/8\nlog-level = debug\n");
    reload();
    EXPECT_NE(read_file(dir_ + "log").find("reloaded: 1 allow-list entries, tables: 2 declared"),
              std::string::npos);
    EXPECT_GE(kept.table_open("more"), 0);
    EXPECT_NE(read_file(dir_ + "log").find(": table open 'more'"), std::string::npos);
    EXPECT_EQ(read_file(dir_ + "log.1").find(": table open 'events'"), std::string::npos);

    // Bad new files: each refused with a log line, everything above kept.
    const std::string good_tables = "events = line\nmore = fixed:4\n";
    const std::pair<std::string, std::string> bad[] = {
        {conf + "allow = 127.0.0.1\n", "events = fixed:4\nmore = fixed:4\n"},  // framing change
        {conf + "allow = 127.0.0.1\n", "events = wrong\n"},
        {conf + "allow = 127.0.0.1\nallow = nonsense\n", good_tables},
        {conf + "allow = 127.0.0.1\nalow = 1\n", good_tables},
    };
    for (size_t i = 0; i < std::size(bad); ++i) {
        write_file(dir_ + "conf", bad[i].first);
        write_file(dir_ + "tables", bad[i].second);
        reload();
        const std::string log = read_file(dir_ + "log");
        size_t refusals = 0;
        for (size_t at = log.find("reload refused"); at != std::string::npos;
             at = log.find("reload refused", at + 1)) {
            ++refusals;
        }
        EXPECT_EQ(refusals, i + 1) << bad[i].first;
        EXPECT_EQ(kept.table_write(events, "a line\n"), 7);  // still line framing
        EXPECT_GE(kept.table_open("more"), 0);
        WireClient refused;
        ASSERT_TRUE(refused.connect(p.port()));
        EXPECT_TRUE(refused.closed_by_peer());  // 127.0.0.1 still not allowed
    }
    EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
    EXPECT_EQ(notice(), "STOPPING=1");
    close(notify_fd);
}

}  // namespace
}  // namespace gavo::test
