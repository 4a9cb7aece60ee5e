// Loopback sockets for the scripted test peers, on Linux and on Windows (under Wine). The
// peers use the sockets directly, never the library's platform seam, so that fault
// injection in the library does not touch them.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "port/system.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace gavo::test::peer_socket {

#if defined(_WIN32)
inline SOCKET handle(int fd) { return static_cast<SOCKET>(static_cast<intptr_t>(fd)); }
inline int as_int(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }
inline void start() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
#else
inline int handle(int fd) { return fd; }
inline int as_int(int s) { return s; }
inline void start() {}
#endif

inline void close(int fd) {
#if defined(_WIN32)
    ::closesocket(handle(fd));
#else
    ::close(fd);
#endif
}

// A TCP socket bound to 127.0.0.1 at a free port (its number in *port); -1 on failure.
// Not yet listening.
inline int bind_loopback(int* port) {
    start();
#if defined(_WIN32)
    int fd = as_int(::socket(AF_INET, SOCK_STREAM, 0));
#else
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(handle(fd), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(handle(fd), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

inline int listen(int fd, int backlog) { return ::listen(handle(fd), backlog); }

inline int accept(int listen_fd) {
#if defined(_WIN32)
    return as_int(::accept(handle(listen_fd), nullptr, nullptr));
#else
    return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

// Waits up to `ms` milliseconds for `fd` to become readable: >0 ready, 0 not yet, <0
// error (an interrupted wait counts as not yet).
inline int wait_readable(int fd, int ms) {
#if defined(_WIN32)
    WSAPOLLFD p = {handle(fd), POLLRDNORM, 0};
    return WSAPoll(&p, 1, ms);
#else
    struct pollfd p = {fd, POLLIN, 0};
    int r = ::poll(&p, 1, ms);
    return r < 0 && errno == EINTR ? 0 : r;
#endif
}

// One send, never raising SIGPIPE; an interrupted send is made again.
inline long send_some(int fd, const char* bytes, size_t n) {
#if defined(_WIN32)
    return ::send(handle(fd), bytes, static_cast<int>(n), 0);
#else
    ssize_t r;
    do {
        r = ::send(fd, bytes, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
#endif
}

inline long recv_some(int fd, char* bytes, size_t n) {
#if defined(_WIN32)
    return ::recv(handle(fd), bytes, static_cast<int>(n), 0);
#else
    return static_cast<long>(::recv(fd, bytes, n, 0));
#endif
}

// FIN: no more bytes from this side.
inline void shutdown_write(int fd) { ::shutdown(handle(fd), SHUT_WR); }

// Makes the next close abortive (RST).
inline void reset_on_close(int fd) {
    struct linger lg = {1, 0};
    ::setsockopt(handle(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
}

// One socket (or the wake pipe's reading end) to wait for, and whether it became ready.
struct Watch {
    int fd;
    bool ready = false;
};

// Waits without time limit until one of `watches` is readable (or closed); false when the
// wait itself fails. An interrupted wait returns true with nothing ready.
inline bool wait_any(std::vector<Watch>* watches) {
#if defined(_WIN32)
    std::vector<WSAPOLLFD> fds;
    for (const Watch& w : *watches) fds.push_back({handle(w.fd), POLLRDNORM, 0});
    if (WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), -1) < 0) return false;
#else
    std::vector<pollfd> fds;
    for (const Watch& w : *watches) fds.push_back({w.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) return errno == EINTR;
#endif
    for (size_t i = 0; i < fds.size(); ++i) (*watches)[i].ready = fds[i].revents != 0;
    return true;
}

// A pair that wakes a waiting thread: bytes written to wake[1] make wake[0] readable. A
// pipe on POSIX, a connected loopback socket pair on Windows (which waits for sockets
// only). -1 in both on failure.
inline void make_wake_pair(int wake[2]) {
    wake[0] = wake[1] = -1;
#if defined(_WIN32)
    int port = 0;
    int listener = bind_loopback(&port);
    if (listener < 0 || listen(listener, 1) != 0) {
        if (listener >= 0) close(listener);
        return;
    }
    int writer = as_int(::socket(AF_INET, SOCK_STREAM, 0));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (writer >= 0 &&
        ::connect(handle(writer), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        wake[0] = accept(listener);
        wake[1] = writer;
    } else if (writer >= 0) {
        close(writer);
    }
    close(listener);
#else
    if (::pipe2(wake, O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
#endif
}

inline void wake_up(int writer) {
    char stop = 1;
#if defined(_WIN32)
    ::send(handle(writer), &stop, 1, 0);
#else
    if (::write(writer, &stop, 1) != 1) {
    }
#endif
}

inline void close_wake_pair(int wake[2]) {
#if defined(_WIN32)
    close(wake[0]);
    close(wake[1]);
#else
    ::close(wake[0]);
    ::close(wake[1]);
#endif
}

}  // namespace gavo::test::peer_socket
