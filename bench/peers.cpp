#include "bench/peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <system_error>
#include <thread>

#include "bench/util.h"
#include "proto/codes.h"
#include "proto/reply.h"
#include "proto/request.h"
#include "proto/share_locks.h"

namespace bench {

namespace {

constexpr size_t kStep = 4096;
int serving_nice = 0;
bool serving_pinned = false;

// The cores [first, end) for this process and the threads and processes it starts.
bool pin_to(unsigned first, unsigned end) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned c = first; c < end; ++c) CPU_SET(c, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

unsigned cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// In a new server or peer process, before it starts any thread (they inherit it).
void apply_serving_cores() {
    if (serving_pinned) pin_to(cores() / 2, cores());
}

// The same, and the nice value (not for nginx, which keeps its own).
void apply_serving_nice() {
    if (serving_nice != 0) setpriority(PRIO_PROCESS, 0, serving_nice);
    apply_serving_cores();
}

void play_script(int fd, const std::vector<Exchange>& script) {
    std::vector<char> buf(1 << 16);
    for (;;) {
        for (const Exchange& e : script) {
            if (!recv_all(fd, buf.data(), e.request) || !send_all(fd, buf.data(), e.reply)) {
                close(fd);
                return;
            }
        }
    }
}

// 'W': receives the bytes in 4 KiB receives, answers 4 bytes. 'R': sends them in 4 KiB
// sends. Moves the bytes only; nothing touches a disk.
void serve_bulk(int fd) {
    char cmd = 0;
    uint64_t size = 0;
    char buf[kStep] = {};
    if (recv_all(fd, &cmd, 1) && recv_all(fd, &size, sizeof size)) {
        for (uint64_t done = 0; done < size;) {
            const size_t n = size - done < kStep ? size - done : kStep;
            const ssize_t r = cmd == 'W' ? recv(fd, buf, n, 0) : send(fd, buf, n, MSG_NOSIGNAL);
            if (r <= 0) break;
            done += static_cast<uint64_t>(r);
        }
        if (cmd == 'W') send_all(fd, "done", 4);
    }
    close(fd);
}

[[noreturn]] void serve_forever(int listener, RawPeer::Mode mode,
                                const std::vector<Exchange>& script) {
    const int one = 1;
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (mode == RawPeer::kBulk) {
            std::thread(serve_bulk, fd).detach();
        } else {
            std::thread(play_script, fd, script).detach();
        }
    }
}

}  // namespace

void set_serving_nice(int nice) { serving_nice = nice; }

bool set_pinned(bool pin) {
    if (!pin || cores() < 2 || !pin_to(0, cores() / 2)) return false;
    serving_pinned = true;
    return true;
}

RawPeer::RawPeer(Mode mode, std::vector<Exchange> script) {
    const int listener = listen_loopback(&port_);
    if (listener < 0) return;
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        apply_serving_nice();
        serve_forever(listener, mode, script);
    }
    close(listener);
}

RawPeer::~RawPeer() { stop_process(pid_, SIGKILL); }

namespace {

using gavo::wire::RequestDecoder;

constexpr int kFloorSlots = 8;         // open files per connection
constexpr size_t kFloorInput = 16384;  // one receive; the decoder keeps what it needs
constexpr int kFloorEvents = 256;

// A connection's state. The decoder keeps a request's fields across receives, so the
// receive buffer belongs to the loop or the thread, not to the connection.
struct FloorConn {
    int fd = -1;
    RequestDecoder decoder;
    int files[kFloorSlots];
    int writing = -1;       // descriptor of the write in progress; -1: none or failed
    int32_t written = 0;    // its answer so far: the bytes written or a negative code
    bool want_out = false;  // replies wait for the socket to take them
    std::string out;        // replies not yet sent
    FloorConn() { std::fill(std::begin(files), std::end(files), -1); }
};

void put_reply(FloorConn& c, const gavo::wire::ReplyBytes& r) {
    c.out.append(reinterpret_cast<const char*>(r.bytes), r.size);
}

// The client's name as a path beneath the root: backslashes become slashes.
void floor_path(const gavo::wire::NameField& name, char* path) {
    const size_t n = name.kept_size();
    for (size_t i = 0; i < n; ++i) path[i] = name.kept[i] == '\\' ? '/' : name.kept[i];
    path[n > 0 ? n - 1 : 0] = 0;  // the kept bytes end with the name's zero
}

// Makes every folder on the way to `path` (mkdir -p without the last part).
void make_folders(int root, char* path) {
    for (char* slash = strchr(path, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        *slash = 0;
        mkdirat(root, path, 0777);
        *slash = '/';
    }
}

// Set in the peer's process before its threads start: whether opens make the calls the
// sharing rules between processes need (see FloorPeer::Calls).
bool floor_sharing = false;

// The open as the server resolves it: beneath the root, no magic links.
int floor_openat(int root, const char* path, int flags) {
    if (!floor_sharing) return openat(root, path, flags, 0666);
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) ? 0666 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, root, path, &how, sizeof how));
}

