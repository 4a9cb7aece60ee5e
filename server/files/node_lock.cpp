#include "server/files/node_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/files/handles.h"
#include "server/files/names.h"

namespace gavo::server {

namespace {

// Node N's slot: kSlotSize bytes at N * kSlotSize, locked and holding its claimant's text.
constexpr off_t kSlotSize = 128;
// Node count M: the byte at kCountBase + M, read-locked by every node running with M.
constexpr off_t kCountBase = kSlotSize * (kMaxNodes + 1);

// F_OFD_SETLK (set) or F_OFD_GETLK of `type` over `length` bytes at `start`; 0 or errno.
int ofd_lock(int fd, bool set, short type, off_t start, off_t length, struct flock* out) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    int rc;
    do {
        rc = fcntl(fd, set ? F_OFD_SETLK : F_OFD_GETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    if (out) *out = fl;
    return rc == 0 ? 0 : errno;
}

// The node count of another node's lock in `from`..`to` (bytes above kCountBase); 0: none.
int other_count(int fd, int from, int to) {
    struct flock found;
    if (from > to || ofd_lock(fd, false, F_WRLCK, kCountBase + from, to - from + 1, &found) != 0) {
        return 0;
    }
    return found.l_type == F_UNLCK ? 0 : static_cast<int>(found.l_start - kCountBase);
}

std::string claimant_of(int fd, int node) {
    char text[kSlotSize + 1] = {};
    const ssize_t n = pread(fd, text, kSlotSize, node * kSlotSize);
    const std::string s = n > 0 ? std::string(text, strnlen(text, static_cast<size_t>(n))) : "";
    return s.empty() ? "a server that has not yet written its process id" : s;
}

}  // namespace

NodeLock::~NodeLock() {
    if (fd_ >= 0) ::close(fd_);  // the locks go with the descriptor
}

bool NodeLock::acquire(const std::string& root, int node, int nodes, std::string* error) {
    const std::string path = root + "/" + kNodeLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    const std::string me = "node " + std::to_string(node) + " of " + std::to_string(nodes);
    int err = ofd_lock(fd, true, F_WRLCK, node * kSlotSize, kSlotSize, nullptr);
    if (err == 0) err = ofd_lock(fd, true, F_RDLCK, kCountBase + nodes, 1, nullptr);
    int other = 0;
    if (err == 0) {
        // Taken before looking, so of two nodes starting together at least one sees the other.
        other = other_count(fd, 1, nodes - 1);
        if (other == 0) other = other_count(fd, nodes + 1, kMaxNodes);
    }
    if (err == EAGAIN || err == EACCES) {
        *error = me + " on the root " + root + " is already served by " + claimant_of(fd, node) +
                 " (it holds " + path + "); give each node its own N";
    } else if (err != 0) {
        *error = "cannot lock " + path + " (" + strerror(err) +
                 "): nodes need byte-range locks on the root's file system to keep apart";
    } else if (other != 0) {
        *error = "another node of the root " + root + " runs with --node N/" +
                 std::to_string(other) + ", this one with " + std::to_string(node) + "/" +
                 std::to_string(nodes) + "; all nodes of a root need the same M";
    } else {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        char text[kSlotSize] = {};
        snprintf(text, sizeof text, "the server with process id %ld on %s",
                 static_cast<long>(getpid()), host);
        if (pwrite(fd, text, sizeof text, node * kSlotSize) != static_cast<ssize_t>(sizeof text)) {
            *error = "cannot write " + path + ": " + strerror(errno);
        } else {
            fd_ = fd;
            return true;
        }
    }
    ::close(fd);
    return false;
}

}  // namespace gavo::server
