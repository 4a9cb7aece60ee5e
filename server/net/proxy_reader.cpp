#include "server/net/proxy_reader.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace gavo::server {

namespace {

using Clock = std::chrono::steady_clock;

// Receives exactly `n` bytes into `dest` before `deadline`.
bool receive_exactly(int fd, int stop_fd, Clock::time_point deadline, unsigned char* dest, size_t n,
                     std::string* why) {
    size_t got = 0;
    while (got < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            *why = "PROXY header not complete within the stall time-out";
            return false;
        }
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) continue;
            *why = std::string("poll: ") + strerror(errno);
            return false;
        }
        if (fds[1].revents != 0) {
            *why = "server stopping before the PROXY header";
            return false;
        }
        if (fds[0].revents == 0) continue;
        const ssize_t r = recv(fd, dest + got, n - got, MSG_DONTWAIT);
        if (r == 0) {
            *why = got == 0 ? "closed before the PROXY header" : "PROXY header cut short";
            return false;
        }
        if (r < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            *why = std::string("receiving the PROXY header: ") + strerror(errno);
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

bool read_proxy_header(int fd, int stall_ms, int stop_fd, ProxyHeader* out, std::string* why) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(stall_ms);
    unsigned char buf[kProxyMaxSize];
    if (!receive_exactly(fd, stop_fd, deadline, buf, kProxyFixedSize, why)) return false;
    const char* bad = nullptr;
    const size_t size = proxy_header_size(buf, &bad);
    if (size == 0) {
        *why = bad;
        return false;
    }
    if (!receive_exactly(fd, stop_fd, deadline, buf + kProxyFixedSize, size - kProxyFixedSize,
                         why)) {
        return false;
    }
    if (!parse_proxy_header(buf, size, out, &bad)) {
        *why = bad;
        return false;
    }
    return true;
}

}  // namespace gavo::server