// The sharing marks on a write-only descriptor (write locks), for take_share_marks.
struct FloorMarks {
    int fd;
    int64_t at = 0;
    static int64_t next_offset() {
        static std::atomic<uint64_t> next{0};
        return static_cast<int64_t>(next.fetch_add(7919, std::memory_order_relaxed) %
                                    static_cast<uint64_t>(gavo::kShareMarkSpan));
    }
    static struct flock range(short type, int64_t start, int64_t len) {
        struct flock fl {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(start);
        fl.l_len = static_cast<off_t>(len);
        return fl;
    }
    int take(int64_t start, int64_t len) {
        at = start + next_offset() % len;
        struct flock fl = range(F_WRLCK, at, 1);
        return fcntl(fd, F_OFD_SETLK, &fl) == 0 ? 0 : errno;
    }
    void drop() {
        struct flock fl = range(F_UNLCK, at, 1);
        fcntl(fd, F_OFD_SETLK, &fl);
    }
    int held_elsewhere(int64_t start, int64_t len) {
        struct flock fl = range(F_WRLCK, start, len);
        if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return -errno;
        return fl.l_type == F_UNLCK ? 0 : 1;
    }
    void pause(int) { sched_yield(); }
};

// What an admitted open needs beyond the descriptor: the device and inode the sharing
// table is keyed on, and the marks between processes. False when refused.
bool floor_admit(int fd, int flags) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    FloorMarks marks{fd};
    const unsigned int mode = gavo::mode_word_from_open_flags(static_cast<unsigned int>(flags));
    return gavo::take_share_marks(marks, gavo::share_marks_of(mode)) == 0;
}

// The file calls of a create-mode open: the exclusive creation first, the existing file
// cut to nothing otherwise; folders only when the creation found none. With the sharing
// calls, the cut waits for the admission, as the server's does.
int floor_create(int root, char* path, int flags) {
    const int create = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = floor_openat(root, path, create);
    const bool existed = fd < 0 && errno == EEXIST;
    if (existed)
        fd = floor_openat(root, path, O_WRONLY | O_CLOEXEC | (floor_sharing ? 0 : O_TRUNC));
    if (fd < 0 && errno == ENOENT) {
        make_folders(root, path);
        fd = floor_openat(root, path, create);
    }
    if (fd >= 0 && floor_sharing &&
        (!floor_admit(fd, flags) || (existed && ftruncate(fd, 0) != 0))) {
        close(fd);
        return -1;
    }
    return fd;
}

int floor_open(FloorConn& c, int root, const gavo::wire::NameField& name, int flags) {
    int* slot = std::find(std::begin(c.files), std::end(c.files), -1);
    if (slot == std::end(c.files)) return gavo::kCodeRefused;
    char path[gavo::kNameFieldKeep + 1];
    floor_path(name, path);
    *slot = floor_create(root, path, flags);
    return *slot >= 0 ? static_cast<int>(slot - c.files) + 1 : gavo::kCodeRefused;
}

// The descriptor a handle names; -1 for none.
int floor_file(const FloorConn& c, int handle) {
    return handle >= 1 && handle <= kFloorSlots ? c.files[handle - 1] : -1;
}

int floor_close(FloorConn& c, int handle) {
    const int fd = floor_file(c, handle);
    if (fd < 0) return gavo::kCodeNotFound;
    c.files[handle - 1] = -1;
    return close(fd) == 0 ? 0 : gavo::kCodeIoError;
}

int32_t floor_exists(int root, const gavo::wire::NameField& name) {
    char path[gavo::kNameFieldKeep + 1];
    floor_path(name, path);
    struct stat st;
    return fstatat(root, path, &st, 0) == 0 ? 1 : 0;
}

