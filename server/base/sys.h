// The seam between the server and the file system: every call the server makes on the
// served tree and on the files clients hold open goes through sys(), so that tests can
// count the calls and make any one of them fail. The clock that times the handles' grace
// period is here too, so that tests can move it instead of waiting. The default passes each call straight
// to the kernel (-1 with errno on failure, as the call itself). Sockets, the log and the
// tables' database stay outside: a connection's failures are reached from the client's
// side, and the database's own files are reached through SQLite's file layer.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

struct open_how;
struct flock;

namespace gavo::server {

class Sys {
public:
    virtual ~Sys();

    virtual int openat2(int dir, const char* path, const struct open_how* how, size_t size);
    virtual int openat(int dir, const char* path, int flags, mode_t mode);
    // Releases `fd` even when it reports a failure (as close(2) does on Linux).
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buf, size_t n);
    virtual ssize_t write(int fd, const void* buf, size_t n);
    virtual off_t lseek(int fd, off_t offset, int whence);
    virtual int fstat(int fd, struct stat* st);
    virtual int fstatat(int dir, const char* path, struct stat* st, int flags);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int mkdirat(int dir, const char* path, mode_t mode);
    virtual int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                          unsigned int flags);
    virtual int unlinkat(int dir, const char* path, int flags);
    virtual int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);
    // fcntl with F_OFD_SETLK, F_OFD_SETLKW or F_OFD_GETLK: the byte-range locks that hold
    // the sharing rules between processes.
    virtual int ofd_lock(int fd, int cmd, struct flock* lock);
    // Monotonic time: when a host's last connection ended, and whether its grace is over.
    virtual std::chrono::steady_clock::time_point now();
};

// The seam in use: the kernel's unless a test installed another.
Sys& sys();
// Installs `s` (the kernel's again when null). Tests only: call while no session runs.
void set_sys(Sys* s);
// The kernel's calls whatever is installed: for the server's own files that a test's
// faults must not reach (the log, the state folder's lock).
Sys& kernel_sys();

// Writes all `n` bytes through `through`, again after EINTR and after a short write,
// adding each byte written to `*written` when given (also those before a failure). 0, or
// the errno of the failure (ENOSPC for a write that makes no progress).
int write_all(Sys& through, int fd, const void* buf, size_t n, int64_t* written = nullptr);
// Reads through sys() until `n` bytes, the end of the file or an error, again after EINTR,
// adding each byte read to `*pos` when given (also those before an error); the count
// read, or -errno.
ssize_t read_full(int fd, void* buf, size_t n, int64_t* pos = nullptr);

}  // namespace gavo::server
