// A connection tells why it ended by kind, with the text its close line logs.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/net/conn.h"

namespace gavo::server {
namespace {

TEST(ConnTest, EndsWithTheKindOfItsFailure) {
    struct Case {
        const char* what;
        std::string sent;  // by the peer before anything else happens
        bool peer_closes;
        bool stopping;
        ConnFailure kind;
        std::string error;
    };
    const Case cases[] = {
        {"close between requests", "", true, false, ConnFailure::kPeerClosed, "peer closed"},
        {"close mid-request", "x", true, false, ConnFailure::kPeerClosed,
         "peer closed mid-request"},
        {"silence mid-request", "x", false, false, ConnFailure::kStalled,
         "stalled (no data within the time-out)"},
        {"stop while idle", "", false, true, ConnFailure::kStopping, "server stopping"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        const int stop_fd = eventfd(c.stopping ? 1 : 0, EFD_CLOEXEC);
        ASSERT_GE(stop_fd, 0);
        if (!c.sent.empty()) {
            ASSERT_EQ(write(fds[1], c.sent.data(), c.sent.size()), 1);
        }
        if (c.peer_closes) shutdown(fds[1], SHUT_WR);
        {
            Conn conn(fds[0], std::chrono::milliseconds(20), 0, stop_fd);
            if (conn.wait_request()) {
                conn.consume(conn.buffered_size());
                EXPECT_FALSE(conn.receive_more());
            }
            EXPECT_EQ(conn.failure(), c.kind);
            EXPECT_EQ(conn.error(), c.error);
            // The first failure stays.
            EXPECT_FALSE(conn.fail(ConnFailure::kRequest, "later"));
            EXPECT_EQ(conn.failure(), c.kind);
        }
        close(stop_fd);
        close(fds[0]);
        close(fds[1]);
    }
}

}  // namespace
}  // namespace gavo::server
