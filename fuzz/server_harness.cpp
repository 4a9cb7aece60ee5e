#include "fuzz/server_harness.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

void enlarge_buffers(int fd) {
    const int size = ServerHarness::kSocketBuffer;
    for (int opt : {SO_SNDBUF, SO_RCVBUF}) {
        const int forced = opt == SO_SNDBUF ? SO_SNDBUFFORCE : SO_RCVBUFFORCE;
        if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof size) != 0) {
            setsockopt(fd, SOL_SOCKET, opt, &size, sizeof size);
        }
    }
}

// Gives `path` modification and access times in 1970, so that any later change of it
// (contents, entries, or the link count) gives it a time that differs for sure.
void age(const std::string& path) {
    const struct timespec times[2] = {{1, 0}, {1, 0}};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        die("cannot set the times of %s: %s", path.c_str(), strerror(errno));
    }
}

}  // namespace

int ServerHarness::WatchedSys::openat2(int dir, const char* path, const struct open_how* how,
                                       size_t size) {
    changed = changed || (how->flags & O_CREAT) != 0;
    return Sys::openat2(dir, path, how, size);
}
int ServerHarness::WatchedSys::openat(int dir, const char* path, int flags, mode_t mode) {
    changed = changed || (flags & O_CREAT) != 0;
    return Sys::openat(dir, path, flags, mode);
}
ssize_t ServerHarness::WatchedSys::write(int fd, const void* buf, size_t n) {
    changed = true;
    return Sys::write(fd, buf, n);
}
int ServerHarness::WatchedSys::ftruncate(int fd, off_t length) {
    changed = true;
    return Sys::ftruncate(fd, length);
}
int ServerHarness::WatchedSys::mkdirat(int dir, const char* path, mode_t mode) {
    changed = true;
    return Sys::mkdirat(dir, path, mode);
}
int ServerHarness::WatchedSys::renameat2(int from_dir, const char* from, int to_dir, const char* to,
                                         unsigned int flags) {
    changed = true;
    return Sys::renameat2(from_dir, from, to_dir, to, flags);
}
int ServerHarness::WatchedSys::unlinkat(int dir, const char* path, int flags) {
    changed = true;
    return Sys::unlinkat(dir, path, flags);
}

ServerHarness& ServerHarness::get() {
    static ServerHarness* harness = [] {
        auto* made = new ServerHarness();  // lives until the process ends
        std::atexit([] { remove_dir(get().work_); });
        return made;
    }();
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
    // Requests are written whole before they are served, so no wait is ever long; a
    // short limit only bounds the cost of a harness mistake.
    config_.stall_timeout = std::chrono::milliseconds(2000);
    config_.max_handles_per_host = 64;  // reached by long inputs, so the limit is fuzzed too
    put_file(work_ + "tables.conf", "events = line:256\nfixed8 = fixed:8\n* = fixed:4\n");
    config_.tables_file = work_ + "tables.conf";
    config_.state_dir = work_ + "state";
    config_.sync = false;  // the database's commits need not reach the disk here
    std::string error;
    if (!root_dir_.open(root_, false, &error)) die("cannot open the root: %s", error.c_str());
    if (!tables_.start(config_, log_, &error)) die("cannot start the tables: %s", error.c_str());
    parse_host_addr("127.0.0.1", &host_);
    lay_out_root();
    for (const char* rel :
         {"canary/secret.txt", "canary/inner/x.txt", "canary/inner", "canary", ""}) {
        age(work_ + rel);
    }
    stamps_ = stamps();
    server::set_sys(&sys_);
}

std::string ServerHarness::stamps() const {
    std::string out;
    for (const char* rel :
         {"", "canary", "canary/inner", "canary/secret.txt", "canary/inner/x.txt"}) {
        struct stat st;
        if (::lstat((work_ + rel).c_str(), &st) != 0) return "missing " + std::string(rel);
        out += std::to_string(st.st_ino) + " " + std::to_string(st.st_mode) + " " +
               std::to_string(st.st_nlink) + " " + std::to_string(st.st_size) + " " +
               std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
               std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + "\n";
    }
    return out;
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

int ServerHarness::begin(int type) {
    check_.begin();
    if (root_changed_) lay_out_root();
    files_ = std::make_unique<server::FileService>(root_dir_, false, true);
    handles_ = std::make_unique<server::HandleTable>(config_.max_handles_per_host);
    ctx_.reset(
        new server::ServerContext{config_, log_, *files_, *handles_, tables_, pending_, limits_});
    int sv[2];
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, sv) != 0)
        die("socketpair: %s", strerror(errno));
    // The stream pair's default buffers hold the largest request and reply of the session
    // target; a request stream cut into tiny packets needs far more.
    if (type == SOCK_SEQPACKET) {
        enlarge_buffers(sv[0]);
        enlarge_buffers(sv[1]);
    }
    session_fd_ = sv[0];
    session_ = std::make_unique<server::Session>(*ctx_, session_fd_, host_, "conn fuzz", -1);
    return sv[1];
}

void ServerHarness::serve_to_end() {
    while (session_->serve_next()) {
    }
}

void ServerHarness::end(const char* target) {
    session_.reset();
    ::close(session_fd_);
    for (auto& [handle, obj] : handles_->take_all()) obj->close();
    if (files_->open_count() != 0) die("%s: %zu files still open", target, files_->open_count());
    ctx_.reset();
    files_.reset();
    handles_.reset();
    root_changed_ = sys_.changed;
    sys_.changed = false;
    if (stamps() != stamps_) die("%s: the canary folder or the work folder changed", target);
    if (root_changed_ || ++inputs_ % 64 == 0) {
        if (snapshot(canary_) != canary_snapshot_) die("%s: the canary folder changed", target);
        const std::string beside = list_names(work_);
        if (beside != "canary\nroot\nstate\ntables.conf\n") {
            die("%s: entries beside the root: %s", target, beside.c_str());
        }
    }
    check_.end(target);
}

size_t send_chunks(int fd, const unsigned char* data, size_t n, size_t chunk) {
    size_t sent = 0;
    while (sent < n) {
        const ssize_t w =
            ::send(fd, data + sent, std::min(chunk, n - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;  // buffer full (only where it could not be enlarged) or closed
        sent += static_cast<size_t>(w);
    }
    return sent;
}

void drain(int fd) {
    static char buf[256 * 1024];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace gavo::fuzz
