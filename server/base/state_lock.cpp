#include "server/base/state_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "server/base/sys.h"

namespace gavo::server {

namespace {

// The process id written in the lock file `fd`, as "process id N"; the holder may not
// have written it yet.
std::string holder_of(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    const long pid = n > 0 ? strtol(text, nullptr, 10) : 0;
    return pid > 0 ? "process id " + std::to_string(pid) : "process id not yet written";
}

}  // namespace

StateLock::~StateLock() {
    if (fd_ >= 0) ::close(fd_);  // the lock goes with the descriptor
}

bool StateLock::held(const std::string& dir, std::string* holder) {
    const std::string path = dir + "/" + kStateLockName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    int rc;
    do {
        rc = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    const bool busy = rc != 0 && errno == EWOULDBLOCK;
    if (busy) *holder = holder_of(fd);
    ::close(fd);  // lets go of the shared lock, if taken
    return busy;
}

bool StateLock::acquire(const std::string& dir, std::string* error) {
    const std::string path = dir + "/" + kStateLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    int err = rc == 0 ? 0 : errno;
    if (err == EWOULDBLOCK) {
        *error = "the state folder " + dir + " is in use by the server with " + holder_of(fd) +
                 " (it holds " + path + "); give each server its own --state";
    } else if (err == 0) {
        const std::string pid = std::to_string(getpid()) + "\n";
        err = ::ftruncate(fd, 0) == 0 ? write_all(kernel_sys(), fd, pid.data(), pid.size()) : errno;
        if (err != 0) *error = "cannot write " + path + ": " + strerror(err);
    } else {
        *error = "cannot lock " + path + ": " + strerror(err);
    }
    if (err != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace gavo::server
