// The library's operations through a proxy that cuts, resets, stalls and drops the
// byte streams between it and the real server: no crash, no hang beyond what a stall
// costs until a close or reset ends it, no reply paired with the wrong request, and no
// descriptor left behind.
#include <future>
#include <string>
#include <thread>

#include "net/netconn.h"
#include "runtime/state.h"
#include "tests/fault_proxy.h"
#include "tests/library_server_fixture.h"

namespace gavo::test {
namespace {

using Dir = FaultProxy::Dir;
using Fault = FaultProxy::Fault;

// Bytes of one host sequence on the archive channel, with a name of 7 characters:
// open 14, write 32, close 4, extended open 14, read 8, close 4 towards the server;
// 2, 4, 2, 6, 26 and 2 back.
constexpr size_t kSequenceToServer = 76;
constexpr size_t kSequenceToClient = 42;

class FaultProxyTest : public LibraryServerTest {
protected:
    void SetUp() override {
        LibraryServerTest::SetUp();
        config_.handle_grace = std::chrono::milliseconds(0);
        // Every fault makes the library reconnect. On a loaded machine the proxy passes
        // the old connections' ends on late, and the server would count them against
        // the host's connection limit and refuse the new ones: that limit is not what
        // these tests are about.
        config_.max_connections_per_host = 64;
    }
    // Server, proxy in front of it, library on the proxy.
    void start_through_proxy() {
        start_server();
        proxy_ = std::make_unique<FaultProxy>(port_);
        descriptors_ = open_descriptors();
        write_mode_ini(2, proxy_->port());
        ASSERT_EQ(NFile_Init(), 1);
    }
    // The proxy's number for the archive connection in use: each start-up and each
    // reconnection opens the archive channel, then the log channel. The library's
    // connect returns before the proxy has accepted: wait for the proxy to catch up.
    int archive_connection() {
        const int connects = platform_->calls(Call::Connect);
        EXPECT_TRUE(proxy_->wait_accepted(connects));
        return connects - 2;
    }

    // Create-and-write, then extended open and read-back of `name`. With `clean`, every
    // step must succeed; otherwise each step may fail, but whatever succeeds must be the
    // answer to its own request: a length between 0 and what was written, and read data
    // that is the start of this file's own content.
    void sequence(const std::string& name, bool clean) {
        const std::string content = "content of " + name + " / " + std::to_string(name.size());
        ProbedFile file;
        int opened = file.Open(name.c_str(), 0x0B);
        unsigned written = file.WriteEx(content.data(), static_cast<unsigned>(content.size()));
        file.Close();
        int length = file.OpenEx(name.c_str(), 0x01);
        char buf[128] = {};
        unsigned got = length >= 0 ? file.Read(buf, sizeof buf) : 0;
        file.Close();
        if (clean) {
            EXPECT_EQ(opened, 0);
            EXPECT_EQ(written, content.size());
            EXPECT_EQ(length, static_cast<int>(content.size()));
            EXPECT_EQ(std::string(buf, got), content);
            return;
        }
        EXPECT_LE(opened, 0);
        EXPECT_TRUE(written == 0 || written == content.size()) << written;
        EXPECT_LE(length, static_cast<int>(content.size()));
        EXPECT_LE(got, content.size());
        EXPECT_EQ(std::string(buf, got), content.substr(0, got));
    }
    // After a fault: the broken request and the one that reconnects fail, then the
    // channel works again.
    void recover() {
        int answer = -1;
        for (int i = 0; i < 3 && answer < 0; ++i) answer = CNFile::IsExist("none.txt");
        ASSERT_EQ(answer, 0);
        ASSERT_EQ(gavo::lib::fsmode.load(), 2);
    }
    // Shuts the library down and checks that every descriptor opened since the start
    // (library, proxy and server sides) has been closed again.
    void expect_no_descriptor_left() {
        NFile_Close();
        EXPECT_TRUE(proxy_->wait_idle());
        EXPECT_TRUE(eventually([&] { return server_connections() == 0; }));
        EXPECT_TRUE(eventually([&] { return open_descriptors() == descriptors_; }))
            << open_descriptors() << " descriptors, " << descriptors_ << " before";
    }
    // Runs `op` on another thread while the proxy holds its bytes, ends the hold by
    // resetting (or closing) the connections once `conn` has forwarded `bytes` more
    // towards the client (up to the stall), and returns what `op` returned.
    template <class Op>
    int run_held(Op op, int conn, size_t bytes, bool reset = true) {
        const size_t target = proxy_->forwarded(conn, Dir::ToClient) + bytes;
        auto result = std::async(std::launch::async, op);
        EXPECT_TRUE(proxy_->wait_forwarded(conn, Dir::ToClient, target));
        if (reset) proxy_->reset_all();
        else proxy_->close_all();
        return result.get();
    }

