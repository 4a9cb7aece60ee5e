// Every file-system call of the server on a client's name goes through RootDir, which
// resolves names from an open descriptor of the root folder, never from a path string:
// with openat2(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS) the kernel refuses any step that
// would leave the root (EXDEV), symbolic links included; where the kernel lacks openat2
// (ENOSYS), each component is opened with O_NOFOLLOW, so no link is followed at all.
//
// Names given here are already folded by parse_client_name: components joined by '/',
// none of them empty, "." or "..". Results are a descriptor (>= 0) or -errno.
// Thread-safe: the object is read-only after open().
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <set>
#include <string>
#include <utility>

namespace gavo::server {

// Folders by device and inode (see FileService::pin_folders).
using FolderPins = std::set<std::pair<dev_t, ino_t>>;

class RootDir {
public:
    RootDir() = default;
    ~RootDir();
    RootDir(const RootDir&) = delete;
    RootDir& operator=(const RootDir&) = delete;

    // Creates `path` (and its missing parents) when missing and opens it. With
    // `component_walk` the openat2 path is never tried. False with `error` set on failure.
    bool open(const std::string& path, bool component_walk, std::string* error);
    // Opens the folder `rel` beneath `root` (creating it and its missing parents, with
    // the same confinement as every other name) as a root of its own, resolving as
    // `root` does; "" is `root` itself. False with `error` set on failure.
    bool open_beneath(const RootDir& root, const std::string& rel, std::string* error);

    // Opens `rel` beneath the root with `flags` (O_CLOEXEC is added) and `mode`.
    int open_at(const std::string& rel, int flags, mode_t mode = 0) const;
    // Opens the file that `path_fd` (an O_PATH descriptor of `rel`, whose fstat gave
    // `st`) refers to with `flags` (O_CLOEXEC is added), through /proc/self/fd: the same
    // file, whatever has been renamed since. Without /proc, `rel` is opened again and
    // kept only when it is still that file (-EAGAIN when not).
    int reopen(int path_fd, const struct stat& st, const std::string& rel, int flags) const;
    // Opens the folder holding `rel`'s last component for reading (so that it can be
    // fsynced) and stores that component in `last`.
    int open_parent(const std::string& rel, std::string* last) const;
    // Creates the missing folders on the way to `rel`'s last component (never the last
    // one itself), fsyncing each new folder's parent when `sync` is set. 0 or -errno.
    int make_dirs(const std::string& rel, bool sync) const;
    // True when `rel`'s folders exist, that is a failed lookup of `rel` is about the
    // last component only.
    bool parent_exists(const std::string& rel) const;

    // Adds this folder and every folder above it up to `root` (not included) to `out`,
    // found through ".." (links play no part). False when the way up misses `root`.
    bool add_folders_up_to(const RootDir& root, FolderPins* out) const;
    // True when `rel` beneath `root` ("" for `root` itself) names this very folder.
    bool is_at(const RootDir& root, const std::string& rel) const;

    // True when the root's file system holds the byte-range locks of the sharing rules
    // between descriptors (see probe_share_locks); false with `error` set when not.
    bool holds_share_locks(std::string* error) const;

    // False with `why` when the root can no longer serve: its descriptor fails fstat (an
    // evicted network mount) or the folder was removed. One fstat, for a health check.
    bool usable(std::string* why) const;

    bool uses_openat2() const { return !walk_; }
    // The network or FUSE file system the root lies on ("nfs", "fuse", ...), where a
    // lookup may wait for a server; "" for a local one.
    std::string remote_kind() const;

private:
    int open_beneath(const std::string& rel, int flags, mode_t mode) const;
    int open_by_walk(const std::string& rel, int flags, mode_t mode) const;

    int fd_ = -1;        // the root folder, O_RDONLY | O_DIRECTORY
    bool walk_ = false;  // openat2 missing or disabled
};

}  // namespace gavo::server
