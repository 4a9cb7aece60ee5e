#include "fuzz/server_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gavo::fuzz {

namespace {

void put_file(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        die("cannot write %s: %s", path.c_str(), strerror(errno));
    }
    ::close(fd);
}

constexpr int kPumpWaitMs = 20000;


}  // namespace

ServerHarness& ServerHarness::get() {
    static ServerHarness* harness = new ServerHarness();  // lives until the process ends
    return *harness;
}

ServerHarness::ServerHarness() : log_([](const std::string&) {}) {
    work_ = make_work_dir("server");
    if (work_.empty()) die("cannot make a work folder");
    root_ = work_ + "root/";
    canary_ = work_ + "canary/";
    ::mkdir(canary_.c_str(), 0755);
    ::mkdir((canary_ + "inner").c_str(), 0755);
    put_file(canary_ + "secret.txt", "canary: no request may read or change this\n");
    put_file(canary_ + "inner/x.txt", "x");
    canary_snapshot_ = snapshot(canary_);
    config_.root = root_;
    config_.stall_timeout = std::chrono::milliseconds(kStallMs);
    config_.max_handles_per_host = 64;  // reached by long inputs, so the limit is fuzzed too
    std::string error;
    if (!root_dir_.open(root_, false, &error)) die("cannot open the root: %s", error.c_str());
    parse_host_addr("127.0.0.1", &host_);
    lay_out_root();
    work_listing_ = "canary\nroot\n";
    worker_ = std::thread([this] { worker_loop(); });
    worker_.detach();
}

void ServerHarness::lay_out_root() {
    clear_dir(root_);
    put_file(root_ + "a.txt", "hello, world\n");
    ::mkdir((root_ + "d").c_str(), 0755);
    ::mkdir((root_ + "d/sub").c_str(), 0755);
    put_file(root_ + "d/b.txt", std::string(100, 'b'));
    ::mkfifo((root_ + "fifo").c_str(), 0644);
    if (::symlink("../canary", (root_ + "out").c_str()) != 0 ||
        ::symlink("../canary/secret.txt", (root_ + "secret").c_str()) != 0 ||
        ::symlink((canary_ + "secret.txt").c_str(), (root_ + "d/abs").c_str()) != 0) {
        die("cannot make the root's links: %s", strerror(errno));
    }
}

void ServerHarness::worker_loop() {
    for (;;) {
        int fd;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return job_fd_ >= 0 && !busy_; });
            fd = job_fd_;
            busy_ = true;
        }
        server::ServerContext ctx{config_, log_, *files_, *handles_};
        {
            server::Session session(ctx, fd, host_, "conn fuzz", -1);
            session.run();
        }
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        job_fd_ = -1;
        busy_ = false;
        changed_.notify_all();
    }
}

int ServerHarness::begin(int type) {
    check_.begin();
    lay_out_root();
    files_ = std::make_unique<server::FileService>(root_dir_, false, true);
    handles_ = std::make_unique<server::HandleTable>(config_.max_handles_per_host);
    int sv[2];
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) != 0) die("socketpair: %s", strerror(errno));
    std::lock_guard<std::mutex> lock(mutex_);
    job_fd_ = sv[0];
    changed_.notify_all();
    return sv[1];
}

void ServerHarness::end(const char* target) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return job_fd_ < 0 && !busy_; });
    }
    for (auto& [handle, obj] : handles_->take_all()) obj->close();
    if (files_->open_count() != 0) die("%s: %zu files still open", target, files_->open_count());
    files_.reset();
    handles_.reset();
    if (snapshot(canary_) != canary_snapshot_) die("%s: the canary folder changed", target);
    const std::string listing = list_names(work_);
    if (listing != work_listing_) die("%s: entries beside the root: %s", target, listing.c_str());
    clear_dir(root_);
    check_.end(target);
}

void pump_all(int fd, const unsigned char* data, size_t n, size_t chunk, std::string* inbox) {
    static unsigned char drop[256 * 1024];
    size_t sent = 0;
    bool writing = n > 0;
    if (!writing) ::shutdown(fd, SHUT_WR);
    for (;;) {
        struct pollfd pfd = {fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        const int r = ::poll(&pfd, 1, kPumpWaitMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) die("server neither reads nor answers (%zu of %zu bytes sent)", sent, n);
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(fd, drop, sizeof drop, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;  // ended
            if (got > 0 && inbox != nullptr) inbox->append(reinterpret_cast<char*>(drop), got);
        }
        if (writing && (pfd.revents & POLLOUT)) {
            const size_t step = std::min(chunk, n - sent);
            const ssize_t w = ::send(fd, data + sent, step, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w > 0) sent += static_cast<size_t>(w);
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || sent == n) {
                writing = false;  // all sent, or the server has stopped reading
                ::shutdown(fd, SHUT_WR);
            }
        }
    }
}

}  // namespace gavo::fuzz