    std::unique_ptr<FaultProxy> proxy_;
    int descriptors_ = 0;
};

TEST_F(FaultProxyTest, CutOrResetAtEveryByteOfASequenceNeverPairsAWrongReply) {
    start_through_proxy();
    sequence("clean00", true);
    int round = 0;
    for (Dir dir : {Dir::ToServer, Dir::ToClient}) {
        const size_t total = dir == Dir::ToServer ? kSequenceToServer : kSequenceToClient;
        for (Fault fault : {Fault::Close, Fault::Reset}) {
            for (size_t after = 0; after < total; ++after) {
                SCOPED_TRACE(testing::Message() << "dir " << static_cast<int>(dir) << " fault "
                                                << static_cast<int>(fault) << " after " << after);
                proxy_->arm(archive_connection(), dir, after, fault);
                char name[16];
                std::snprintf(name, sizeof name, "f%06d", round++);
                sequence(name, false);
                recover();
                std::snprintf(name, sizeof name, "g%06d", round);
                sequence(name, true);
                if (HasFailure()) return;
            }
        }
    }
    expect_no_descriptor_left();
}

// Over TLS the proxy sees records, not requests: cuts and resets at points spread over
// the handshake and the records of a few sequences, in both directions, end as cut plain
// connections do.
TEST_F(FaultProxyTest, CutOrResetOfATlsConnectionNeverPairsAWrongReplyNorLeaks) {
    use_test_tls();
    start_through_proxy();
    sequence("clean00", true);
    int round = 0;
    for (Dir dir : {Dir::ToServer, Dir::ToClient}) {
        for (Fault fault : {Fault::Close, Fault::Reset}) {
            for (size_t after = 0; after < 3000; after += 173) {
                SCOPED_TRACE(testing::Message() << "dir " << static_cast<int>(dir) << " fault "
                                                << static_cast<int>(fault) << " after " << after);
                const int conn = archive_connection();
                const size_t strike = proxy_->forwarded(conn, dir) + after;
                proxy_->arm(conn, dir, after, fault);
                // As many sequences as it takes for the cut to fall into one.
                char name[16];
                for (int i = 0; i < 50 && proxy_->forwarded(conn, dir) < strike; ++i) {
                    std::snprintf(name, sizeof name, "t%06d", round++);
                    sequence(name, false);
                }
                recover();
                sequence("clean01", true);
                if (HasFailure()) return;
            }
        }
    }
    expect_no_descriptor_left();
}

TEST_F(FaultProxyTest, CutOfTheLogChannelReconnectsAndKeepsTheArchiveWorking) {
    start_through_proxy();
    proxy_->arm(1, Dir::ToServer, 0, Fault::Reset);  // the log channel of the start-up
    CNFile table;
    int first = table.Open("t1", 0x100);
    // The reset may meet the request's receive, or a later send of the same request.
    EXPECT_TRUE(first == kNetPeerClosed || first == kNetRecvFailed || first == kNetSendFailed)
        << first;
    EXPECT_EQ(table.Open("t1", 0x100), -100);  // reconnects both channels
    EXPECT_EQ(table.Open("t1", 0x100), -102);  // the server's own answer again: undeclared
    sequence("after00", true);
    expect_no_descriptor_left();
}

TEST_F(FaultProxyTest, StalledOrDroppedReplyWaitsUntilAResetEndsIt) {
    start_through_proxy();
    for (Fault fault : {Fault::Stall, Fault::Drop}) {
        SCOPED_TRACE(static_cast<int>(fault));
        const int conn = archive_connection();
        proxy_->arm(conn, Dir::ToClient, 1, fault);  // half of the open's reply
        int code = run_held([] { return CNFile().Open("held.txt", 0x0A); }, conn, 1);
        EXPECT_TRUE(code == kNetPeerClosed || code == kNetRecvFailed) << code;
        recover();
        sequence(fault == Fault::Stall ? "stall00" : "drop000", true);
    }
    expect_no_descriptor_left();
}

TEST_F(FaultProxyTest, ReadWhoseDataStallsReturnsWhatArrivedOnceReset) {
    start_through_proxy();
    const std::string data(10000, 'r');
    {
        CNFile file;
        ASSERT_EQ(file.Open("big.bin", 0x0A), 0);
        ASSERT_EQ(file.WriteEx(data.data(), 10000), 10000u);
        file.Close();
    }
    ProbedFile file;
    ASSERT_EQ(file.Open("big.bin", 0x01), 0);
    const int conn = archive_connection();
    proxy_->arm(conn, Dir::ToClient, 4 + 5000, Fault::Stall);  // the count, half the data
    std::string buf(10000, '\0');
    auto read = [&] { return static_cast<int>(file.Read(buf.data(), 10000)); };
    // Closed during the data: the bytes that arrived, fewer than announced.
    EXPECT_EQ(run_held(read, conn, 5004, false), 5000);
    EXPECT_TRUE(buf.substr(0, 5000) == data.substr(0, 5000));
    recover();
    // The proxy ended both channels: with no grace the server closed the host's handles.
    ASSERT_EQ(file.Open("big.bin", 0x01), 0);
    // Reset during the data: a failed receive, reported, and no byte count.
    const int again = archive_connection();
    proxy_->arm(again, Dir::ToClient, 4 + 5000, Fault::Stall);
    EXPECT_EQ(run_held(read, again, 5004), 0);
    EXPECT_EQ(file.m_nLastErrCode, kNetRecvFailed);
    recover();
    sequence("read000", true);
    expect_no_descriptor_left();
}

TEST_F(FaultProxyTest, RequestStalledHalfWayIsEndedByTheServersStallLimit) {
    start_through_proxy();
    for (Fault fault : {Fault::Stall, Fault::Drop}) {
        SCOPED_TRACE(static_cast<int>(fault));
        proxy_->arm(archive_connection(), Dir::ToServer, 5, fault);  // inside the open
        CNFile file;
        int code = file.Open("half.txt", 0x0A);
        EXPECT_TRUE(code == kNetPeerClosed || code == kNetRecvFailed) << code;
        recover();
    }
    sequence("half000", true);
    expect_no_descriptor_left();
}

TEST_F(FaultProxyTest, ServerGoneBehindTheProxyFallsBackWithoutLeaks) {
    start_through_proxy();
    sequence("first00", true);
    stop_server();  // the proxy still accepts, but closes every new connection at once
    int first = CNFile::IsExist("a.txt");
    EXPECT_TRUE(first == kNetPeerClosed || first == kNetRecvFailed) << first;
    // The reconnection connects to the proxy and the requests then find the peer gone:
    // each one fails, and reconnects again, until the host gives up or the server returns.
    for (int i = 0; i < 3; ++i) EXPECT_LT(CNFile::IsExist("a.txt"), 0);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    start_server();
    recover();
    sequence("second0", true);
    expect_no_descriptor_left();
}

}  // namespace
}  // namespace gavo::test
