#include "tests/byte_peer.h"

#include <chrono>

#include "tests/test_socket.h"

namespace gavo::test {

namespace {

constexpr auto kGiveUp = std::chrono::seconds(10);

bool send_all(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        long r = peer_socket::send_some(fd, bytes.data() + sent, bytes.size() - sent);
        if (r <= 0) return false;
        sent += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

BytePeer::BytePeer() {
    int port = 0;
    listen_fd_ = peer_socket::bind_loopback(&port);
    if (listen_fd_ < 0 || peer_socket::listen(listen_fd_, 4) != 0) return;
    port_ = static_cast<uint16_t>(port);
}

BytePeer::~BytePeer() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stop_ = true;
    }
    gate_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) peer_socket::close(listen_fd_);
}

BytePeer& BytePeer::expect(size_t n) {
    script_.push_back({Step::Expect, n, {}});
    return *this;
}

BytePeer& BytePeer::reply(const std::string& bytes) {
    script_.push_back({Step::Reply, 0, bytes});
    return *this;
}

BytePeer& BytePeer::wait_gate() {
    script_.push_back({Step::Gate, 0, {}});
    return *this;
}

BytePeer& BytePeer::close() {
    script_.push_back({Step::Close, 0, {}});
    return *this;
}

BytePeer& BytePeer::reset() {
    script_.push_back({Step::Reset, 0, {}});
    return *this;
}

void BytePeer::start() {
    thread_ = std::thread([this] { run(); });
}

void BytePeer::open_gate() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++gates_opened_;
    }
    gate_cv_.notify_all();
}

void BytePeer::finish() {
    if (thread_.joinable()) thread_.join();
}

std::string BytePeer::received() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
}

std::vector<size_t> BytePeer::recv_sizes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return recv_sizes_;
}

// Polls in short slices so that the destructor's stop request is seen soon.
bool BytePeer::wait_readable(int fd) {
    auto deadline = std::chrono::steady_clock::now() + kGiveUp;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (stop_) return false;
        }
        int r = peer_socket::wait_readable(fd, 50);
        if (r > 0) return true;
        if (r < 0) return false;
    }
    return false;
}

// One receive; false at end of stream or on error.
bool BytePeer::receive_some(int fd) {
    if (!wait_readable(fd)) return false;
    char buf[65536];
    long r = peer_socket::recv_some(fd, buf, sizeof buf);
    if (r <= 0) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    received_.append(buf, static_cast<size_t>(r));
    recv_sizes_.push_back(static_cast<size_t>(r));
    return true;
}

// Runs one step; false when the script ends here (closed, reset, or the client went away).
bool BytePeer::run_step(int fd, const Step& step) {
    switch (step.kind) {
    case Step::Expect: {
        size_t target = received().size() + step.count;
        while (received().size() < target)
            if (!receive_some(fd)) return false;
        return true;
    }
    case Step::Reply: return send_all(fd, step.bytes);
    case Step::Gate: {
        // Each open_gate() lets exactly one gate step pass.
        std::unique_lock<std::mutex> lock(mutex_);
        bool opened = gate_cv_.wait_for(lock, kGiveUp,
                                        [this] { return stop_ || gates_opened_ > gates_passed_; });
        if (!opened || stop_) return false;
        ++gates_passed_;
        return true;
    }
    case Step::Reset: {
        peer_socket::reset_on_close(fd);  // closing with a zero linger time sends RST
        return false;
    }
    case Step::Close:
        // FIN now; then keep receiving until the client closes, so that bytes it still
        // sends are recorded and never turn the close into a reset.
        peer_socket::shutdown_write(fd);
        while (receive_some(fd)) {
        }
        return false;
    }
    return false;
}

void BytePeer::run() {
    if (!wait_readable(listen_fd_)) return;
    int fd = peer_socket::accept(listen_fd_);
    if (fd < 0) return;
    bool open = true;
    for (const Step& step : script_)
        if (!(open = run_step(fd, step))) break;
    if (open)
        while (receive_some(fd)) {
        }
    peer_socket::close(fd);
}

}  // namespace gavo::test
