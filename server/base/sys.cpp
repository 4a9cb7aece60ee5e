#include "server/base/sys.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace gavo::server {

Sys::~Sys() = default;

int Sys::openat2(int dir, const char* path, const struct open_how* how, size_t size) {
    return static_cast<int>(syscall(SYS_openat2, dir, path, how, size));
}
int Sys::openat(int dir, const char* path, int flags, mode_t mode) {
    return ::openat(dir, path, flags, mode);
}
int Sys::close(int fd) { return ::close(fd); }
ssize_t Sys::read(int fd, void* buf, size_t n) { return ::read(fd, buf, n); }
ssize_t Sys::write(int fd, const void* buf, size_t n) { return ::write(fd, buf, n); }
off_t Sys::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int Sys::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int Sys::fstatat(int dir, const char* path, struct stat* st, int flags) {
    return ::fstatat(dir, path, st, flags);
}
int Sys::fsync(int fd) { return ::fsync(fd); }
int Sys::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int Sys::mkdirat(int dir, const char* path, mode_t mode) { return ::mkdirat(dir, path, mode); }
int Sys::renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
    return ::renameat2(from_dir, from, to_dir, to, flags);
}
int Sys::unlinkat(int dir, const char* path, int flags) { return ::unlinkat(dir, path, flags); }
int Sys::linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    return ::linkat(from_dir, from, to_dir, to, flags);
}
int Sys::ofd_lock(int fd, int cmd, struct flock* lock) { return ::fcntl(fd, cmd, lock); }
std::chrono::steady_clock::time_point Sys::now() { return std::chrono::steady_clock::now(); }

namespace {
Sys kernel;
Sys* current = &kernel;
}  // namespace

Sys& sys() { return *current; }
void set_sys(Sys* s) { current = s != nullptr ? s : &kernel; }
Sys& kernel_sys() { return kernel; }

int write_all(Sys& through, int fd, const void* buf, size_t n, int64_t* written) {
    const auto* p = static_cast<const unsigned char*>(buf);
    while (n > 0) {
        const ssize_t w = through.write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return errno;
        if (w == 0) return ENOSPC;
        p += w;
        n -= static_cast<size_t>(w);
        if (written != nullptr) *written += w;
    }
    return 0;
}

ssize_t read_full(int fd, void* buf, size_t n, int64_t* pos) {
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < n) {
        const ssize_t r = sys().read(fd, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -errno;
        if (r == 0) break;
        done += static_cast<size_t>(r);
        if (pos != nullptr) *pos += r;
    }
    return static_cast<ssize_t>(done);
}

}  // namespace gavo::server
