// POSIX implementation of the platform seam.
#include "port/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

namespace gavo {

namespace {

// Runs a system call again while it is interrupted by a signal.
template <typename Call>
auto retry_eintr(Call call) -> decltype(call()) {
    decltype(call()) r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

// Holds SIGPIPE off the calling thread for one TLS call. A SIGPIPE that the call raised is
// taken off the thread before its mask is restored, so the host never sees it; one that
// was already pending stays for the host.
class SigpipeHold {
public:
    SigpipeHold() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeHold() {
        int saved = errno;
        sigset_t pending;
        sigpending(&pending);
        if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
            struct timespec zero = {0, 0};
            sigtimedwait(&pipe_, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    SigpipeHold(const SigpipeHold&) = delete;
    SigpipeHold& operator=(const SigpipeHold&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool was_pending_ = false;
};

// Runs one TLS call, again while a signal interrupts the socket call beneath it.
template <typename Call>
int retry_tls(ssl_st* ssl, Call call) {
    SigpipeHold hold;
    int r;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        r = call();
        if (r > 0 || errno != EINTR) return r;
        int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_SYSCALL)
            return r;
    }
}

Platform posix_platform;
Platform* current = &posix_platform;
thread_local int socket_error = 0;
std::atomic<unsigned> installs{0};

}  // namespace

Platform::~Platform() = default;

int Platform::open(const char* path, int flags, mode_t mode) {
    return retry_eintr([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

// close() is not retried: on Linux the descriptor is gone even when EINTR is returned.
int Platform::close(int fd) { return ::close(fd); }

ssize_t Platform::read(int fd, void* buf, size_t n) {
    return retry_eintr([&] { return ::read(fd, buf, n); });
}

ssize_t Platform::write(int fd, const void* buf, size_t n) {
    return retry_eintr([&] { return ::write(fd, buf, n); });
}

off_t Platform::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }

int Platform::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

int Platform::stat(const char* path, struct stat* st) { return ::stat(path, st); }

int Platform::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }

int Platform::unlink(const char* path) { return ::unlink(path); }

int Platform::rename_noreplace(const char* from, const char* to) {
    long r = ::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (r == 0 || (errno != EINVAL && errno != ENOSYS)) return static_cast<int>(r);
    // The file system cannot rename atomically without replacing: link the new name
    // (which fails when it exists) and drop the old one. Folders cannot be linked.
    if (::link(from, to) != 0) return -1;
    return ::unlink(from);
}

int Platform::fsync(int fd) {
    return retry_eintr([&] { return ::fsync(fd); });
}

int Platform::ftruncate(int fd, off_t length) {
    return retry_eintr([&] { return ::ftruncate(fd, length); });
}

// "e" opens close-on-exec, like every other descriptor here: a program the host starts
// must not inherit the logs.
FILE* Platform::fopen(const char* path, const char* mode) {
    return ::fopen(path, (std::string(mode) + "e").c_str());
}

int Platform::socket(int domain, int type, int protocol) {
    return ::socket(domain, type | SOCK_CLOEXEC, protocol);
}

int Platform::connect(int fd, const struct sockaddr* addr, socklen_t len) {
    int r = ::connect(fd, addr, len);
    if (r < 0 && errno == EINTR) {
        // The connection goes on in the background: wait for it and fetch its result.
        fd_set wr;
        FD_ZERO(&wr);
        FD_SET(fd, &wr);
        if (retry_eintr([&] { return ::select(fd + 1, nullptr, &wr, nullptr, nullptr); }) < 0)
            return -1;
        int err = 0;
        socklen_t elen = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &elen) < 0) return -1;
        if (err != 0) {
            errno = err;
            return -1;
        }
        return 0;
    }
    return r;
}

ssize_t Platform::send(int fd, const void* buf, size_t n) {
    return retry_eintr([&] { return ::send(fd, buf, n, MSG_NOSIGNAL); });
}

ssize_t Platform::recv(int fd, void* buf, size_t n) {
    return retry_eintr([&] { return ::recv(fd, buf, n, 0); });
}

int Platform::wait_readable(int fd, int seconds) {
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(fd, &rd);
    struct timeval tv = {seconds, 0};
    return retry_eintr([&] { return ::select(fd + 1, &rd, nullptr, nullptr, &tv); });
}

int Platform::shutdown(int fd, int how) { return ::shutdown(fd, how); }

int Platform::setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    return ::setsockopt(fd, level, name, value, len);
}

int Platform::close_socket(int fd) { return ::close(fd); }

int Platform::lookup_host(const char* name, struct in_addr* out) {
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    struct addrinfo* res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) return -1;
    *out = reinterpret_cast<struct sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
    return 0;
}

int Platform::lookup_service(const char* name, const char* proto, uint16_t* port_net) {
    struct servent ent, *found = nullptr;
    std::vector<char> buf(4096);
    if (::getservbyname_r(name, proto, &ent, buf.data(), buf.size(), &found) != 0 || !found)
        return -1;
    *port_net = static_cast<uint16_t>(found->s_port);
    return 0;
}

int Platform::lookup_protocol(const char* name, int* number) {
    struct protoent ent, *found = nullptr;
    std::vector<char> buf(4096);
    if (::getprotobyname_r(name, &ent, buf.data(), buf.size(), &found) != 0 || !found) return -1;
    *number = found->p_proto;
    return 0;
}

int Platform::tls_connect(ssl_st* ssl) {
    return retry_tls(ssl, [&] { return SSL_connect(ssl); });
}

int Platform::tls_read(ssl_st* ssl, void* buf, int n) {
    return retry_tls(ssl, [&] { return SSL_read(ssl, buf, n); });
}

int Platform::tls_write(ssl_st* ssl, const void* buf, int n) {
    return retry_tls(ssl, [&] { return SSL_write(ssl, buf, n); });
}

int Platform::tls_shutdown(ssl_st* ssl) {
    return retry_tls(ssl, [&] { return SSL_shutdown(ssl); });
}

void* Platform::allocate(size_t count, size_t size) { return std::calloc(count, size); }

int Platform::mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr) {
    return ::pthread_mutex_init(mutex, attr);
}

time_t Platform::now() { return ::time(nullptr); }

void Platform::sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

std::string Platform::exe_dir() {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return std::string();
    std::string path(buf.data(), static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

Platform& platform() { return *current; }

void set_platform(Platform* p) {
    current = p ? p : &posix_platform;
    installs.fetch_add(1);
}

unsigned platform_installs() { return installs.load(); }

int last_socket_error() { return socket_error; }

void note_socket_error(int err) { socket_error = err; }

}  // namespace gavo
