#include "server/admin/http_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace gavo::server {

namespace {

using Clock = std::chrono::steady_clock;

// Runs each task at once on the thread that enqueues it: httplib's listener, which thus
// judges every accepted socket before taking the next.
class InlineQueue : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

// A socket whose every wait ends at one deadline: reads and writes fail once it passed.
// Reads are buffered (httplib reads a request line byte by byte).
class DeadlineStream : public httplib::Stream {
public:
    DeadlineStream(int fd, const HostAddr& peer, int port, Clock::time_point deadline)
        : fd_(fd), peer_(peer), port_(port), deadline_(deadline) {}

    bool is_readable() const override { return begin_ < end_ || wait(POLLIN); }
    bool is_writable() const override { return wait(POLLOUT); }
    ssize_t read(char* ptr, size_t size) override {
        if (begin_ == end_) {
            if (!wait(POLLIN)) return -1;
            const ssize_t n = recv(fd_, buf_, sizeof buf_, 0);
            if (n <= 0) return n;
            begin_ = 0;
            end_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, end_ - begin_);
        memcpy(ptr, buf_ + begin_, n);
        begin_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!wait(POLLOUT)) return -1;
        return send(fd_, ptr, size, MSG_NOSIGNAL);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = peer_.to_string();
        port = port_;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        struct sockaddr_storage addr;
        socklen_t len = sizeof addr;
        HostAddr host;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            host_from_sockaddr(reinterpret_cast<sockaddr*>(&addr), &host)) {
            ip = host.to_string();
            port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
        }
    }
    socket_t socket() const override { return fd_; }
    bool expired() const { return Clock::now() >= deadline_; }

private:
    // Waits for `events` until the deadline; false when it passed or the socket failed.
    bool wait(short events) const {
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
            if (left <= 0) return false;
            struct pollfd p = {fd_, events, 0};
            const int n = poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
            if (n > 0) return (p.revents & (events | POLLHUP)) != 0;
            if (n < 0 && errno != EINTR) return false;
        }
    }

    const int fd_;
    const HostAddr peer_;
    const int port_;
    const Clock::time_point deadline_;
    char buf_[4096];
    size_t begin_ = 0, end_ = 0;
};

// The peer of `fd` and its "admin ADDR:PORT" label; false when it has none.
bool peer_of(int fd, HostAddr* host, int* port, std::string* label) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        !host_from_sockaddr(reinterpret_cast<sockaddr*>(&addr), host)) {
        return false;
    }
    // sin_port and sin6_port lie at the same offset.
    *port = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    *label = "admin " + (host->is_v4() ? host->to_string() : "[" + host->to_string() + "]") + ":" +
             std::to_string(*port);
    return true;
}

}  // namespace

BoundedHttpServer::BoundedHttpServer(Bounds bounds, Admit admit, Refused refused)
    : bounds_(bounds), admit_(std::move(admit)), refused_(std::move(refused)) {
    new_task_queue = [] { return new InlineQueue; };
    for (int i = 0; i < bounds_.workers; ++i) workers_.emplace_back([this] { work(); });
}

BoundedHttpServer::~BoundedHttpServer() { stop_all(); }

bool BoundedHttpServer::process_and_close_socket(socket_t sock) {
    fcntl(sock, F_SETFD, FD_CLOEXEC);
    Held h{sock, {}, 0, {}, Clock::now() + bounds_.deadline};
    if (!peer_of(sock, &h.peer, &h.port, &h.label) || !admit_(h.peer, h.label)) {
        close(sock);
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_ || static_cast<int>(held_.size()) >= bounds_.max_connections) {
        lock.unlock();
        refused_(Refusal::kFull, h.peer, h.label);  // logged before the client sees the close
        close(sock);
        return false;
    }
    held_.insert(sock);
    waiting_.push_back(std::move(h));
    ready_.notify_one();
    return true;
}

void BoundedHttpServer::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;  // stopping, nothing left
        const Held h = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();
        serve(h);
        lock.lock();
        held_.erase(h.fd);
        close(h.fd);  // under the lock: stop_all() never shuts down a reused number
    }
}

void BoundedHttpServer::serve(const Held& h) {
    // One that waited for a worker with its request already here gets the whole deadline
    // from now: only the silent ones end at the deadline from their accept.
    struct pollfd p = {h.fd, POLLIN, 0};
    const Clock::time_point deadline =
        poll(&p, 1, 0) > 0 ? std::max(h.deadline, Clock::now() + bounds_.deadline) : h.deadline;
    DeadlineStream stream(h.fd, h.peer, h.port, deadline);
    bool closed = true;
    process_request(stream, true, closed, nullptr);
    if (stream.expired()) refused_(Refusal::kDeadline, h.peer, h.label);
}

void BoundedHttpServer::stop_all() {
    stop();  // httplib's: the listener thread returns
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (const int fd : held_) shutdown(fd, SHUT_RDWR);
        ready_.notify_all();
    }
    for (std::thread& t : workers_) t.join();
}

int BoundedHttpServer::held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(held_.size());
}

}  // namespace gavo::server
