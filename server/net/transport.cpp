#include "server/net/transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace gavo::server {

namespace {

ssize_t failed(Transport::Failure* failure, const char* call) {
    *failure = {ConnFailure::kIo, std::string(call) + ": " + strerror(errno)};
    return Transport::kFailed;
}

}  // namespace

ssize_t PlainTransport::receive(void* dest, size_t max, short* wait, Failure* failure) {
    for (;;) {
        const ssize_t n = recv(fd_, dest, max, MSG_DONTWAIT);
        if (n > 0) return n;
        if (n == 0) return kPeerClosed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            *wait = POLLIN;
            return kWouldBlock;
        }
        return failed(failure, "recv");
    }
}

ssize_t PlainTransport::send(const unsigned char* src, size_t n, short* wait, Failure* failure) {
    for (;;) {
        const ssize_t sent = ::send(fd_, src, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) return sent;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            *wait = POLLOUT;
            return kWouldBlock;
        }
        return failed(failure, "send");
    }
}

ssize_t PlainTransport::send_pair(const unsigned char* head, size_t head_len,
                                  const unsigned char* body, size_t body_len, short* wait,
                                  Failure* failure) {
    iovec parts[2] = {{const_cast<unsigned char*>(head), head_len},
                      {const_cast<unsigned char*>(body), body_len}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    for (;;) {
        const ssize_t sent = sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) return sent;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            *wait = POLLOUT;
            return kWouldBlock;
        }
        return failed(failure, "send");
    }
}

bool PlainTransport::data_pending() {
    unsigned char c;
    return recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

}  // namespace gavo::server
