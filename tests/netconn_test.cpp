// Opening and closing client connections: port and host resolution in their fixed order,
// the protocol's socket type, and what each failure leaves behind.
#include "net/netconn.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "net/messages.h"
#include "tests/net_fixture.h"

namespace gavo::test {
namespace {

class NetConnTest : public NetTest {
protected:
    // Opens to 127.0.0.1 with the given port text and flags; closes and reports success.
    bool opens(const std::string& port, unsigned flags = 0, const char* host = "127.0.0.1") {
        NetConn* conn = net_open_client(host, port.c_str(), "tcp", 0, flags);
        return conn != nullptr && net_close(conn) == 0;
    }

    int socket_type(NetConn* conn) {
        int type = 0;
        socklen_t len = sizeof type;
        getsockopt(conn->sockfd, SOL_SOCKET, SO_TYPE, &type, &len);
        return type;
    }
};

TEST_F(NetConnTest, FreshConnectionStartsEmptyWithoutWaits) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->io_state, 0);
    EXPECT_EQ(conn->bufptr, conn->bufbase);
    EXPECT_EQ(conn->bufcnt, 0);
    EXPECT_EQ(conn->bufsize, 4096);
    EXPECT_EQ(conn->read_wait, 0);
    EXPECT_EQ(conn->write_wait, 0);
    EXPECT_EQ(platform_->calls(Call::Wait), 0);  // a connect wait of 0 never asks
    EXPECT_EQ(socket_type(conn), SOCK_STREAM);
    EXPECT_EQ(net_close(conn), 0);
}

TEST_F(NetConnTest, PortTextsThatAreNoPortFailBeforeAnySocket) {
    for (const char* port : {"0", "65536", "-65536", "", "abc", "no-such-service-gavo"}) {
        SCOPED_TRACE(port);
        EXPECT_FALSE(opens(port));
    }
    EXPECT_EQ(platform_->calls(Call::Socket), 0);
}

TEST_F(NetConnTest, DecimalPortIsReadLikeAtoiAndKeepsLow16Bits) {
    BytePeer a, b, c;
    a.start();
    b.start();
    c.start();
    EXPECT_TRUE(opens("  +" + a.port_text() + "xyz"));
    EXPECT_TRUE(opens(std::to_string(b.port() + 65536)));
    EXPECT_TRUE(opens(std::to_string(c.port() + 65536LL * 70000)));  // beyond 32 bits: wraps
}

TEST_F(NetConnTest, ServiceNameResolvesToItsPort) {
    BytePeer peer;
    peer.start();
    net_->services["gavo-files"] = peer.port();
    EXPECT_TRUE(opens("gavo-files"));
    EXPECT_TRUE(opens("gavo-files", 0x02));  // service name only
    EXPECT_FALSE(opens("gavo-files", 0x01)) << "decimal only must not look names up";
    EXPECT_FALSE(opens(peer.port_text(), 0x02)) << "service only must not read numbers";
}

TEST_F(NetConnTest, SystemServiceNameGivesItsPort) {
    uint16_t http = 0;
    if (Platform().lookup_service("http", "tcp", &http) != 0)
        GTEST_SKIP() << "the system's service database has no \"http\"";
    platform_->fail(Call::Connect, 1, ECONNREFUSED);  // never really reach port 80
    EXPECT_FALSE(opens("http"));
    EXPECT_EQ(net_->last_connect_port, ntohs(http));
}

TEST_F(NetConnTest, ServiceNameComesBeforeTheNumber) {
    BytePeer peer;
    peer.start();
    net_->services["1"] = peer.port();  // a service that is named like a number
    EXPECT_TRUE(opens("1"));
    EXPECT_EQ(platform_->calls(Call::LookupService), 1);
}

TEST_F(NetConnTest, DottedAddressConnectsWhenNameLookupFails) {
    BytePeer peer;
    peer.start();
    platform_->fail(Call::LookupHost, 1, ENOENT);
    EXPECT_TRUE(opens(peer.port_text()));
    EXPECT_EQ(platform_->calls(Call::LookupHost), 1);
}

TEST_F(NetConnTest, HostFlagsChooseTheLookups) {
    BytePeer peer;
    peer.start();
    EXPECT_TRUE(opens(peer.port_text(), 0x10));  // dotted only: no name lookup
    EXPECT_EQ(platform_->calls(Call::LookupHost), 0);
    platform_->fail(Call::LookupHost, 1, ENOENT);
    EXPECT_FALSE(opens(peer.port_text(), 0x20));  // name only: no dotted fallback
    EXPECT_FALSE(opens(peer.port_text(), 0x10, "255.255.255.255"));
}

TEST_F(NetConnTest, UnresolvableHostFailsWithoutTraceLine) {
    platform_->fail(Call::LookupHost, 1, ENOENT, true);
    EXPECT_FALSE(opens("4000", 0, "no-such-host.invalid"));
    EXPECT_FALSE(opens("4000", 0, "1.2.3.4.5"));
    EXPECT_EQ(platform_->calls(Call::Socket), 0);
    EXPECT_EQ(trace_log(), "");
}

