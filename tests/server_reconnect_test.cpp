// The automatic reconnection against the real file server on loopback: a server that
// stops and comes back, one that stays down, one that comes back between the two
// channels' attempts, and two threads that report a send failure at once.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "net/netconn.h"
#include "runtime/report.h"
#include "runtime/state.h"
#include "server/tables/table_store.h"
#include "tests/library_server_fixture.h"
#include "tests/reconnect_messages.h"
#include "tests/server_process.h"

namespace gavo::test {
namespace {

class ServerReconnectTest : public LibraryServerTest {
protected:
    bool reported(const std::string& where, int code, const std::string& detail) const {
        return error_log().find("," + where + "," + std::to_string(code) + "," + detail + "\n") !=
               std::string::npos;
    }
    // Stores `text` as `name` on the server through the library.
    void store(const char* name, const std::string& text) {
        CNFile file;
        ASSERT_EQ(file.Open(name, 0x0A), 0);
        ASSERT_EQ(file.WriteEx(text.data(), static_cast<unsigned>(text.size())), text.size());
        file.Close();
    }
    // The first request after the server went away finds the peer gone: it fails with
    // the receive's own code (or -52 when the request itself could not be sent) and
    // leaves the connection marked broken.
    void break_archive_channel() {
        CNFile probe;
        int code = probe.Open("probe.txt", 1);
        EXPECT_TRUE(code == kNetPeerClosed || code == kNetRecvFailed || code == kNetSendFailed)
            << code;
    }
    // Number of times `part` occurs in the error log.
    size_t count_in_log(const std::string& part) const {
        std::string log = error_log();
        size_t n = 0;
        for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
        return n;
    }
};

TEST_F(ServerReconnectTest, AfterARestartTheNextRequestsReconnectAndSucceed) {
    start_remote();
    store("kept.txt", "before the restart");
    stop_server();
    start_server();
    break_archive_channel();
    const int connects = platform_->calls(Call::Connect);
    CNFile file;
    // The broken connection fails the next request at its first step: -100 reconnects.
    EXPECT_EQ(file.Open("kept.txt", 1), -100);
    EXPECT_TRUE(reported("OpenNet", -100, "1"));
    EXPECT_EQ(platform_->calls(Call::Connect) - connects, 2);
    EXPECT_NE(error_log().find(close_archive_message() + archive_success(0) + close_log_message() +
                               log_success(0)),
              std::string::npos);
    EXPECT_TRUE(platform_->sleeps().empty());
    // From here on everything works again, on both channels.
    ASSERT_EQ(file.Open("kept.txt", 1), 0);
    char buf[64] = {};
    EXPECT_EQ(file.Read(buf, sizeof buf), 18u);
    EXPECT_EQ(std::string(buf), "before the restart");
    file.Close();
    store("after.txt", "after");
    EXPECT_EQ(CNFile::IsExist("after.txt"), 1);
    CNFile table;
    EXPECT_EQ(table.Open("t1", 0x100), -102);  // the server's answer: no such table declared
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    EXPECT_TRUE(eventually([&] { return server_connections() == 2; }));
}

// The sh block of docs/security.md marked `mark`, run in `dir`: 0 when every command
// succeeded.
int run_documented(const std::string& mark, const std::string& dir) {
    std::ifstream in(std::string(GAVO_SOURCE_DIR) + "/docs/security.md");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t start = text.find("```sh\n", text.find("<!-- ci: " + mark + " -->")) + 6;
    const std::string block = text.substr(start, text.find("```", start) - start);
    return std::system(
        ("mkdir -p " + dir + " && cd " + dir + " && (set -e\n" + block + ") > /dev/null 2>&1")
            .c_str());
}

// A host with the certificates made as docs/security.md says: files and records over TLS
// with client certificates, a restart that the next requests survive with new handshakes
// (a new server process has new ticket keys: nothing to resume), and a server that stays
// down, which falls back to local files as in plain text.
TEST_F(ServerReconnectTest, TlsHostStoresReconnectsAfterARestartAndFallsBack) {
    const std::string pki = dir_ + "pki/";
    ASSERT_EQ(run_documented("certificates", pki), 0);
    use_tls({pki + "ca.pem", pki + "server.pem", pki + "server.key"},
            {pki + "ca.pem", pki + "host-a.pem", pki + "host-a.key"}, "files.example.net");
    write_file(dir_ + "tables.conf", "events = line\n");
    config_.tables_file = dir_ + "tables.conf";
    start_remote();
    store("kept.txt", "over TLS");
    // Files around the sizes where records are grouped into one send (a buffer of four
    // records, a reply chunk of 64 KiB and its count) and where a transfer goes straight
    // between the caller's memory and the session (a record, a buffer) come back byte for
    // byte, read whole or in pieces that end inside records.
    const size_t sizes[] = {16383, 16384 + 2, 65535, 65536 + 4, 5 * 65536 + 3, (1 << 20) + 7};
    for (const size_t size : sizes) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 251);
        store("bulk.bin", data);
        for (const size_t piece : {size + 1, size_t{20000}, size_t{4099}}) {
            CNFile file;
            ASSERT_EQ(file.Open("bulk.bin", 1), 0);
            std::string back(size + piece, '\0');
            size_t got = 0;
            for (unsigned n; (n = file.Read(&back[got], static_cast<unsigned>(piece))) > 0;)
                got += n;
            EXPECT_EQ(got, size) << size << " in pieces of " << piece;
            back.resize(size);
            EXPECT_TRUE(back == data) << size << " in pieces of " << piece;
        }
    }
    CNFile table;
    ASSERT_EQ(table.Open("events", 0x100), 0);
    EXPECT_EQ(table.WriteEx("first\n", 6), 6u);
    EXPECT_EQ(read_file(root_ + "kept.txt"), "over TLS");
    EXPECT_NE(trace_log().find("net_tls TLSv1.3"), std::string::npos) << trace_log();
    stop_server();
    start_server();
    break_archive_channel();
    CNFile file;
    EXPECT_EQ(file.Open("kept.txt", 1), -100);
    ASSERT_EQ(file.Open("kept.txt", 1), 0);
    char buf[16] = {};
    EXPECT_EQ(file.Read(buf, sizeof buf), 8u);
    file.Close();
    stop_server();
    break_archive_channel();
    EXPECT_EQ(file.Open("sub/a.txt", 0x0A), -100);
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_NE(error_log().find(fallback_message()), std::string::npos);
}

