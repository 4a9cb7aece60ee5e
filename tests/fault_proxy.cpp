#include "tests/fault_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace gavo::test {

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(30);

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Closes `fd` with a reset instead of the orderly close.
void close_with_reset(int fd) {
    struct linger lg = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd);
}

int connect_loopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

}  // namespace

FaultProxy::FaultProxy(int server_port) : server_port_(server_port) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
        ::listen(listen_fd_, 16) == 0) {
        port_ = ntohs(a.sin_port);
    }
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this] { run(); });
}

FaultProxy::~FaultProxy() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    for (auto& [id, p] : pairs_) end_pair(p, false);
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void FaultProxy::arm(int conn, Dir dir, size_t after, Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    Rule rule{true, after, fault};
    auto it = pairs_.find(conn);
    if (it != pairs_.end()) it->second.side[static_cast<int>(dir)].rule = rule;
    else rules_[conn][static_cast<size_t>(dir)] = rule;
    wake();
}

void FaultProxy::reset_all() { end_all(true); }
void FaultProxy::close_all() { end_all(false); }

void FaultProxy::end_all(bool reset) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, p] : pairs_) end_pair(p, reset);
    changed_.notify_all();
    wake();  // the poll must stop watching the closed descriptors
}

void FaultProxy::wake() {
    char c = 1;
    if (::write(wake_[1], &c, 1) != 1) {
    }
}

size_t FaultProxy::forwarded(int conn, Dir dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pairs_.find(conn);
    return it == pairs_.end() ? 0 : it->second.side[static_cast<int>(dir)].passed;
}

bool FaultProxy::wait_forwarded(int conn, Dir dir, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kWaitLimit, [&] {
        auto it = pairs_.find(conn);
        return it != pairs_.end() &&
               (it->second.side[static_cast<int>(dir)].passed >= count || !open(it->second));
    });
    auto it = pairs_.find(conn);
    return it != pairs_.end() && it->second.side[static_cast<int>(dir)].passed >= count;
}

bool FaultProxy::wait_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] {
        for (auto& [id, p] : pairs_) {
            if (open(p)) return false;
        }
        return true;
    });
}

bool FaultProxy::wait_accepted(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, [&] { return accepted_ >= count; });
}

int FaultProxy::accepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

// One poll over the listener, the wake pipe and both directions of every open pair;
// then every ready descriptor is served under the lock.
void FaultProxy::run() {
    for (;;) {
        std::vector<pollfd> fds = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        std::vector<std::pair<int, int>> slots;  // (pair id, direction) per 2 entries
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            for (auto& [id, p] : pairs_) {
                if (!open(p)) continue;
                for (int d = 0; d < 2; ++d) {
                    const Side& s = p.side[d];
                    short in =
                        (!s.stalled && !s.eof && s.pending.empty() && !p.ending) ? POLLIN : 0;
                    short out = s.pending.empty() ? 0 : POLLOUT;
                    fds.push_back({p.fd[d], in, 0});       // the source of direction d
                    fds.push_back({p.fd[1 - d], out, 0});  // its destination
                    slots.emplace_back(id, d);
                }
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) {
            char buf[64];
            while (::read(wake_[0], buf, sizeof buf) > 0) {
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        if (fds[0].revents & POLLIN) accept_one();
        for (size_t i = 0; i < slots.size(); ++i) {
            auto it = pairs_.find(slots[i].first);
            if (it == pairs_.end() || !open(it->second)) continue;
            pump(it->second, slots[i].second, fds[2 + 2 * i].revents, fds[3 + 2 * i].revents);
        }
        changed_.notify_all();
    }
}

void FaultProxy::accept_one() {
    int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int id = accepted_++;
    int server = connect_loopback(server_port_);
    Pair& p = pairs_[id];
    if (server < 0) {  // nothing behind the proxy: the client sees its connection closed
        ::close(client);
        return;
    }
    set_nonblocking(client);
    set_nonblocking(server);
    p.fd[0] = client;
    p.fd[1] = server;
    auto rules = rules_.find(id);
    if (rules != rules_.end()) {
        for (int d = 0; d < 2; ++d) p.side[d].rule = rules->second[static_cast<size_t>(d)];
        rules_.erase(rules);
    }
    for (int d = 0; d < 2; ++d) {
        if (p.side[d].rule.armed && p.side[d].rule.left == 0) strike(p, d);
    }
}

// Moves bytes of direction `d`: reads its source when it may, writes what is pending,
// shuts the destination once the source has ended, and ends the pair when asked.
void FaultProxy::pump(Pair& p, int d, short src_events, short dst_events) {
    Side& s = p.side[d];
    const int src = p.fd[d], dst = p.fd[1 - d];
    const bool reading = !s.stalled && !s.eof && s.pending.empty() && !p.ending;
    // An error, or a hang-up of a source that is not being read, would be reported by
    // every poll: the connection is over.
    if (((src_events | dst_events) & POLLERR) || ((src_events & POLLHUP) && !reading)) {
        end_pair(p, true);
        return;
    }
    if (reading && (src_events & (POLLIN | POLLHUP))) {
        char buf[4096];
        ssize_t n = ::recv(src, buf, sizeof buf, 0);
        if (n > 0) {
            take(p, d, buf, static_cast<size_t>(n));
        } else if (n == 0) {
            s.eof = true;
        } else if (errno != EAGAIN && errno != EINTR) {
            end_pair(p, true);  // a reset on one side resets the other
            return;
        }
    }
    if (!s.pending.empty() && (dst_events & (POLLOUT | POLLERR | POLLHUP))) {
        ssize_t n = ::send(dst, s.pending.data(), s.pending.size(), MSG_NOSIGNAL);
        if (n > 0) {
            s.passed += static_cast<size_t>(n);
            s.pending.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            end_pair(p, true);
            return;
        }
    }
    if (!s.pending.empty()) return;
    if (p.ending && p.side[1 - d].pending.empty()) {
        end_pair(p, p.reset);
    } else if (s.eof && !s.shut) {
        ::shutdown(dst, SHUT_WR);
        s.shut = true;
        if (p.side[1 - d].shut) end_pair(p, false);
    }
}

// Queues the bytes just read in direction `d`, up to the armed rule's count; the rule
// then strikes and decides what becomes of the rest.
void FaultProxy::take(Pair& p, int d, const char* data, size_t n) {
    Side& s = p.side[d];
    if (s.dropping || p.ending) return;
    size_t pass = n;
    if (s.rule.armed) pass = s.rule.left < n ? s.rule.left : n;
    s.pending.append(data, pass);
    if (!s.rule.armed) return;
    s.rule.left -= pass;
    if (s.rule.left == 0) strike(p, d);
}

void FaultProxy::strike(Pair& p, int d) {
    Side& s = p.side[d];
    s.rule.armed = false;
    switch (s.rule.fault) {
    case Fault::Close:
    case Fault::Reset:
        p.ending = true;
        p.reset = s.rule.fault == Fault::Reset;
        if (s.pending.empty() && p.side[1 - d].pending.empty()) end_pair(p, p.reset);
        break;
    case Fault::Stall: s.stalled = true; break;
    case Fault::Drop: s.dropping = true; break;
    }
}

void FaultProxy::end_pair(Pair& p, bool reset) {
    for (int& fd : p.fd) {
        if (fd < 0) continue;
        if (reset) close_with_reset(fd);
        else ::close(fd);
        fd = -1;
    }
}

}  // namespace gavo::test
