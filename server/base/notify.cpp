#include "server/base/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace gavo::server {

namespace {

// The address of `path`; false when it does not fit or is not absolute or abstract.
bool notify_address(const std::string& path, sockaddr_un* addr, socklen_t* len) {
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() < 2 || path.size() >= sizeof addr->sun_path ||
        (path[0] != '/' && path[0] != '@')) {
        return false;
    }
    memcpy(addr->sun_path, path.data(), path.size());
    if (path[0] == '@') addr->sun_path[0] = '\0';  // abstract: the length counts, not a zero
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    return true;
}

}  // namespace

bool notify_service(const std::string& state, std::string* error) {
    const char* path = getenv("NOTIFY_SOCKET");
    if (path == nullptr || *path == '\0') return true;
    sockaddr_un addr;
    socklen_t len = 0;
    if (!notify_address(path, &addr, &len)) {
        *error = std::string("NOTIFY_SOCKET ") + path + " is not a usable socket name";
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool sent = fd >= 0 && sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                        reinterpret_cast<sockaddr*>(&addr),
                                        len) == static_cast<ssize_t>(state.size());
    if (!sent) *error = std::string("cannot notify ") + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return sent;
}

std::string reloading_state() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long usec = static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    return "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec);
}

}  // namespace gavo::server