TEST_F(ServerReconnectTest, ServerBackDuringThePausesGivesTheAttemptNumber) {
    start_remote();
    stop_server();
    break_archive_channel();
    // The server comes back during the third pause: the fourth attempt (number 3) connects.
    platform_->on_sleep([this](size_t pauses) {
        if (pauses == 3) start_server();
    });
    EXPECT_EQ(CNFile::Remove("x.txt"), -100);
    EXPECT_EQ(platform_->sleeps(), std::vector<int>(3, 300));
    EXPECT_NE(error_log().find(archive_success(3) + close_log_message() + log_success(0)),
              std::string::npos);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    store("x.txt", "x");
    EXPECT_EQ(CNFile::Remove("x.txt"), 0);
}

TEST_F(ServerReconnectTest, ServerThatStaysDownFallsBackAndOpensGoToTheLocalDisk) {
    start_remote();
    stop_server();
    break_archive_channel();
    const int connects = platform_->calls(Call::Connect);
    CNFile file;
    EXPECT_EQ(file.Open("sub/a.txt", 0x0A), -100);
    EXPECT_EQ(platform_->calls(Call::Connect) - connects, 20);
    EXPECT_EQ(platform_->sleeps(), std::vector<int>(20, 300));
    std::string log = error_log();
    EXPECT_NE(log.find(close_archive_message() + close_log_message() + fallback_message()),
              std::string::npos);
    EXPECT_EQ(log.find(gbk("次自动重连")), std::string::npos);  // no success line
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_EQ(gavo::lib::archive_conn, nullptr);
    EXPECT_EQ(gavo::lib::log_conn, nullptr);
    // Working mode 1 from now on, under BASE_DIR.
    ASSERT_EQ(file.Open("sub/a.txt", 0x0A), 0);
    EXPECT_EQ(file.WriteEx("local", 5), 5u);
    file.Close();
    EXPECT_EQ(read_file(local_ + "sub/a.txt"), "local");
    EXPECT_EQ(CNFile::IsExist("sub/a.txt"), 1);
    CNFile table;
    EXPECT_EQ(table.Open("t1", 0x100), -1);  // no tables without a server
}

TEST_F(ServerReconnectTest, OnlyTheLogChannelComingBackStillFallsBack) {
    start_remote();
    stop_server();
    break_archive_channel();
    // Back after the archive channel's tenth failed attempt, before the log channel's.
    platform_->on_sleep([this](size_t pauses) {
        if (pauses == 10) start_server();
    });
    EXPECT_EQ(CNFile::IsExist("a.txt"), -100);
    EXPECT_EQ(platform_->sleeps().size(), 10u);
    EXPECT_NE(error_log().find(close_log_message() + log_success(0) + fallback_message()),
              std::string::npos);
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_EQ(gavo::lib::archive_conn, nullptr);
    EXPECT_NE(gavo::lib::log_conn, nullptr);
    EXPECT_TRUE(eventually([&] { return server_connections() == 1; }));
    EXPECT_EQ(CNFile::IsExist("a.txt"), 0);  // asked of the local disk now
}

