// The stream primitives against a scripted loopback peer: which bytes leave in which send,
// what is read back, and what a failing or vanishing peer turns into.
#include <cerrno>
#include <string>

#include "net/netconn.h"
#include "tests/net_fixture.h"

namespace gavo::test {
namespace {

const char kStart[] = "**** log file start ****\n";

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

class StreamTest : public NetTest {};

TEST_F(StreamTest, RequestIntegersLeaveInOneSendWhenTheReplyIsRead) {
    BytePeer peer;
    peer.expect(10).reply(bytes({0x00, 0x07}));
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(net_putlong(1, conn), 4);
    EXPECT_EQ(net_putshort(2, conn), 2);
    EXPECT_EQ(net_putlong(-1, conn), 4);
    EXPECT_EQ(sends(), 0);
    EXPECT_EQ(net_getshort(conn), 7);
    EXPECT_EQ(sends(), 1);
    EXPECT_EQ(net_close(conn), 0);
    peer.finish();
    EXPECT_EQ(peer.received(), bytes({0, 0, 0, 1, 0, 2, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(trace_log(), "");
}

TEST_F(StreamTest, LongWriteSendsWholeBuffersAndKeepsTheRestPending) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    std::string data = pattern(10000);
    EXPECT_EQ(net_write(data.data(), 1, 10000, conn), 10000);
    EXPECT_EQ(sends(), 2);
    EXPECT_EQ(conn->bufcnt, 1808);
    EXPECT_EQ(conn->io_state, 2);
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(sends(), 3);
    peer.finish();
    EXPECT_EQ(peer.received(), data);
}

TEST_F(StreamTest, FullBufferWaitsForTheNextByteReadOrClose) {
    std::string data = pattern(4097);
    for (int next : {0, 1, 2}) {  // a further byte, a read, a close
        SCOPED_TRACE(next);
        platform_->clear_faults();
        int before = sends();
        BytePeer peer;
        peer.expect(4096).reply(bytes({0x12, 0x34}));
        NetConn* conn = connect(peer);
        ASSERT_NE(conn, nullptr);
        EXPECT_EQ(net_write(data.data(), 4096, 1, conn), 4096);
        EXPECT_EQ(sends(), before);
        EXPECT_EQ(conn->bufcnt, 4096);
        if (next == 0) {
            EXPECT_EQ(net_write(data.data() + 4096, 1, 1, conn), 1);
        } else if (next == 1) {
            EXPECT_EQ(net_getshort(conn), 0x1234);
        }
        EXPECT_EQ(sends(), before + (next == 2 ? 0 : 1));
        EXPECT_EQ(net_close(conn), 0);
        peer.finish();
        EXPECT_EQ(peer.received(), next == 0 ? data : data.substr(0, 4096));
    }
}

TEST_F(StreamTest, WriteWhileInputIsUnreadGoesOutAtOnceAndInputStaysFirst) {
    BytePeer peer;
    peer.reply("ABCD").expect(4).reply("E");
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    char got[8] = {};
    ASSERT_EQ(net_read(got, 1, 1, conn), 1);
    ASSERT_EQ(conn->bufcnt, 3) << "the peer's 4 bytes should arrive in one receive";
    EXPECT_EQ(net_putlong(5, conn), 4);
    EXPECT_EQ(sends(), 1);
    EXPECT_EQ(conn->io_state, 1);
    EXPECT_EQ(conn->bufcnt, 3);
    EXPECT_EQ(net_read(got + 1, 1, 4, conn), 4);  // "BCD" from the buffer, "E" received
    EXPECT_EQ(std::string(got), "ABCDE");
    EXPECT_EQ(recvs(), 2);
    EXPECT_EQ(net_close(conn), 0);
    peer.finish();
    EXPECT_EQ(peer.received(), bytes({0, 0, 0, 5}));
}

TEST_F(StreamTest, IntegerSplitAcrossTwoReceivesIsReadWhole) {
    BytePeer peer;
    peer.reply(bytes({0xAA, 0x12}))
        .wait_gate()
        .reply(bytes({0x34, 0x80, 0x00}))
        .wait_gate()
        .reply(bytes({0x00, 0x01}));
    net_->after_recv = [&](ssize_t) { peer.open_gate(); };
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    char first = 0;
    ASSERT_EQ(net_read(&first, 1, 1, conn), 1);
    ASSERT_EQ(conn->bufcnt, 1);
    EXPECT_EQ(net_getshort(conn), 0x1234);
    EXPECT_EQ(recvs(), 2);
    EXPECT_EQ(net_getlong(conn), static_cast<int>(0x80000001u));
    EXPECT_EQ(recvs(), 3);
    EXPECT_EQ(net_close(conn), 0);
}

TEST_F(StreamTest, PeerClosingMidIntegerGivesPeerClosedWithoutTraceLine) {
    for (int width : {2, 4}) {
        SCOPED_TRACE(width);
        BytePeer peer;
        peer.reply(bytes({0x01})).close();
        NetConn* conn = connect(peer);
        ASSERT_NE(conn, nullptr);
        EXPECT_EQ(width == 2 ? net_getshort(conn) : net_getlong(conn), kNetPeerClosed);
        EXPECT_EQ(net_close(conn), 0);
    }
    EXPECT_EQ(trace_log(), "");
}

TEST_F(StreamTest, ReadReturnsShortCountThenZeroWhenPeerCloses) {
    BytePeer peer;
    std::string sixty = pattern(60);
    peer.reply(sixty).close();
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    char got[100];
    EXPECT_EQ(net_read(got, 1, 100, conn), 60);
    EXPECT_EQ(std::string(got, 60), sixty);
    EXPECT_EQ(net_read(got, 10, 10, conn), 0);
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(trace_log(), "");
}

TEST_F(StreamTest, EmptyReadSendsPendingOutput) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(net_putlong(0x01020304, conn), 4);
    char unused;
    EXPECT_EQ(net_read(&unused, 0, 5, conn), 0);
    EXPECT_EQ(sends(), 1);
    EXPECT_EQ(recvs(), 0);
    EXPECT_EQ(conn->bufcnt, 0);
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(sends(), 1);
    peer.finish();
    EXPECT_EQ(peer.received(), bytes({1, 2, 3, 4}));
}

// A request whose sending failed gets no reply: the read fails at once instead of
// waiting for ever, and the connection counts as broken.
TEST_F(StreamTest, FailedFlushInsideReadFailsTheReadInsteadOfWaiting) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(net_putlong(7, conn), 4);
    platform_->fail(Call::Send, 1, EPIPE);
    EXPECT_EQ(net_getshort(conn), kNetSendFailed);
    EXPECT_EQ(recvs(), 0);
    EXPECT_EQ(conn->broken, 1);
    EXPECT_EQ(net_putshort(1, conn), kNetSendFailed);  // the next request fails at once
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(sends(), 1);
    peer.finish();
    EXPECT_EQ(peer.received(), "");
    EXPECT_EQ(trace_text(), std::string(kStart) + "net_flush send error code 32\n");
}

TEST_F(StreamTest, ReceiveErrorGivesRecvFailedAndTraceLine) {
    BytePeer peer;
    peer.reply(bytes({0, 0, 0, 1}));
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    char buf[4];
    platform_->fail(Call::Recv, 1, ECONNRESET, true);
    EXPECT_EQ(net_read(buf, 1, 4, conn), kNetRecvFailed);
    EXPECT_EQ(net_getshort(conn), kNetRecvFailed);
    EXPECT_EQ(net_getlong(conn), kNetRecvFailed);
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(trace_text(), std::string(kStart) + "net_read recv errorcode 104\n" +
                                "net_getshort recv errorcode 104\n" +
                                "net_getlong recv errorcode 104\n");
}

// With buffered output a dead peer shows at the reply, not at the send. Once a receive
// has failed or found the peer gone, every send primitive fails at once, so the next
// request fails at its first step (and is reported as a send failure) instead of
// queueing output that can never arrive.
TEST_F(StreamTest, ConnectionIsBrokenOnceAReceiveFindsThePeerGone) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        BytePeer peer;
        peer.close();
        NetConn* conn = connect(peer);
        ASSERT_NE(conn, nullptr);
        if (reset) platform_->fail(Call::Recv, 1, ECONNRESET);
        EXPECT_EQ(net_putshort(1, conn), 2);
        EXPECT_EQ(net_getshort(conn), reset ? kNetRecvFailed : kNetPeerClosed);
        int sends_before = sends();
        EXPECT_EQ(net_putshort(1, conn), kNetSendFailed);
        EXPECT_EQ(net_putlong(1, conn), kNetSendFailed);
        EXPECT_EQ(net_write("ab", 1, 2, conn), kNetSendFailed);
        EXPECT_EQ(sends(), sends_before);
        EXPECT_EQ(net_close(conn), 0);
    }
}