// A request's fields have arrived: serves the bodiless ones, begins a write. False for a
// request the floor does not serve.
bool floor_header(FloorConn& c, int root) {
    const gavo::wire::RequestHeader& h = c.decoder.header();
    switch (h.op()) {
    case gavo::wire::kOpOpen:
        put_reply(c, gavo::wire::encode_short(floor_open(c, root, h.names[0], h.flags)));
        return true;
    case gavo::wire::kOpWrite:
        c.writing = floor_file(c, h.handle);
        c.written = c.writing >= 0 ? 0 : gavo::kCodeNotFound;
        return true;
    case gavo::wire::kOpClose:
        put_reply(c, gavo::wire::encode_short(floor_close(c, h.handle)));
        return true;
    case gavo::wire::kOpExists:
        put_reply(c, gavo::wire::encode_long(floor_exists(root, h.names[0])));
        return true;
    default: return false;
    }
}

void floor_data(FloorConn& c, const unsigned char* data, size_t size) {
    if (c.writing < 0) return;  // the rest of a failed write is dropped
    if (write(c.writing, data, size) == static_cast<ssize_t>(size)) {
        c.written += static_cast<int32_t>(size);
    } else {
        c.writing = -1;
        c.written = gavo::kCodeIoError;
    }
}

// Serves every request that in[0..n) completes and begins the next; false when the
// connection should end. The replies are left in c.out.
bool floor_feed(FloorConn& c, int root, const unsigned char* in, size_t n) {
    using Event = RequestDecoder::Event;
    for (size_t off = 0;;) {
        const RequestDecoder::Step step = c.decoder.feed(in + off, n - off);
        off += step.used;
        switch (step.event) {
        case Event::kNeedMore: return true;
        case Event::kHeader:
            if (!floor_header(c, root)) return false;
            break;
        case Event::kData: floor_data(c, step.data, step.size); break;
        case Event::kEnd:
            if (c.decoder.header().op() == gavo::wire::kOpWrite) {
                put_reply(c, gavo::wire::encode_long(c.written));
            }
            break;
        default:  // malformed, or a table record
            return false;
        }
    }
}

void floor_drop(FloorConn* c) {
    for (int fd : c->files) {
        if (fd >= 0) close(fd);
    }
    close(c->fd);  // also leaves every epoll set
    delete c;
}

void floor_connection(int fd, int root) {
    auto* c = new FloorConn;
    c->fd = fd;
    unsigned char in[kFloorInput];
    for (ssize_t n; (n = recv(fd, in, sizeof in, 0)) > 0;) {
        const bool go_on = floor_feed(*c, root, in, static_cast<size_t>(n));
        if (!send_all(fd, c->out.data(), c->out.size()) || !go_on) break;
        c->out.clear();
    }
    floor_drop(c);
}

// A listener on 127.0.0.1:port (0: a free one, stored in *port) that others may share.
int listen_shared(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(*port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

void set_nodelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

[[noreturn]] void floor_threads(int listener, int root) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        set_nodelay(fd);
        try {
            std::thread(floor_connection, fd, root).detach();
        } catch (const std::system_error&) {
            close(fd);  // no thread to be had: the connection is refused
        }
    }
}

void floor_accept(int ep, int listener) {
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        set_nodelay(fd);
        auto* c = new FloorConn;
        c->fd = fd;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) floor_drop(c);
    }
}

