// The automatic reconnection after a send failure (code -100) in working mode 2: the
// attempts and pauses are counted through the platform seam, the messages compared
// byte for byte in code page 936.
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <thread>
#include <tuple>

#include "net/messages.h"
#include "net/netconn.h"
#include "runtime/report.h"
#include "runtime/state.h"
#include "tests/reconnect_messages.h"
#include "tests/remote_fixture.h"

namespace gavo::test {
namespace {

const std::string kCloseArchive = close_archive_message();
const std::string kCloseLog = close_log_message();
const std::string kFallback = fallback_message();

class ReconnectTest : public RemoteTest {
protected:
    // Starts both channels and notes where the log and the connect count stood.
    void start_and_mark() {
        start();
        mark();
    }
    void mark() {
        platform_->set_time(eight_five_nine());
        log_mark_ = error_log().size();
        connects_mark_ = platform_->calls(Call::Connect);
    }
    // What the error log gained since the mark.
    std::string new_log() const { return error_log().substr(log_mark_); }
    int new_connects() const { return platform_->calls(Call::Connect) - connects_mark_; }
    // A report line at the fixed moment.
    static std::string report(const std::string& where, int code, const std::string& detail) {
        return "2026-3-3 8:5:9," + where + "," + std::to_string(code) + "," + detail + "\n";
    }

