#include "server/conn.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/wire.h"

namespace gavo::server {

bool Conn::fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
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
    if (!fill()) {
        // A peer that closes between requests is the normal end of a connection.
        if (error_ == "peer closed mid-request") error_ = "peer closed";
        return false;
    }
    return true;
}

bool Conn::wait_ready(short events, const char* what) {
    struct pollfd pfd = {fd_, events, 0};
    for (;;) {
        const int n = poll(&pfd, 1, stall_ms_);
        if (n > 0) return true;
        if (n == 0) return fail(std::string("stalled (no ") + what + " within the time-out)");
        if (errno != EINTR) return fail(std::string("poll: ") + strerror(errno));
    }
}

bool Conn::fill() {
    if (!wait_ready(POLLIN, "data")) return false;
    for (;;) {
        const ssize_t n = recv(fd_, in_, sizeof in_, 0);
        if (n > 0) {
            in_pos_ = 0;
            in_len_ = static_cast<size_t>(n);
            return true;
        }
        if (n == 0) return fail("peer closed mid-request");
        if (errno == EINTR) continue;
        return fail(std::string("recv: ") + strerror(errno));
    }
}

bool Conn::get_bytes(void* dest, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    while (n > 0) {
        const size_t got = get_some(d, n);
        if (got == 0) return false;
        d += got;
        n -= got;
    }
    return true;
}

size_t Conn::get_some(void* dest, size_t max) {
    if (failed()) return 0;
    if (in_pos_ == in_len_ && !fill()) return 0;
    const size_t n = std::min(max, in_len_ - in_pos_);
    memcpy(dest, in_ + in_pos_, n);
    in_pos_ += n;
    return n;
}

bool Conn::skip(size_t n) {
    while (n > 0) {
        if (failed()) return false;
        if (in_pos_ == in_len_ && !fill()) return false;
        const size_t take = std::min(n, in_len_ - in_pos_);
        in_pos_ += take;
        n -= take;
    }
    return !failed();
}

Conn::Until Conn::get_until(unsigned char delim, size_t max, std::string* out) {
    out->clear();
    for (;;) {
        if (failed()) return Until::kFailed;
        if (in_pos_ == in_len_ && !fill()) return Until::kFailed;
        const size_t avail = in_len_ - in_pos_;
        const auto* found = static_cast<const unsigned char*>(memchr(in_ + in_pos_, delim, avail));
        const size_t take = found ? static_cast<size_t>(found - (in_ + in_pos_)) : avail;
        if (out->size() + take > max) {
            in_pos_ += max - out->size();
            return Until::kTooLong;
        }
        out->append(reinterpret_cast<const char*>(in_ + in_pos_), take);
        in_pos_ += take;
        if (found) {
            ++in_pos_;
            return Until::kFound;
        }
    }
}

bool Conn::input_pending() {
    if (in_pos_ < in_len_) return true;
    unsigned char c;
    return !failed() && recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

bool Conn::get16(int* value) {
    unsigned char b[2];
    if (!get_bytes(b, 2)) return false;
    *value = get_be16(b);
    return true;
}

bool Conn::get32(int32_t* value) {
    unsigned char b[4];
    if (!get_bytes(b, 4)) return false;
    *value = get_be32(b);
    return true;
}

bool Conn::put16(int value) {
    unsigned char b[2];
    put_be16(b, value);
    return put_bytes(b, 2);
}

bool Conn::put32(int32_t value) {
    unsigned char b[4];
    put_be32(b, value);
    return put_bytes(b, 4);
}

bool Conn::put_bytes(const void* src, size_t n) {
    if (failed()) return false;
    const unsigned char* p = static_cast<const unsigned char*>(src);
    if (out_len_ + n <= sizeof out_) {
        memcpy(out_ + out_len_, p, n);
        out_len_ += n;
        return true;
    }
    // Large data go out directly after what is buffered.
    return flush() && send_all(p, n);
}

bool Conn::flush() {
    if (failed()) return false;
    const size_t n = out_len_;
    out_len_ = 0;
    return send_all(out_, n);
}

bool Conn::send_all(const unsigned char* p, size_t n) {
    while (n > 0) {
        if (!wait_ready(POLLOUT, "room to send")) return false;
        const ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (sent <= 0) return fail(std::string("send: ") + strerror(errno));
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace gavo::server