// Sends what the socket takes; the rest waits for EPOLLOUT. False when the send failed.
bool floor_flush(int ep, FloorConn& c) {
    size_t sent = 0;
    while (sent < c.out.size()) {
        const ssize_t n = send(c.fd, c.out.data() + sent, c.out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    c.out.erase(0, sent);
    const bool want_out = !c.out.empty();
    if (want_out != c.want_out) {
        epoll_event ev{};
        ev.events = EPOLLIN | (want_out ? EPOLLOUT : 0u);
        ev.data.ptr = &c;
        epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
        c.want_out = want_out;
    }
    return true;
}

// Reads what has come (an error or hang-up shows as a failed receive), serves it and
// sends the replies; false when the connection ends.
bool floor_ready(int ep, FloorConn& c, int root, unsigned char* in, uint32_t events) {
    bool go_on = true;
    while (go_on && (events & ~static_cast<uint32_t>(EPOLLOUT)) != 0) {
        const ssize_t n = recv(c.fd, in, kFloorInput, 0);
        if (n < 0 && errno == EAGAIN) break;
        if (n <= 0) return false;
        go_on = floor_feed(c, root, in, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < kFloorInput) break;  // drained; level-triggered anyway
    }
    return floor_flush(ep, c) && go_on;
}

[[noreturn]] void floor_loop(int listener, int root) {
    fcntl(listener, F_SETFL, O_NONBLOCK);  // accepts until none waits, then back to the loop
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the listener
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    std::vector<unsigned char> in(kFloorInput);
    epoll_event events[kFloorEvents];
    for (;;) {
        const int n = epoll_wait(ep, events, kFloorEvents, -1);
        for (int i = 0; i < n; ++i) {
            auto* c = static_cast<FloorConn*>(events[i].data.ptr);
            if (c == nullptr) {
                floor_accept(ep, listener);
            } else if (!floor_ready(ep, *c, root, in.data(), events[i].events)) {
                floor_drop(c);
            }
        }
    }
}

// One loop per core, each on a listener of its own: the kernel spreads the connections.
[[noreturn]] void floor_epoll(int listener, int port, int root) {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 1; i < cores; ++i) {
        int same = port;
        const int more = listen_shared(&same);
        if (more >= 0) std::thread(floor_loop, more, root).detach();
    }
    floor_loop(listener, root);
}

}  // namespace

FloorPeer::FloorPeer(Model model, const std::string& root, Calls calls) {
    const int listener = listen_shared(&port_);
    const int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listener >= 0 && dir >= 0) {
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the harness
            apply_serving_nice();
            floor_sharing = calls == kSharing;
            if (model == kThreads) floor_threads(listener, dir);
            floor_epoll(listener, port_, dir);
        }
    }
    if (listener >= 0) close(listener);
    if (dir >= 0) close(dir);
}

FloorPeer::~FloorPeer() { stop_process(pid_, SIGKILL); }

GavoServer::GavoServer(const std::string& binary, const std::string& root, const std::string& log,
                       const std::vector<std::string>& extra) {
    std::vector<std::string> args = {binary,        "--listen",
                                     "127.0.0.1:0", "--root",
                                     root,          "--max-connections",
                                     "4096",        "--max-handles",
                                     "4096",        "--max-connections-per-host",
                                     "4096",        "--max-descriptors-per-host",
                                     "8192"};
    args.insert(args.end(), extra.begin(), extra.end());
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        apply_serving_nice();
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    if (pid_ > 0) port_ = wait_logged_port(log);
}

GavoServer::~GavoServer() { stop_process(pid_, SIGTERM); }

namespace {

std::string nginx_config(const std::string& prefix, const std::string& root, int port) {
    std::string c = "daemon off;\nworker_processes 1;\npid " + prefix + "/nginx.pid;\n";
    c += "error_log " + prefix + "/error.log warn;\n";
    if (geteuid() == 0) c += "user root;\n";  // keep the current user's identity
    c += "events { worker_connections 1024; }\nhttp {\n  access_log off;\n";
    c += "  sendfile on;\n  tcp_nopush on;\n  client_max_body_size 0;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        c += std::string("  ") + t + "_temp_path " + prefix + "/" + t + ";\n";
    }
    c += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n";
    c += "    root " + root + ";\n";
    c += "    location / { dav_methods PUT; create_full_put_path on; }\n  }\n}\n";
    return c;
}

// A port that was free a moment ago (nginx binds it itself).
int free_port() {
    int port = 0;
    const int fd = listen_loopback(&port);
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace

Nginx::Nginx(const std::string& binary, const std::string& prefix, const std::string& root) {
    const int port = free_port();
    const std::string conf = prefix + "/nginx.conf";
    write_text(conf, nginx_config(prefix, root, port));
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        apply_serving_cores();
        const int fd = open((prefix + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        execl(binary.c_str(), binary.c_str(), "-p", (prefix + "/").c_str(), "-c", conf.c_str(),
              "-e", (prefix + "/error.log").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ > 0 && wait_accepting(port)) {
        port_ = port;
    } else {
        error_ = "nginx did not start; see " + prefix + "/stderr.log and error.log";
    }
}

Nginx::~Nginx() { stop_process(pid_, SIGTERM); }

}  // namespace bench