TEST_F(StreamTest, ShortReadAtPeerCloseAlsoBreaksTheConnection) {
    BytePeer peer;
    peer.reply(pattern(3)).close();
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    char got[8];
    EXPECT_EQ(net_read(got, 1, 8, conn), 3);
    EXPECT_EQ(net_putshort(5, conn), kNetSendFailed);
    EXPECT_EQ(net_close(conn), 0);
}

// A send that fails after the buffer went out in part keeps only the unsent bytes: the
// close sends them, and no byte reaches the peer twice.
TEST_F(StreamTest, NoByteIsSentTwiceAfterAPartialBufferSend) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    net_->max_send = 1000;
    std::string data = pattern(4097);
    EXPECT_EQ(net_write(data.data(), 1, 4096, conn), 4096);
    platform_->fail(Call::Send, 2, EPIPE);
    EXPECT_EQ(net_write(data.data() + 4096, 1, 1, conn), kNetSendFailed);
    EXPECT_EQ(conn->bufcnt, 3096);
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(sends(), 2 + 4);  // 1000, fail, then 1000 + 1000 + 1000 + 96
    peer.finish();
    EXPECT_EQ(peer.received(), data.substr(0, 4096));
    EXPECT_EQ(trace_text(), std::string(kStart) + "net_write send errorcode 32\n");
}

