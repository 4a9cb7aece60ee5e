#include "server/files/resolver.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "server/base/sys.h"
#include "server/files/share_locks.h"

namespace gavo::server {

namespace {

// Splits "a/b/c" into its folder part "a/b" ("" for none) and its last component "c".
void split_last(const std::string& rel, std::string* dir, std::string* last) {
    const size_t slash = rel.rfind('/');
    if (slash == std::string::npos) {
        dir->clear();
        *last = rel;
    } else {
        *dir = rel.substr(0, slash);
        *last = rel.substr(slash + 1);
    }
}

// Creates every missing folder of an ordinary path (the root folder itself, at start-up).
bool make_path(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

int close_keep_errno(int fd) {
    const int saved = errno;
    sys().close(fd);
    errno = saved;
    return 0;
}

}  // namespace

RootDir::~RootDir() {
    if (fd_ >= 0) ::close(fd_);
}

bool RootDir::usable(std::string* why) const {
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        *why = std::string("the root is not usable: ") + strerror(errno);
        return false;
    }
    if (st.st_nlink == 0) {
        *why = "the root folder was removed";
        return false;
    }
    return true;
}

bool RootDir::open(const std::string& path, bool component_walk, std::string* error) {
    if (path.empty() || !make_path(path)) {
        *error = "cannot create root folder '" + path + "': " + strerror(errno);
        return false;
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        *error = "cannot open root folder '" + path + "': " + strerror(errno);
        return false;
    }
    walk_ = component_walk;
    if (!walk_) {
        const int probe = open_beneath(".", O_PATH | O_DIRECTORY, 0);
        if (probe == -ENOSYS) walk_ = true;
        if (probe >= 0) sys().close(probe);
    }
    return true;
}

bool RootDir::open_beneath(const RootDir& root, const std::string& rel, std::string* error) {
    // make_dirs() creates the folders on the way to a last component: "rel/." names
    // `rel` itself as the way there.
    const int made = rel.empty() ? 0 : root.make_dirs(rel + "/.", true);
    fd_ = made == 0 ? root.open_at(rel.empty() ? "." : rel, O_RDONLY | O_DIRECTORY) : made;
    if (fd_ < 0) {
        *error = "cannot open folder '" + rel + "' beneath the root: " + strerror(-fd_);
        fd_ = -1;
        return false;
    }
    walk_ = root.walk_;
    return true;
}

bool RootDir::add_folders_up_to(const RootDir& root, FolderPins* out) const {
    struct stat top, st;
    if (sys().fstat(root.fd_, &top) != 0) return false;
    int fd = sys().openat(fd_, ".", O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    // Deeper than any path can be: the way up from outside the root ends at "/", whose
    // ".." is itself.
    for (int depth = 0; fd >= 0 && depth < 4096 && sys().fstat(fd, &st) == 0; ++depth) {
        if (st.st_dev == top.st_dev && st.st_ino == top.st_ino) {
            sys().close(fd);
            return true;
        }
        out->insert({st.st_dev, st.st_ino});
        const int up = sys().openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        sys().close(fd);
        fd = up;
    }
    if (fd >= 0) sys().close(fd);
    return false;
}

bool RootDir::is_at(const RootDir& root, const std::string& rel) const {
    const int fd = root.open_at(rel.empty() ? "." : rel, O_PATH | O_DIRECTORY);
    struct stat there, here;
    const bool same = fd >= 0 && sys().fstat(fd, &there) == 0 && sys().fstat(fd_, &here) == 0 &&
                      there.st_dev == here.st_dev && there.st_ino == here.st_ino;
    if (fd >= 0) sys().close(fd);
    return same;
}

int RootDir::open_at(const std::string& rel, int flags, mode_t mode) const {
    if (!walk_) {
        const int fd = open_beneath(rel, flags, mode);
        if (fd != -ENOSYS) return fd;
    }
    return open_by_walk(rel, flags, mode);
}

int RootDir::open_beneath(const std::string& rel, int flags, mode_t mode) const {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: a rename raced with the resolution; the kernel asks for another try.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = sys().openat2(fd_, rel.c_str(), &how, sizeof how);
        if (fd >= 0) return fd;
        if (errno != EAGAIN && errno != EINTR) return -errno;
    }
    return -EAGAIN;
}

int RootDir::open_by_walk(const std::string& rel, int flags, mode_t mode) const {
    int dir = fd_;
    size_t start = 0;
    for (size_t slash; (slash = rel.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string part = rel.substr(start, slash - start);
        const int next =
            sys().openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        const int err = errno;
        if (dir != fd_) sys().close(dir);
        if (next < 0) return -err;
        dir = next;
    }
    const std::string last = rel.substr(start);
    // "." names the root itself (used to test for openat2 and to open the root's folder).
    const int extra = last == "." ? 0 : O_NOFOLLOW;
    const int fd = sys().openat(dir, last.c_str(), flags | extra | O_CLOEXEC, mode);
    const int err = errno;
    if (dir != fd_) sys().close(dir);
    return fd >= 0 ? fd : -err;
}

int RootDir::reopen(int path_fd, const struct stat& st, const std::string& rel, int flags) const {
    const std::string self = "/proc/self/fd/" + std::to_string(path_fd);
    int fd = sys().openat(AT_FDCWD, self.c_str(), flags | O_CLOEXEC, 0);
    if (fd >= 0) return fd;
    if (errno != ENOENT) return -errno;
    // No /proc (a chroot or a container without it): the name is opened once more, so a
    // special file swapped in meanwhile would be opened, though never read or written.
    fd = open_at(rel, flags);
    if (fd < 0) return fd;
    struct stat now;
    const int err = sys().fstat(fd, &now) == 0 ? 0 : errno;
    if (err == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) return fd;
    sys().close(fd);
    return err != 0 ? -err : -EAGAIN;
}

int RootDir::open_parent(const std::string& rel, std::string* last) const {
    std::string dir;
    split_last(rel, &dir, last);
    return open_at(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY);
}

bool RootDir::parent_exists(const std::string& rel) const {
    std::string last;
    const int fd = open_parent(rel, &last);
    if (fd < 0) return false;
    sys().close(fd);
    return true;
}

int RootDir::make_dirs(const std::string& rel, bool sync) const {
    for (size_t slash = rel.find('/'); slash != std::string::npos;
         slash = rel.find('/', slash + 1)) {
        const std::string prefix = rel.substr(0, slash);
        // Any kind of entry counts as present, as for the library's local back end: a
        // file standing where a folder should be makes the open fail again (a path
        // error), while a missing folder beneath such a file cannot be created (ENOTDIR,
        // a folder error), so that both working modes give a host the same code.
        const int existing = open_at(prefix, O_PATH);
        if (existing >= 0) {
            sys().close(existing);
            continue;
        }
        if (existing != -ENOENT) return existing;
        std::string name;
        const int parent = open_parent(prefix, &name);
        if (parent < 0) return parent;
        int rc = sys().mkdirat(parent, name.c_str(), 0777) == 0 || errno == EEXIST ? 0 : -errno;
        if (rc == 0 && sync && sys().fsync(parent) != 0) rc = -errno;
        close_keep_errno(parent);
        if (rc != 0) return rc;
    }
    return 0;
}

std::string RootDir::remote_kind() const {
    static const struct {
        unsigned long magic;
        const char* name;
    } kRemote[] = {
        {0x6969, "nfs"},      {0x517B, "smb"},       {0xFF534D42, "cifs"}, {0xFE534D42, "smb2"},
        {0x65735546, "fuse"}, {0x00C36400, "ceph"},  {0x01021997, "9p"},   {0x5346414F, "afs"},
        {0x73757245, "coda"}, {0x7461636F, "ocfs2"}, {0x01161970, "gfs2"}, {0x0BD00BD0, "lustre"},
    };
    struct statfs fs;
    if (fstatfs(fd_, &fs) != 0) return "";
    for (const auto& r : kRemote) {
        if (static_cast<unsigned long>(fs.f_type) == r.magic) return r.name;
    }
    return "";
}

bool RootDir::holds_share_locks(std::string* error) const { return probe_share_locks(fd_, error); }

}  // namespace gavo::server