    size_t log_mark_ = 0;
    int connects_mark_ = 0;
};

TEST_F(ReconnectTest, BothChannelsReopenAtTheFirstAttemptWithoutAPause) {
    start_and_mark();
    EXPECT_EQ(NFile_LogError("OpenNet", -100, "1"), -100);
    EXPECT_EQ(new_log(), kCloseArchive + archive_success(0) + kCloseLog + log_success(0) +
                             report("OpenNet", -100, "1"));
    EXPECT_EQ(new_connects(), 2);
    EXPECT_TRUE(platform_->sleeps().empty());
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    EXPECT_NE(gavo::lib::archive_conn, nullptr);
    EXPECT_NE(gavo::lib::log_conn, nullptr);
    EXPECT_EQ(server_.wait_accepted(4), 4);
    EXPECT_EQ(server_.received(0, 1), "");  // the old connections were closed
    EXPECT_EQ(server_.received(1, 1), "");
}

TEST_F(ReconnectTest, ArchiveReopeningAtTheTenthAttemptCarriesNineAfterNinePauses) {
    start_and_mark();
    platform_->fail_run(Call::Connect, 1, 9, ECONNREFUSED);
    NFile_LogError("ReadNet", -100, "2");
    EXPECT_EQ(new_log(), kCloseArchive + archive_success(9) + kCloseLog + log_success(0) +
                             report("ReadNet", -100, "2"));
    EXPECT_EQ(new_connects(), 11);
    EXPECT_EQ(platform_->sleeps(), std::vector<int>(9, 300));
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
}

TEST_F(ReconnectTest, UnreachableArchiveFallsBackToModeOneKeepingTheLogChannel) {
    start_and_mark();
    platform_->fail_run(Call::Connect, 1, 10, ECONNREFUSED);
    NFile_LogError("WriteNet", -100, "1");
    EXPECT_EQ(new_log(), kCloseArchive + kCloseLog + log_success(0) + kFallback +
                             report("WriteNet", -100, "1"));
    EXPECT_EQ(new_connects(), 11);
    EXPECT_EQ(platform_->sleeps(), std::vector<int>(10, 300));
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_EQ(gavo::lib::archive_conn, nullptr);
    EXPECT_NE(gavo::lib::log_conn, nullptr);
}

TEST_F(ReconnectTest, NeitherChannelReachableMakesTwentyAttemptsAndFallsBack) {
    start_and_mark();
    platform_->fail(Call::Connect, 1, ECONNREFUSED, true);
    NFile_LogError("OpenNet", -100, "3");
    EXPECT_EQ(new_log(), kCloseArchive + kCloseLog + kFallback + report("OpenNet", -100, "3"));
    EXPECT_EQ(new_connects(), 20);
    EXPECT_EQ(platform_->sleeps(), std::vector<int>(20, 300));
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_EQ(gavo::lib::archive_conn, nullptr);
    EXPECT_EQ(gavo::lib::log_conn, nullptr);
    // Every failed attempt closed its socket.
    EXPECT_EQ(platform_->calls(Call::Socket), platform_->calls(Call::CloseSocket));
}

TEST_F(ReconnectTest, AFallenBackLibraryOnlyWritesTheNoReconnectionNote) {
    start_and_mark();
    platform_->fail(Call::Connect, 1, ECONNREFUSED, true);
    NFile_LogError("OpenNet", -100, "1");
    mark();
    EXPECT_EQ(NFile_LogError("OpenNet", -100, "1"), -100);
    EXPECT_EQ(new_log(), gbk("没有自动重连") + ",fsmode =1 \n," + report("OpenNet", -100, "1"));
    EXPECT_EQ(new_connects(), 0);
    EXPECT_EQ(platform_->sleeps().size(), 20u);
}

TEST_F(ReconnectTest, AChannelWithoutConnectionGetsNoClosingMessage) {
    // A start-up whose log channel failed keeps the archive connection; the next
    // NFile_Init runs in working mode 2 without a log connection.
    write_remote_ini(server_.port_text());
    platform_->fail(Call::Connect, 2, ECONNREFUSED);
    ASSERT_EQ(NFile_Init(), 0);
    ASSERT_EQ(NFile_Init(), 1);
    ASSERT_EQ(gavo::lib::log_conn, nullptr);
    mark();
    CNFile table;
    EXPECT_EQ(table.Open("t1", 0x100), -100);  // fails at its first step on no connection
    std::string log = new_log();
    EXPECT_NE(log.find(kCloseArchive + archive_success(0) + log_success(0) +
                       report("OpenTab", -100, "1")),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(kCloseLog), std::string::npos);
    EXPECT_EQ(new_connects(), 2);
    EXPECT_NE(gavo::lib::log_conn, nullptr);
}

TEST_F(ReconnectTest, ServerErrorCodeMinus100StartsAReconnectionOtherCodesDoNot) {
    server_.reply(0, 12, be16(-101));
    server_.reply(0, 12, be16(-100));
    start_and_mark();
    CNFile file;
    EXPECT_EQ(file.Open("a.txt", 1), -101);
    EXPECT_EQ(new_connects(), 0);
    EXPECT_EQ(file.Open("a.txt", 1), -100);
    EXPECT_EQ(new_connects(), 2);
    EXPECT_NE(new_log().find(log_success(0) + report("OpenNet", -100, "a.txt")), std::string::npos);
}

TEST_F(ReconnectTest, RequestsAfterTheReconnectionUseTheNewConnectionsFromAnyThread) {
    server_.reply(2, 12, be16(7));  // the new archive channel: open, close
    server_.reply(2, 4, be16(0));
    server_.reply(3, 7, be16(4));  // the new log channel: open, close
    server_.reply(3, 4, be16(0));
    start_and_mark();
    NFile_LogError("OpenNet", -100, "1");
    // Both locks were released: other threads get through on the new connections.
    int archive_result = 1, log_result = 1;
    std::thread archive_user([&] {
        CNFile file;
        archive_result = file.Open("a.txt", 1);
    });
    std::thread log_user([&] {
        CNFile table;
        log_result = table.Open("t1", 0x100);
    });
    archive_user.join();
    log_user.join();
    EXPECT_EQ(archive_result, 0);
    EXPECT_EQ(log_result, 0);
    EXPECT_EQ(server_.received(2, 16), open_request(1, 1, "a.txt") + be16(2) + be16(7));
}

TEST_F(ReconnectTest, ReconnectionRunsButWritesNothingWhileTheErrorLogIsClosed) {
    write_remote_ini(server_.port_text());
    platform_->fail(Call::Fopen, 1, EACCES);  // the error log cannot be opened
    ASSERT_EQ(NFile_Init(), 1);
    mark();
    platform_->fail(Call::Connect, 1, ECONNREFUSED, true);
    EXPECT_EQ(NFile_LogError("OpenNet", -100, "1"), -100);
    EXPECT_EQ(new_connects(), 20);
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_EQ(error_log(), "");
}

// A server that accepts and then stops answering: with REPLY_TIMEOUT the waiting request,
// or the drain of an over-long reply, fails as a failed receive; the broken channel makes
// the next request fail (-100) and reconnect, and the one after reaches the new server.
// Both channels keep alive and bound their receives, at start-up and after reconnecting.
TEST_F(ReconnectTest, SilentServerFailsTheRequestAfterTheReplyTimeOutThenReconnects) {
    const int options[][3] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                              {IPPROTO_TCP, TCP_KEEPIDLE, 60},
                              {IPPROTO_TCP, TCP_KEEPINTVL, 10},
                              {IPPROTO_TCP, TCP_KEEPCNT, 6},
                              {IPPROTO_TCP, TCP_USER_TIMEOUT, 120000}};
    auto check_options = [&] {
        for (const NetConn* conn : {gavo::lib::archive_conn, gavo::lib::log_conn}) {
            for (const auto& o : options) {
                int value = 0;
                socklen_t len = sizeof value;
                ::getsockopt(conn->sockfd, o[0], o[1], &value, &len);
                EXPECT_EQ(value, o[2]) << o[1];
            }
            struct timeval limit = {0, 0};
            socklen_t len = sizeof limit;
            ::getsockopt(conn->sockfd, SOL_SOCKET, SO_RCVTIMEO, &limit, &len);
            EXPECT_EQ(limit.tv_sec, 1);
        }
    };
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        {"", "OpenNet", -53, "a.txt"},
        {be32(100) + "abc", "ReadNet", -53, msg::kTransferFailed},
        {be32(1000) + "abc", "ReadNet", -1, msg::kReplyTooLong}};
    for (const auto& [read_reply, where, code, detail] : cases) {
        FakeServer server;  // open reply, read reply, then silence
        if (!read_reply.empty()) server.reply(0, 12, be16(3));
        if (!read_reply.empty()) server.reply(0, 8, read_reply);
        server.respond(0, [](const std::string&, std::string*) { return size_t{0}; });
        server.reply(2, 6, be32(1));  // the new archive channel answers IsExist("b")
        write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nREPLY_TIMEOUT=1\nHOST_PORT=" +
                  server.port_text() + "\n");
        ASSERT_EQ(NFile_Init(), 1);
        check_options();
        CNFile file;
        char buf[100];
        if (file.Open("a.txt", 1) == 0) file.Read(buf, code == -1 ? 4 : 100);
        EXPECT_TRUE(reported(where, code, detail)) << where << code;
        EXPECT_NE(trace_log().find("recv errorcode 110\n"), std::string::npos);
        EXPECT_EQ(CNFile::IsExist("b"), -100);
        EXPECT_EQ(CNFile::IsExist("b"), 1);
        check_options();
        NFile_Close();
    }
}

}  // namespace
}  // namespace gavo::test