// A send that moves nothing is a failure, not a reason to try again for ever.
TEST_F(StreamTest, SendOfNoBytesIsAFailure) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    std::string data = pattern(4096);
    EXPECT_EQ(net_write(data.data(), 1, 4096, conn), 4096);
    net_->zero_sends = true;
    EXPECT_EQ(net_putshort(1, conn), kNetSendFailed);
    EXPECT_EQ(net_flush(conn), kNetSendFailed);
    EXPECT_EQ(net_close(conn), 0);
}

TEST_F(StreamTest, BufferSendFailureKeepsOutputAndNamesThePrimitive) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    std::string data = pattern(4096);
    EXPECT_EQ(net_write(data.data(), 1, 4096, conn), 4096);
    platform_->fail(Call::Send, 1, ECONNRESET);
    EXPECT_EQ(net_putshort(1, conn), kNetSendFailed);
    platform_->fail(Call::Send, 1, EPIPE);
    EXPECT_EQ(net_putlong(1, conn), kNetSendFailed);
    EXPECT_EQ(conn->bufcnt, 4096);
    EXPECT_EQ(net_close(conn), 0);
    peer.finish();
    EXPECT_EQ(peer.received(), data);
    EXPECT_EQ(trace_text(), std::string(kStart) + "net_putshort send errorcode 104\n" +
                                "net_putlong send errorcode 32\n");
}

TEST_F(StreamTest, DirectSendFailureReturnsSendResultWithoutTraceLine) {
    BytePeer peer;
    peer.reply("xyz");
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    char c;
    ASSERT_EQ(net_read(&c, 1, 1, conn), 1);
    ASSERT_EQ(conn->bufcnt, 2);
    platform_->fail(Call::Send, 1, EPIPE);
    EXPECT_EQ(net_putshort(1, conn), -1);
    EXPECT_EQ(net_write("ab", 1, 0, conn), 0);
    EXPECT_EQ(last_socket_error(), EPIPE);
    char rest[2];
    EXPECT_EQ(net_read(rest, 2, 1, conn), 2);
    EXPECT_EQ(std::string(rest, 2), "yz");
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(trace_log(), "");
}

