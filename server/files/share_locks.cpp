#include "server/files/share_locks.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "server/base/sys.h"

namespace gavo::server {

namespace {

// An offset within a region, different for every mark this process takes, so that
// write-only opens (write locks) of one process never meet; another process starts
// elsewhere in the region, and a collision just moves on to the next offset.
int64_t next_offset() {
    static std::atomic<uint64_t> next{std::random_device{}()};
    // An odd step far from 1 spreads consecutive marks over the region.
    const uint64_t n = next.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
    return static_cast<int64_t>(n % static_cast<uint64_t>(kShareMarkSpan));
}

struct flock range(short type, int64_t start, int64_t len) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(len);
    return fl;
}

// 1 when a descriptor other than `fd` holds a lock in the span, 0 when none does, -errno.
int held_in(int fd, int64_t start, int64_t len) {
    struct flock fl = range(F_WRLCK, start, len);
    if (sys().ofd_lock(fd, F_OFD_GETLK, &fl) != 0) return -errno;
    return fl.l_type == F_UNLCK ? 0 : 1;
}

class FdMarks {
public:
    FdMarks(int fd, bool readable) : fd_(fd), type_(readable ? F_RDLCK : F_WRLCK) {}

    int take(int64_t start, int64_t len) {
        for (int i = 0; i < 16; ++i) {
            const int64_t at = start + next_offset() % len;
            struct flock fl = range(type_, at, 1);
            if (sys().ofd_lock(fd_, F_OFD_SETLK, &fl) == 0) {
                at_ = at;
                return 0;
            }
            if (errno != EAGAIN && errno != EACCES) return errno;
        }
        return EAGAIN;
    }
    void drop() {
        struct flock fl = range(F_UNLCK, at_, 1);
        sys().ofd_lock(fd_, F_OFD_SETLK, &fl);
    }
    int held_elsewhere(int64_t start, int64_t len) { return held_in(fd_, start, len); }
    void pause(int attempt) {
        std::this_thread::sleep_for(std::chrono::microseconds(50 * attempt));
    }

private:
    const int fd_;
    const short type_;
    int64_t at_ = 0;
};

}  // namespace

int take_marks(int fd, bool readable, ShareMarks marks) {
    FdMarks locks(fd, readable);
    return take_share_marks(locks, marks);
}

int name_change_marked(int fd) {
    return held_in(fd, share_region_start(kNameChangeRegion), kShareMarkSpan);
}

bool probe_share_locks(int dir_fd, std::string* error) {
    const std::string name = ".gavo-lock-probe-" + std::to_string(getpid());
    int a = sys().openat(dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    int b = -1;
    if (a >= 0) {
        b = sys().openat(dir_fd, name.c_str(), O_RDWR | O_CLOEXEC, 0);
        sys().unlinkat(dir_fd, name.c_str(), 0);  // the open descriptors keep the file
    } else if (errno == EROFS || errno == EACCES || errno == EPERM) {
        a = sys().openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        b = sys().openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    }
    const int open_err = errno;
    int held = -open_err;
    if (a >= 0 && b >= 0) {
        struct flock fl = range(F_RDLCK, share_region_start(kNameChangeRegion), 1);
        held = sys().ofd_lock(a, F_OFD_SETLK, &fl) == 0 ? name_change_marked(b) : -errno;
    }
    if (a >= 0) sys().close(a);
    if (b >= 0) sys().close(b);
    if (held == 1) return true;
    *error = held == 0 ? "the root's file system does not hold byte-range locks (F_OFD_SETLK) "
                         "between descriptors: the sharing rules could not be kept"
                       : std::string("cannot probe the root's byte-range locks (F_OFD_SETLK): ") +
                             strerror(-held);
    return false;
}

}  // namespace gavo::server