// The socket-error line after a failed opening must name that failure, not an earlier one.
TEST_F(NetConnTest, FailedLookupNotesItsOwnSocketError) {
    struct Case {
        Call call;
        const char* port;
        const char* host;
        int error;
    };
    for (const Case& c : {Case{Call::LookupService, "", "127.0.0.1", 11004},
                          Case{Call::LookupHost, "4000", "1.2.3.4.5", 11001}}) {
        platform_->fail(c.call, 1, ENOENT);
        note_socket_error(ECONNREFUSED);
        EXPECT_FALSE(opens(c.port, 0, c.host));
        EXPECT_EQ(last_socket_error(), c.error) << static_cast<int>(c.call);
        platform_->clear_faults();
    }
}

TEST_F(NetConnTest, UdpMakesAConnectedDatagramSocket) {
    BytePeer peer;  // any local port: a datagram connect only fixes the peer
    NetConn* conn = net_open_client("127.0.0.1", peer.port_text().c_str(), "udp", 0, 0);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(socket_type(conn), SOCK_DGRAM);
    struct sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    ASSERT_EQ(getpeername(conn->sockfd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    EXPECT_EQ(ntohs(addr.sin_port), peer.port());
    EXPECT_EQ(net_close(conn), 0);
}

TEST_F(NetConnTest, UnknownProtocolFails) {
    EXPECT_EQ(net_open_client("127.0.0.1", "4000", "no-such-protocol", 0, 0), nullptr);
    EXPECT_EQ(platform_->calls(Call::Socket), 0);
}

// A system without a protocol database still opens "tcp" and "udp"; other names fail.
TEST_F(NetConnTest, TcpAndUdpNeedNoProtocolDatabase) {
    platform_->fail(Call::LookupProtocol, 1, ENOENT, true);
    BytePeer peer;
    peer.start();
    for (auto [protocol, type] : {std::pair{"tcp", SOCK_STREAM}, std::pair{"udp", SOCK_DGRAM}}) {
        NetConn* conn = net_open_client("127.0.0.1", peer.port_text().c_str(), protocol, 0, 0);
        ASSERT_NE(conn, nullptr) << protocol;
        EXPECT_EQ(socket_type(conn), type);
        net_close(conn);
    }
    EXPECT_EQ(net_open_client("127.0.0.1", peer.port_text().c_str(), "TCP", 0, 0), nullptr);
    EXPECT_EQ(last_socket_error(), 11004);
}

TEST_F(NetConnTest, FailuresAfterTheSocketCloseIt) {
    BytePeer peer;
    peer.start();
    platform_->fail(Call::Connect, 1, ECONNREFUSED);
    EXPECT_FALSE(opens(peer.port_text()));
    EXPECT_EQ(last_socket_error(), ECONNREFUSED);
    EXPECT_EQ(platform_->calls(Call::CloseSocket), 1);

    platform_->fail(Call::Wait, 1, EBADF);
    EXPECT_EQ(net_open_client("127.0.0.1", peer.port_text().c_str(), "tcp", 5, 0), nullptr);
    EXPECT_EQ(platform_->calls(Call::CloseSocket), 2);

    platform_->fail(Call::Socket, 1, EMFILE);
    EXPECT_FALSE(opens(peer.port_text()));
    EXPECT_EQ(platform_->calls(Call::CloseSocket), 2);  // no socket to close
    EXPECT_EQ(trace_log(), "");
}

TEST_F(NetConnTest, AllocationFailureTracesAndClosesTheSocket) {
    BytePeer peer;
    peer.start();
    for (int nth : {1, 2}) {  // the record, then its buffer
        SCOPED_TRACE(nth);
        platform_->fail(Call::Allocate, nth, ENOMEM);
        EXPECT_FALSE(opens(peer.port_text()));
    }
    EXPECT_EQ(platform_->calls(Call::Shutdown), 2);
    EXPECT_EQ(platform_->calls(Call::CloseSocket), 2);
    std::string line = gbk("net_open_client,内存分配失败，关闭连接") + "\n";
    EXPECT_EQ(trace_text(), "**** log file start ****\n" + line + line);
    EXPECT_EQ(std::string(msg::kNetOpenNoMemory) + "\n", line);
}

TEST_F(NetConnTest, CloseSendsPendingOutputBeforeShutdown) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(net_putlong(0x0A0B0C0D, conn), 4);
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(platform_->calls(Call::Send), 1);
    peer.finish();
    EXPECT_EQ(peer.received(), bytes({0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST_F(NetConnTest, CloseStillClosesWhenItsFlushFails) {
    BytePeer peer;
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(net_putshort(1, conn), 2);
    platform_->fail(Call::Send, 1, EPIPE);
    EXPECT_EQ(net_close(conn), 0);
    EXPECT_EQ(platform_->calls(Call::Shutdown), 1);
    EXPECT_EQ(platform_->calls(Call::CloseSocket), 1);
    peer.finish();
    EXPECT_EQ(peer.received(), "");
    EXPECT_EQ(trace_text(), "**** log file start ****\nnet_flush send error code 32\n");
}

TEST_F(NetConnTest, WaitAsksOnlyForPositiveSeconds) {
    EXPECT_EQ(net_wait(-1, 0), 0);
    EXPECT_EQ(net_wait(-1, -3), 0);
    EXPECT_EQ(platform_->calls(Call::Wait), 0);
    EXPECT_EQ(net_wait(-1, 1), kNetTimeout);  // the platform refuses the bad socket

    BytePeer peer;
    peer.reply("x");
    NetConn* conn = connect(peer);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(net_wait(conn->sockfd, 5), 0);  // data is coming: readable
    EXPECT_EQ(net_close(conn), 0);
}

}  // namespace
}  // namespace gavo::test
