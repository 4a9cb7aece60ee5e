#include "server/conn.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace gavo::server {

bool Conn::fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
}

bool Conn::fail_instead(const std::string& why) {
    error_ = why;
    return false;
}

bool Conn::stop_requested() const {
    struct pollfd pfd = {stop_fd_, POLLIN, 0};
    return stop_fd_ >= 0 && poll(&pfd, 1, 0) > 0;
}

void Conn::earn(size_t n) {
    const int64_t stall_ns = int64_t{stall_ms_} * 1000000;
    const int64_t gained = ns_per_byte_ * static_cast<int64_t>(std::min<size_t>(n, 1u << 30));
    budget_ns_ = std::min(stall_ns, budget_ns_ + gained);
}

bool Conn::wait_request() {
    if (failed()) return false;
    if (in_pos_ < in_len_) return true;
    struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, stop_fd_ >= 0 ? 2 : 1, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::string("poll: ") + strerror(errno));
        // A request that has begun to arrive is still served once the stop has come.
        if (fds[1].revents != 0 && (stop_seen_ || (fds[0].revents & POLLIN) == 0)) {
            return fail("server stopping");
        }
        stop_seen_ = stop_seen_ || fds[1].revents != 0;
        break;
    }
    budget_ns_ = int64_t{stall_ms_} * 1000000;  // a request begins
    if (!fill()) {
        // A peer that closes between requests is the normal end of a connection.
        if (error_ == "peer closed mid-request" || error_ == "server stopping mid-request") {
            error_ = "peer closed";
        }
        return false;
    }
    return true;
}

bool Conn::wait_ready(short events, const char* what) {
    struct pollfd pfd = {fd_, events, 0};
    for (;;) {
        const bool by_rate = budget_ns_ < int64_t{stall_ms_} * 1000000;
        const int wait_ms =
            by_rate ? static_cast<int>(std::max<int64_t>(0, budget_ns_ + 999999) / 1000000)
                    : stall_ms_;
        const auto began = std::chrono::steady_clock::now();
        const int n = poll(&pfd, 1, wait_ms);
        budget_ns_ -= std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - began)
                          .count();
        if (n > 0) return true;
        if (n == 0 && by_rate && ns_per_byte_ == 0) {
            return fail("stalled (request not done within the time-out)");
        }
        if (n == 0 && by_rate) {
            return fail("stalled (request slower than " +
                        std::to_string(1000000000 / ns_per_byte_) + " bytes/s over the time-out)");
        }
        if (n == 0) return fail(std::string("stalled (no ") + what + " within the time-out)");
        if (errno != EINTR) return fail(std::string("poll: ") + strerror(errno));
    }
}

bool Conn::fill() {
    const ssize_t n = receive(in_, sizeof in_);
    if (n <= 0) return false;
    in_pos_ = 0;
    in_len_ = static_cast<size_t>(n);
    return true;
}

// Asks for what is there first and waits (within the stall time-out) only when nothing
// is: a request usually arrives whole, so its bytes come without a readiness wait.
ssize_t Conn::receive(void* dest, size_t max) {
    for (;;) {
        const ssize_t n = recv(fd_, dest, max, MSG_DONTWAIT);
        if (n > 0) {
            earn(static_cast<size_t>(n));
            received_ += static_cast<uint64_t>(n);
            return n;
        }
        // At a stop, the server cuts the connections still mid-request after a grace.
        if (n == 0) {
            return fail(stop_requested() ? "server stopping mid-request"
                                         : "peer closed mid-request"),
                   0;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return fail(std::string("recv: ") + strerror(errno)), -1;
        }
        ack_now();  // the rest of the request may wait for this acknowledgement
        if (!wait_ready(POLLIN, "data")) return -1;
    }
}

bool Conn::receive_more() { return !failed() && fill(); }

size_t Conn::receive_into(void* dest, size_t max) {
    if (failed()) return 0;
    const ssize_t n = receive(dest, max);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// A client sends a request larger than its 4 KiB buffer in pieces, and its last piece,
// under Nagle's algorithm, leaves only once everything before it is acknowledged. A
// delayed acknowledgement would stall every such request by up to 40 ms, so before the
// server waits for more bytes of a request it acknowledges what it has (Linux clears the
// flag by itself, hence each time).
void Conn::ack_now() {
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool Conn::input_pending() {
    if (in_pos_ < in_len_) return true;
    unsigned char c;
    return !failed() && recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool Conn::put_bytes(const void* src, size_t n) {
    if (failed()) return false;
    const unsigned char* p = static_cast<const unsigned char*>(src);
    if (out_len_ + n <= sizeof out_) {
        memcpy(out_ + out_len_, p, n);
        out_len_ += n;
        return true;
    }
    // Large data go out directly, in one send with what is buffered (a read's count
    // and its first bytes travel together, not as a packet of their own).
    const size_t buffered = out_len_;
    out_len_ = 0;
    return send_pair(out_, buffered, p, n);
}

bool Conn::flush() {
    if (failed()) return false;
    const size_t n = out_len_;
    out_len_ = 0;
    return send_all(out_, n);
}

bool Conn::send_pair(const unsigned char* head, size_t head_len, const unsigned char* body,
                     size_t body_len) {
    while (head_len > 0) {
        iovec parts[2] = {{const_cast<unsigned char*>(head), head_len},
                          {const_cast<unsigned char*>(body), body_len}};
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = 2;
        const ssize_t sent = sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(POLLOUT, "room to send")) return false;
            continue;
        }
        if (sent <= 0) return fail(std::string("send: ") + strerror(errno));
        const size_t done = static_cast<size_t>(sent);
        earn(done);
        sent_ += done;
        if (done < head_len) {
            head += done;
            head_len -= done;
            continue;
        }
        body += done - head_len;
        body_len -= done - head_len;
        head_len = 0;
    }
    return send_all(body, body_len);
}

// Sends at once while the socket has room and waits (within the stall time-out) only
// when it has none.
bool Conn::send_all(const unsigned char* p, size_t n) {
    while (n > 0) {
        const ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(POLLOUT, "room to send")) return false;
            continue;
        }
        if (sent <= 0) return fail(std::string("send: ") + strerror(errno));
        earn(static_cast<size_t>(sent));
        sent_ += static_cast<uint64_t>(sent);
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace gavo::server
