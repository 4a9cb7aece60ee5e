// POSIX (Linux) implementation of the platform seam.
#include <fcntl.h>
#include <linux/fs.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "port/platform.h"

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

Platform posix_platform;

}  // namespace

// A robust recursive pthread mutex.
struct PlatformMutex {
    pthread_mutex_t mutex;
};

Platform& system_platform() { return posix_platform; }

// Sharing is enforced by the library's own table (nfile/cfile.h), among its own opens.
int Platform::open(const char* path, int flags, mode_t mode, FileShare) {
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

namespace {

struct flock lock_of(short type, int64_t start, int64_t len) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(len);
    return fl;
}

}  // namespace

int Platform::lock_range(int fd, bool exclusive, int64_t start, int64_t len) {
    struct flock fl = lock_of(exclusive ? F_WRLCK : F_RDLCK, start, len);
    const int r = ::fcntl(fd, F_OFD_SETLK, &fl);
    if (r != 0 && errno == EACCES) errno = EAGAIN;  // both mean "held by another"
    return r;
}

int Platform::unlock_range(int fd, int64_t start, int64_t len) {
    struct flock fl = lock_of(F_UNLCK, start, len);
    return ::fcntl(fd, F_OFD_SETLK, &fl);
}

int Platform::range_locked_elsewhere(int fd, int64_t start, int64_t len) {
    struct flock fl = lock_of(F_WRLCK, start, len);
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return -1;
    return fl.l_type == F_UNLCK ? 0 : 1;
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

namespace {

bool set_int_option(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

}  // namespace

int Platform::set_keepalive(int fd, int idle_s, int interval_s, int probes, int dead_ms) {
    bool ok = set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
              set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, idle_s) &&
              set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, interval_s) &&
              set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, probes) &&
              set_int_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, dead_ms);
    return ok ? 0 : -1;
}

int Platform::set_receive_timeout(int fd, int seconds) {
    struct timeval limit = {seconds, 0};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
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

void* Platform::allocate(size_t count, size_t size) { return std::calloc(count, size); }

PlatformMutex* Platform::mutex_create() {
    PlatformMutex* m = new (std::nothrow) PlatformMutex;
    if (m == nullptr) return nullptr;
    pthread_mutexattr_t attr;
    int r = pthread_mutexattr_init(&attr);
    if (r == 0) {
        r = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (r == 0) r = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        if (r == 0) r = pthread_mutex_init(&m->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    if (r == 0) return m;
    delete m;
    errno = r;
    return nullptr;
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

int mutex_lock(PlatformMutex* mutex) {
    int r = pthread_mutex_lock(&mutex->mutex);
    if (r == EOWNERDEAD) {
        // The owner ended while holding it: from now on it is this thread's, once.
        pthread_mutex_consistent(&mutex->mutex);
        return 1;
    }
    return r == 0 ? 0 : -1;
}

int mutex_unlock(PlatformMutex* mutex) { return pthread_mutex_unlock(&mutex->mutex) == 0 ? 0 : -1; }

void mutex_destroy(PlatformMutex* mutex) {
    if (mutex != nullptr) pthread_mutex_destroy(&mutex->mutex);
    delete mutex;
}

bool sharing_is_system_wide() { return false; }

bool local_time(time_t t, struct tm* out) { return localtime_r(&t, out) != nullptr; }

// Linux has no debugger output that a library should write to on its own (the syslog
// belongs to the host), and the trace file already holds every line.
void debug_output(const char*) {}

}  // namespace gavo