TEST_F(ServerReconnectTest, TwoThreadsReportingSendFailuresReconnectOneAfterTheOther) {
    start_remote();
    const int connects = platform_->calls(Call::Connect);
    std::atomic<int> ready{0};
    int results[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < 2) std::this_thread::yield();
            results[t] = NFile_LogError(t == 0 ? "ReadNet" : "WriteTab", -100, "1");
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(results[0], -100);
    EXPECT_EQ(results[1], -100);
    // Each reconnection ran whole under both locks: two complete, unbroken sequences of
    // its messages. The other thread's report line, written without the channel locks,
    // may stand between them and is left out.
    std::string undated;
    std::string log = error_log();
    for (size_t at = 0, end; at < log.size(); at = end + 1) {
        end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        if (log[at] < '0' || log[at] > '9') undated += log.substr(at, end + 1 - at);
    }
    const std::string sequence =
        close_archive_message() + archive_success(0) + close_log_message() + log_success(0);
    EXPECT_NE(undated.find(sequence + sequence), std::string::npos);
    EXPECT_EQ(platform_->calls(Call::Connect) - connects, 4);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    EXPECT_TRUE(eventually([&] { return server_connections() == 2; }));
    store("after.txt", "ok");
    EXPECT_EQ(CNFile::IsExist("after.txt"), 1);
}

TEST_F(ServerReconnectTest, TwoThreadsWhoseRequestsBreakWithTheServerDownBothFallBack) {
    start_remote();
    stop_server();
    break_archive_channel();
    std::atomic<int> ready{0};
    int results[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < 2) std::this_thread::yield();
            CNFile file;
            results[t] = t == 0 ? file.Open("a.txt", 1) : file.Open("t1", 0x100);
        });
    }
    for (auto& th : threads) th.join();
    // The archive request fails at its first step (-100); the log-channel request finds
    // its peer gone (its own code), or fails at its first step too when the other
    // thread's reconnection dropped its connection first, or is refused as a table open
    // in working mode 1 when it starts after the fall-back.
    EXPECT_EQ(results[0], -100);
    EXPECT_TRUE(results[1] == -100 || results[1] == kNetPeerClosed ||
                results[1] == kNetRecvFailed || results[1] == kNetSendFailed || results[1] == -1)
        << results[1];
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_EQ(gavo::lib::archive_conn, nullptr);
    // fsmode is read before the locks: a -100 reported after the other thread fell back
    // writes only the note; one reported before it runs a reconnection of its own.
    const size_t failures = results[1] == -100 ? 2u : 1u;
    const size_t fallbacks = count_in_log(fallback_message());
    EXPECT_GE(fallbacks, 1u);
    EXPECT_EQ(fallbacks + count_in_log(gbk("没有自动重连") + ",fsmode =1 \n,"), failures);
}

TEST_F(ServerReconnectTest, CloseAfterAFallBackKeepsTheConnectionsButDestroysTheLocks) {
    start_remote();
    stop_server();
    break_archive_channel();
    platform_->on_sleep([this](size_t pauses) {
        if (pauses == 10) start_server();  // only the log channel comes back
    });
    CNFile::Remove("a.txt");
    ASSERT_EQ(gavo::lib::fsmode.load(), 1);
    ASSERT_NE(gavo::lib::log_conn, nullptr);
    NetConn* kept = gavo::lib::log_conn;
    const int closes = platform_->calls(Call::CloseSocket);
    NFile_Close();
    EXPECT_EQ(gavo::lib::log_conn, kept);
    EXPECT_EQ(platform_->calls(Call::CloseSocket), closes);
    EXPECT_EQ(gavo::lib::archive_lock, nullptr);
    EXPECT_EQ(gavo::lib::log_lock, nullptr);
    EXPECT_TRUE(eventually([&] { return server_connections() == 1; }));
}

TEST_F(ServerReconnectTest, StartingAgainAfterAFallBackDoesNotLeakTheKeptLogConnection) {
    start_remote();
    stop_server();
    break_archive_channel();
    platform_->on_sleep([this](size_t pauses) {
        if (pauses == 10) start_server();
    });
    CNFile::Remove("a.txt");
    ASSERT_NE(gavo::lib::log_conn, nullptr);
    NFile_Close();
    const int closes = platform_->calls(Call::CloseSocket);
    ASSERT_EQ(NFile_Init(), 1);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    // The connection kept across the shutdown is closed before the new one replaces it.
    EXPECT_EQ(platform_->calls(Call::CloseSocket) - closes, 1);
    EXPECT_TRUE(eventually([&] { return server_connections() == 2; }));
    NFile_Close();
    EXPECT_TRUE(eventually([&] { return server_connections() == 0; }));
}