TEST_F(StreamTest, FailedWaitGivesWaitFailed) {
    BytePeer peer;
    peer.reply("xyz");
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    conn->read_wait = 1;
    conn->write_wait = 1;
    platform_->fail(Call::Wait, 1, EBADF, true);
    EXPECT_EQ(net_getshort(conn), kNetWaitFailed);
    platform_->clear_faults();
    char c;
    ASSERT_EQ(net_read(&c, 1, 1, conn), 1);  // input unread from here on
    platform_->fail(Call::Wait, 1, EBADF, true);
    EXPECT_EQ(net_putlong(1, conn), kNetWaitFailed);
    EXPECT_EQ(net_write("a", 1, 1, conn), kNetWaitFailed);
    EXPECT_EQ(sends(), 0);
    EXPECT_EQ(net_close(conn), 0);
}

TEST_F(StreamTest, NullConnectionGivesNoConnection) {
    char buf[4] = {};
    EXPECT_EQ(net_read(buf, 1, 4, nullptr), kNetNoConnection);
    EXPECT_EQ(net_write(buf, 1, 4, nullptr), kNetNoConnection);
    EXPECT_EQ(net_getshort(nullptr), kNetNoConnection);
    EXPECT_EQ(net_putshort(1, nullptr), kNetNoConnection);
    EXPECT_EQ(net_getlong(nullptr), kNetNoConnection);
    EXPECT_EQ(net_putlong(1, nullptr), kNetNoConnection);
    EXPECT_EQ(net_close(nullptr), kNetNoConnection);
}

// Counts whose product does not fit in an int ask for nothing, instead of overflowing.
TEST_F(StreamTest, OverflowingItemCountAsksForNothing) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    char buf[1];
    EXPECT_EQ(net_read(buf, 65536, 65536, conn), 0);
    EXPECT_EQ(net_write(buf, 65536, 65536, conn), 0);
    EXPECT_EQ(net_write(buf, -1, 1, conn), 0);
    EXPECT_EQ(conn->bufcnt, 0);
    EXPECT_EQ(recvs(), 0);
    EXPECT_EQ(net_close(conn), 0);
}

// Whatever point the peer vanishes at, every primitive returns (a value or its code) and
// nothing raises a signal or blocks.
TEST_F(StreamTest, PeerVanishingAtAnyPointGivesCodesNotSignals) {
    std::string reply = bytes({0, 0, 0, 5, 0, 6, 0, 0, 0, 7});
    std::string big = pattern(20000);
    for (bool reset : {false, true}) {
        for (size_t cut = 0; cut <= reply.size(); cut += 3) {
            SCOPED_TRACE(std::to_string(cut) + (reset ? " reset" : " close"));
            BytePeer peer;
            peer.expect(4).reply(reply.substr(0, cut));
            reset ? peer.reset() : peer.close();
            NetConn* conn = connect(peer);
            ASSERT_NE(conn, nullptr);
            EXPECT_EQ(net_putlong(1, conn), 4);
            int a = net_getlong(conn);
            EXPECT_TRUE(a == 5 || a == kNetPeerClosed || a == kNetRecvFailed) << a;
            int b = net_getshort(conn);
            EXPECT_TRUE(b == 6 || b == kNetPeerClosed || b == kNetRecvFailed) << b;
            char buf[16];
            int r = net_read(buf, 1, 16, conn);
            EXPECT_TRUE(r >= 0 || r == kNetRecvFailed) << r;
            int w = net_write(big.data(), 1, static_cast<int>(big.size()), conn);
            EXPECT_TRUE(w == 20000 || w == kNetSendFailed || w <= 0) << w;
            EXPECT_EQ(net_close(conn), 0);
            peer.finish();
        }
    }
}

}  // namespace
}  // namespace gavo::test