TEST_F(ServerReconnectTest, ObjectsOpenedOnTheServerFailInAnOrderlyWayAfterAFallBack) {
    start_remote();
    CNFileException record;
    ProbedFile thrown, returned, table;
    ASSERT_EQ(thrown.Open("a.txt", 0x0B, &record), 0);
    ASSERT_EQ(returned.Open("b.txt", 0x0B), 0);
    ASSERT_EQ(table.Open("t1", 0x100), -102);  // refused by the server (undeclared), flags kept
    stop_server();
    break_archive_channel();
    platform_->fail(Call::Connect, 1, ECONNREFUSED, true);
    EXPECT_EQ(CNFile::Remove("c.txt"), -100);
    ASSERT_EQ(gavo::lib::fsmode.load(), 1);

    char buf[8];
    EXPECT_EQ(returned.Read(buf, sizeof buf), 0u);
    EXPECT_EQ(returned.m_nLastErrCode, -1);
    EXPECT_EQ(returned.WriteEx("x", 1), 0u);
    EXPECT_EQ(table.WriteEx("x", 1), 0u);
    EXPECT_EQ(table.m_nLastErrCode, -1);
    try {
        thrown.Write("x", 1);
        ADD_FAILURE() << "nothing thrown";
    } catch (CNFileException* e) {
        EXPECT_EQ(e, &record);
        EXPECT_EQ(record.GetErrCode(), -1);
    }
    EXPECT_TRUE(reported("Read", -1, gbk("本地文件未打开")));
    // Close clears the objects without a local file and without a server request.
    for (ProbedFile* f : {&thrown, &returned, &table}) {
        f->Close();
        EXPECT_EQ(f->IsOpened(), 0);
        EXPECT_EQ(f->m_nHandle, -1);
        EXPECT_EQ(f->m_nOpenFlags, 0u);
        EXPECT_STREQ(f->GetFilePathname(), "");
    }
    EXPECT_EQ(read_file(local_ + "a.txt"), "");
    EXPECT_EQ(CNFile::IsExist("a.txt"), 0);
}

// An object kept open across a restart of the server process holds a number that the new
// server has not handed out: its write fails and its close shuts nothing, and the object
// opened after the restart keeps exactly its own data.
TEST_F(ServerReconnectTest, ObjectsFromBeforeARestartNeverReachObjectsOpenedAfterIt) {
    write_file(dir_ + "tables.conf", "* = line\n");
    const std::pair<unsigned, int> cases[] = {
        {0x0A, SIGTERM}, {0x0A, SIGKILL}, {0x100, SIGTERM}, {0x100, SIGKILL}};
    int port = 0;  // the first start takes a free port, the others keep it
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [flags, sig] = cases[i];
        const std::string n = std::to_string(i), old_name = "old" + n, new_name = "new" + n;
        auto args = [&] {
            return std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(port),
                                            "--root",   root_,
                                            "--tables", dir_ + "tables.conf"};
        };
        ServerProcess before, after;
        ASSERT_TRUE(before.start(args(), dir_ + "log-before" + n));
        port = before.port();
        write_mode_ini(2, port);
        ASSERT_EQ(NFile_Init(), 1);
        ProbedFile old, fresh;
        ASSERT_EQ(old.Open(old_name.c_str(), flags), 0);
        before.signal_and_wait(sig);
        ASSERT_TRUE(after.start(args(), dir_ + "log-after" + n));
        break_archive_channel();
        EXPECT_EQ(CNFile::IsExist("x"), -100);  // reconnects both channels
        ASSERT_EQ(fresh.Open(new_name.c_str(), flags), 0);
        EXPECT_EQ(old.WriteEx("meant-for-old\n", 14), 0u) << n;
        old.Close();
        EXPECT_EQ(fresh.WriteEx("mine\n", 5), 5u) << n << ": closed by the stale close?";
        fresh.Close();
        NFile_Close();
        EXPECT_EQ(after.signal_and_wait(SIGTERM), 0);
        EXPECT_NE(read_file(dir_ + "log-after" + n).find("unknown handle"), std::string::npos);
        if (flags == 0x0A) {
            EXPECT_EQ(old.m_nLastErrCode, -102) << n;
            EXPECT_EQ(read_file(root_ + new_name), "mine\n") << n;
            continue;
        }
        auto store = server::make_sqlite_store(dir_ + "root.state/tables.db", false);
        server::StoreError error;
        ASSERT_TRUE(store->open(&error)) << error.text;
        for (const std::string& table : {old_name, new_name}) {
            std::string stored;
            auto add = [&](const server::StoredRecord& r) { stored += r.bytes + ";"; };
            EXPECT_TRUE(store->scan(table, add, &error)) << error.text;
            EXPECT_EQ(stored, table == new_name ? "mine;" : "") << n << " " << table;
        }
    }
}

}  // namespace
}  // namespace gavo::test
