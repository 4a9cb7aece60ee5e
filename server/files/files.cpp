#include "server/files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "proto/open_mode.h"
#include "proto/os_error.h"
#include "server/base/metrics.h"
#include "server/base/sys.h"
#include "server/files/share_locks.h"

namespace gavo::server {

namespace {

std::string errno_text(int err) { return std::string(strerror(err)); }

// Windows refuses to delete or rename a file that is open without delete sharing.
constexpr int kSharingViolationCode = gavo::kCodeRefused;

// fsync through the sys() seam, timed into metrics().fsync_ns. The session leaves the
// event loop before a call that may come here (see Session::leave_loop).
int timed_fsync(int fd) {
    const auto began = std::chrono::steady_clock::now();
    const int rc = sys().fsync(fd);
    const int err = errno;  // the caller reads it after a failure
    const auto took = std::chrono::steady_clock::now() - began;
    metrics().fsync_ns.observe(
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
    errno = err;
    return rc;
}

}  // namespace

// ---- FileWrites

FileWrites::Seen FileWrites::seen_of(const struct stat& st) {
    const auto ns = [](const struct timespec& t) {
        return static_cast<int64_t>(t.tv_sec) * 1000000000 + static_cast<int64_t>(t.tv_nsec);
    };
    Seen now;
    now.size = static_cast<int64_t>(st.st_size);
    now.mtime_ns = ns(st.st_mtim);
    now.ctime_ns = ns(st.st_ctim);
    return now;
}

FileWrites::Seen FileWrites::look(int fd) {
    struct stat st;
    return sys().fstat(fd, &st) == 0 ? seen_of(st) : Seen();
}

void FileWrites::note_own_change(int fd) {
    look_due = false;
    seen = look(fd);
    if (seen.size < 0 || seen.size == size) return;
    size = seen.size;
    changed_elsewhere_at = count;
}

// ---- OpenFile

OpenFile::~OpenFile() {
    MutexLock lock(mutex);
    release_locked();
}

int OpenFile::close() {
    MutexLock lock(mutex);
    if (fd < 0) return kCodeNotFound;
    int err = 0;
    if (dirty && sync && timed_fsync(fd) != 0) err = errno;
    if (dir_fd >= 0 && sync && timed_fsync(dir_fd) != 0 && err == 0) err = errno;
    if (release_locked() != 0 && err == 0) err = errno;
    return err == 0 ? 0 : nfile_code_from_errno(err);
}

bool OpenFile::close_blocks() {
    MutexLock lock(mutex);
    return fd >= 0 && sync && (dirty || dir_fd >= 0);
}

int OpenFile::release_locked() {
    int rc = 0;
    if (fd >= 0 && sys().close(fd) != 0) rc = -1;
    if (dir_fd >= 0) sys().close(dir_fd);
    fd = -1;
    dir_fd = -1;
    charge.release();
    if (share != ShareTable::kSharingViolation) shares_->release(share);
    share = ShareTable::kSharingViolation;
    writes.reset();
    return rc;
}

// ---- FileService

int FileService::code_for(const RootDir& root, int err, const std::string& rel, bool creating,
                          std::string* why) const {
    if (err == EXDEV) {
        *why = "name leads out of the root";
        return kCodeBadPath;
    }
    // ENOENT means a missing folder when the open would have created the file itself,
    // or when the file's folder cannot be found.
    const bool folder_missing = err == ENOENT && (creating || !root.parent_exists(rel));
    if (why->empty()) *why = errno_text(err);
    return nfile_code_from_errno(err, folder_missing);
}

int FileService::check_servable(const struct stat& st, std::string* why) const {
    if (S_ISLNK(st.st_mode)) return -ELOOP;  // the component walk follows no link
    if (S_ISDIR(st.st_mode)) {
        *why = "a folder, not a file";
        return -EISDIR;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        return -EACCES;
    }
    if (st.st_nlink > 1 && !allow_hard_links_) {
        *why = "file has " + std::to_string(st.st_nlink) + " links";
        return -EACCES;
    }
    return 0;
}

// Looks the name up without opening the file (O_PATH), checks what it is, and only then
// opens that same file for I/O: opening a FIFO could block and opening a device acts on
// it, so neither is ever opened.
int FileService::open_existing(const RootDir& root, const std::string& rel, int pflags,
                               std::string* why, struct stat* st) {
    const int path_fd = root.open_at(rel, O_PATH);
    if (path_fd < 0) return path_fd;
    int fd = sys().fstat(path_fd, st) == 0 ? check_servable(*st, why) : -errno;
    // A second link may be the brief one of a rename on a file system that cannot rename
    // without replacing (see rename): that file is being renamed, not linked elsewhere.
    const bool renaming = fd == -EACCES && S_ISREG(st->st_mode) && st->st_nlink == 2;
    if (fd == 0 || renaming) fd = root.reopen(path_fd, *st, rel, pflags);
    if (renaming && fd >= 0) {
        const bool marked = name_change_marked(fd) == 1;
        sys().close(fd);
        if (marked) *why = "the file is being renamed";
        fd = marked ? -ETXTBSY : -EACCES;
    }
    const int saved = errno;
    sys().close(path_fd);  // it only looked the name up: a failed close changes nothing
    errno = saved;
    return fd;
}

// Opens so that the server knows whether it created the file (its folder entry then
// needs a sync). A create-mode open that replaces what was there (no append) usually
// meets a new name: it tries the exclusive creation first, one call instead of a failing
// lookup and then the creation; others look for the existing file first. O_EXCL never
// follows a link, so a dangling link is never created through, and what it creates is a
// new regular file. The reopen of an existing file opens the very file its lookup looked
// at (see RootDir::reopen), so the lookup's stat stands for the open's.
int FileService::open_fd(const RootDir& root, const std::string& rel, int pflags, bool create,
                         bool exclusive_first, Opened* opened, std::string* why) {
    *opened = Opened();
    const int plain = pflags & ~O_CREAT;
    int fd = -ENOENT;
    if (!exclusive_first) {
        fd = open_existing(root, rel, plain, why, &opened->st);
        opened->stat_known = fd >= 0;
        if (fd != -ENOENT || !create) return fd;
    }
    fd = root.open_at(rel, plain | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
        opened->created = true;
        return fd;
    }
    if (fd != -EEXIST) return fd;
    fd = open_existing(root, rel, plain, why, &opened->st);  // someone else created it meanwhile
    opened->stat_known = fd >= 0;
    if (fd == -ENOENT) {
        *why = "dangling link";
        return -EEXIST;
    }
    return fd;
}

// Registers the open with the sharing rules and, once admitted, cuts the file: a refused
// open never touches another open's data.
int FileService::admit(OpenFile& file, const struct stat& st, unsigned int mode, bool cut,
                       std::string* why) {
    {
        // This server's own table answers a conflict among its clients without a lock
        // call. Only the entry is taken under names_mutex_: from then on a rename or remove
        // here sees the file as open.
        MutexLock lock(names_mutex_);
        file.share = shares_.acquire(st.st_dev, st.st_ino, mode);
    }
    // The locks on the file decide among all processes on the root. They need no mutex:
    // their set-then-test admission holds off every other descriptor by itself, a name
    // change's mark among them, and two lock calls under names_mutex_ would keep every
    // other open, rename and remove of this server waiting.
    const int marks = file.share == ShareTable::kSharingViolation
                          ? ETXTBSY
                          : take_marks(file.fd, (posix_open_flags(mode) & O_ACCMODE) != O_WRONLY,
                                       share_marks_of(mode));
    if (marks == ETXTBSY) {
        *why = file.share == ShareTable::kSharingViolation ? "sharing violation"
                                                           : "sharing violation (another process)";
        return nfile_map_os_error(gavo::kWinSharingViolation);
    }
    if (marks != 0) {
        *why = "sharing locks: " + errno_text(marks);
        return nfile_code_from_errno(marks);
    }
    file.writes = writes_for(st);
    if (!cut) return 0;
    MutexLock cutting(file.writes->mutex);
    ++file.writes->count;  // a write under way elsewhere must not take back past the cut
    if (sys().ftruncate(file.fd, 0) != 0) {
        const int err = errno;
        *why = "cannot cut the file: " + errno_text(err);
        return nfile_code_from_errno(err);
    }
    file.writes->size = 0;
    file.writes->note_own_change(file.fd);
    return 0;
}

std::shared_ptr<FileWrites> FileService::writes_for(const struct stat& st) {
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    MutexLock lock(writes_mutex_);
    std::shared_ptr<FileWrites> found = writes_[key].lock();
    if (found) return found;
    // The last release takes the entry out, unless a new open has replaced it meanwhile.
    found.reset(new FileWrites, [this, key](FileWrites* w) {
        {
            MutexLock gone(writes_mutex_);
            const auto it = writes_.find(key);
            if (it != writes_.end() && it->second.expired()) writes_.erase(it);
        }
        delete w;
    });
    {
        MutexLock fresh(found->mutex);  // no other open can reach it yet
        found->size = static_cast<int64_t>(st.st_size);
        found->seen = FileWrites::seen_of(st);
    }
    writes_[key] = found;
    return found;
}

bool FileService::needs_folders(int err, const std::string& rel) const {
    if (err == EXDEV) return false;  // leads out of the root: never create anything
    const bool folder_missing = err == ENOENT;
    return nfile_is_path_failure(gavo::windows_error_from_errno(err, folder_missing)) &&
           !rel.empty();
}

bool FileService::refuses_changes(const FileArea& area, std::string* why) const {
    if (!read_only_ && !area.read_only) return false;
    *why = read_only_ ? "server is read-only" : "read-only access";
    return true;
}

OpenResult FileService::open(const FileArea& area, const std::string& rel, unsigned int flags,
                             std::string* why) {
    OpenResult result;
    const RootDir& root = *area.root;
    const unsigned int mode = mode_word_from_open_flags(flags);
    const bool create = mode_creates(mode);
    if ((mode_may_write(mode) || create) && refuses_changes(area, why)) {
        result.code = kCodeAccessDenied;
        return result;
    }
    // FIFOs are refused before they are opened; O_NONBLOCK still keeps one that is swapped
    // in where /proc is missing (see RootDir::reopen) from hanging the connection.
    const int pflags = posix_open_flags(mode) | O_NONBLOCK | O_NOCTTY;
    Opened opened;
    const bool exclusive_first = create && (flags & kOpenAppend) == 0;
    int fd = open_fd(root, rel, pflags, create, exclusive_first, &opened, why);
    if (fd < 0 && create && needs_folders(-fd, rel)) {
        // As the local back end does: create the missing folders, then one more try.
        const int made = root.make_dirs(rel, sync_);
        if (made != 0) {
            *why = "cannot create folders: " + errno_text(-made);
            result.code = made == -EXDEV ? kCodeBadPath : kCodeMakeDirs;
            return result;
        }
        fd = open_fd(root, rel, pflags, create, exclusive_first, &opened, why);
    }
    if (fd < 0) {
        result.code = code_for(root, -fd, rel, create, why);
        return result;
    }
    auto file = std::make_shared<OpenFile>(&shares_, rel);
    {
        MutexLock lock(file->mutex);  // nobody else sees it yet: this only satisfies the rule
        file->fd = fd;
        file->sync = sync_;
        result.code = finish_open(root, *file, rel, mode, flags, opened, &result.length, why);
    }
    if (result.code == 0) {
        result.file = std::move(file);
    } else if (opened.created) {
        file.reset();  // closes it and gives up its share first
        discard_created(root, rel);
    }
    return result;
}

// A failed open leaves no file behind that it created itself, so that the tree is as the
// request found it (folders made on the way stay: they hold no data). Only an empty
// regular file that nobody holds open is taken away: never data, never another's file.
void FileService::discard_created(const RootDir& root, const std::string& rel) {
    std::string last;
    const int dir = root.open_parent(rel, &last);
    if (dir < 0) return;
    {
        MutexLock lock(names_mutex_);
        struct stat st;
        if (sys().fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_size == 0 && !shares_.in_use(st.st_dev, st.st_ino)) {
            sys().unlinkat(dir, last.c_str(), 0);
        }
    }
    sys().close(dir);
}

// Checks the kind of file, admits the open and positions it. On failure the caller drops
// `file`, whose destructor closes what was opened.
int FileService::finish_open(const RootDir& root, OpenFile& file, const std::string& rel,
                             unsigned int mode, unsigned int flags, const Opened& opened,
                             int64_t* length, std::string* why) {
    struct stat st = opened.st;
    if (!opened.stat_known && sys().fstat(file.fd, &st) != 0)
        return code_for(root, errno, rel, false, why);
    const bool created = opened.created;
    if (!S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file";
        return nfile_map_os_error(gavo::kWinAccessDenied);
    }
    // O_NONBLOCK stays set: Linux ignores it for regular files, the only kind served.
    const bool create = mode_creates(mode);
    const int code = admit(file, st, mode, create && !created, why);
    if (code != 0) return code;
    file.may_read = mode_may_read(mode);
    file.may_write = mode_may_write(mode);
    file.dirty = create;
    *length = create ? 0 : static_cast<int64_t>(st.st_size);
    if (open_flags_seek_to_end(flags)) {
        const off_t end = sys().lseek(file.fd, 0, SEEK_END);
        if (end < 0) return code_for(root, errno, rel, false, why);
        file.pos = static_cast<int64_t>(end);
    }
    if (created && sync_) {
        // The new entry reaches the disk with its folder's fsync at the close; an open
        // that could not keep the folder for it would lose the file in a power cut.
        std::string last;
        const int dir = root.open_parent(rel, &last);
        if (dir < 0) {
            *why = "folder: " + errno_text(-dir);
            return nfile_code_from_errno(-dir);
        }
        file.dir_fd = dir;
    }
    return 0;
}

// Opens the folders of a name change; the results are descriptors or library codes.
int FileService::parent_of(const RootDir& root, const std::string& rel, std::string* last,
                           std::string* why) {
    const int fd = root.open_parent(rel, last);
    if (fd >= 0) return fd;
    if (-fd == EXDEV) return code_for(root, EXDEV, rel, false, why);
    *why = "folder: " + errno_text(-fd);
    return nfile_code_from_errno(-fd, true);
}

int FileService::check_not_open(int dir_fd, const std::string& last, int* mark_fd,
                                std::string* why) {
    *mark_fd = -1;
    struct stat st;
    if (sys().fstatat(dir_fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        const int err = errno;
        *why = errno_text(err);
        return nfile_code_from_errno(err);
    }
    if (S_ISREG(st.st_mode) && shares_.in_use(st.st_dev, st.st_ino)) {
        *why = "the file is open";
        return kSharingViolationCode;
    }
    if (S_ISDIR(st.st_mode) && pins_.count({st.st_dev, st.st_ino}) != 0) {
        *why = "it is or holds the folder of an access rule";
        return kCodeAccessDenied;
    }
    if (S_ISREG(st.st_mode)) return mark_name_change(dir_fd, last, st, mark_fd, why);
    return 0;
}

// Holds a name-change mark on the regular file `last` (whose lstat gave `st`) until the
// caller closes `*mark_fd`: refused while another process holds the file open, and opens
// elsewhere are refused while it is held. A file this server cannot open at all, nobody
// else here can either: the change goes ahead without a mark.
int FileService::mark_name_change(int dir_fd, const std::string& last, const struct stat& st,
                                  int* mark_fd, std::string* why) {
    const int flags = O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    bool readable = true;
    int fd = sys().openat(dir_fd, last.c_str(), O_RDONLY | flags, 0);
    if (fd < 0 && errno == EACCES) {
        readable = false;
        fd = sys().openat(dir_fd, last.c_str(), O_WRONLY | flags, 0);
    }
    if (fd < 0) return 0;
    struct stat now;
    if (sys().fstat(fd, &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
        sys().close(fd);  // replaced meanwhile: the change itself meets whatever is there now
        return 0;
    }
    const int marks = take_marks(fd, readable, kNameChangeMarks);
    if (marks == 0) {
        *mark_fd = fd;
        return 0;
    }
    sys().close(fd);
    *why = marks == ETXTBSY ? "the file is open in another process"
                            : "sharing locks: " + errno_text(marks);
    return marks == ETXTBSY ? kSharingViolationCode : nfile_code_from_errno(marks);
}

void FileService::pin_folders(FolderPins pins) {
    MutexLock lock(names_mutex_);
    pins_ = std::move(pins);
}

int FileService::sync_dirs(int a, int b, std::string* why) {
    if (!sync_) return 0;
    if (timed_fsync(a) == 0 && (b < 0 || timed_fsync(b) == 0)) return 0;
    const int err = errno;
    *why = "folder sync: " + errno_text(err);
    return nfile_code_from_errno(err);
}

// 0 or the errno of the failure. Where the file system refuses RENAME_NOREPLACE (EINVAL:
// ceph-fuse, among others) the change is still one that never replaces, for every node: a
// file gets its new name by a link (which fails when the name exists) and loses the old
// one; the caller's name-change mark tells openers meeting the brief second link that the
// file is being renamed. A folder first claims the new name with an empty folder of its
// own (mkdir fails when the name exists) and then replaces just that.
int FileService::rename_noreplace(int from_dir, const std::string& from, int to_dir,
                                  const std::string& to) {
    if (sys().renameat2(from_dir, from.c_str(), to_dir, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL) return errno;
    struct stat st;
    if (sys().fstatat(from_dir, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) {
        if (sys().linkat(from_dir, from.c_str(), to_dir, to.c_str(), 0) != 0) return errno;
        if (sys().unlinkat(from_dir, from.c_str(), 0) == 0) return 0;
        const int err = errno;
        sys().unlinkat(to_dir, to.c_str(), 0);  // the old name stays the only one
        return err;
    }
    if (sys().mkdirat(to_dir, to.c_str(), 0700) != 0) return errno;
    if (sys().renameat2(from_dir, from.c_str(), to_dir, to.c_str(), 0) == 0) return 0;
    const int err = errno;
    sys().unlinkat(to_dir, to.c_str(), AT_REMOVEDIR);
    return err;
}

int FileService::rename(const FileArea& area, const std::string& from, const std::string& to,
                        std::string* why) {
    if (refuses_changes(area, why)) return kCodeAccessDenied;
    std::string from_last, to_last;
    const int from_dir = parent_of(*area.root, from, &from_last, why);
    if (from_dir < 0) return from_dir;
    const int to_dir = parent_of(*area.root, to, &to_last, why);
    if (to_dir < 0) {
        sys().close(from_dir);
        return to_dir;
    }
    int code;
    int mark = -1;
    {
        MutexLock lock(names_mutex_);
        code = check_not_open(from_dir, from_last, &mark, why);
        const int err = code == 0 ? rename_noreplace(from_dir, from_last, to_dir, to_last) : 0;
        if (err != 0) {
            *why = errno_text(err);
            code = nfile_code_from_errno(err, err == ENOENT);
        }
    }
    if (mark >= 0) sys().close(mark);
    if (code == 0) code = sync_dirs(to_dir, from_dir, why);
    sys().close(from_dir);
    sys().close(to_dir);
    return code;
}

int FileService::remove(const FileArea& area, const std::string& rel, std::string* why) {
    return remove_entry(area, rel, false, why);
}

int FileService::remove_entry(const FileArea& area, const std::string& rel, bool folder,
                              std::string* why) {
    if (refuses_changes(area, why)) return kCodeAccessDenied;
    std::string last;
    const int dir = parent_of(*area.root, rel, &last, why);
    if (dir < 0) return dir;
    int code;
    int mark = -1;
    {
        MutexLock lock(names_mutex_);
        struct stat st;
        code = check_not_open(dir, last, &mark, why);  // also: the folder of an access rule
        if (code == 0 && folder &&
            sys().fstatat(dir, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(st.st_mode)) {
            *why = "not a folder";
            code = kCodeAccessDenied;
        }
        if (code == 0 && sys().unlinkat(dir, last.c_str(), folder ? AT_REMOVEDIR : 0) != 0) {
            const int err = errno;
            *why = folder && err == ENOTEMPTY ? "folder not empty" : errno_text(err);
            code = nfile_code_from_errno(err);
        }
    }
    if (mark >= 0) sys().close(mark);
    if (code == 0) code = sync_dirs(dir, -1, why);
    sys().close(dir);
    return code;
}

int FileService::exists(const FileArea& area, const std::string& rel, std::string* why) {
    const RootDir& root = *area.root;
    const int fd = root.open_at(rel, O_PATH);
    if (fd >= 0) {
        // Only the component walk opens a link itself (O_NOFOLLOW), and it follows none.
        struct stat st;
        const int err = sys().fstat(fd, &st) == 0 ? 0 : errno;
        sys().close(fd);
        if (err != 0) return code_for(root, err, rel, false, why);
        if (!S_ISLNK(st.st_mode)) return 1;
        *why = "links are not followed";
        return kCodeBadPath;
    }
    // As in working mode 1: only a missing entry is an answer of 0. Any other failure
    // (an I/O error, no descriptors left) says nothing about the entry and is reported.
    if (fd == -ENOENT || fd == -ENOTDIR || fd == -ENAMETOOLONG) return 0;
    if (fd == -ELOOP) {
        *why = errno_text(ELOOP);
        return kCodeBadPath;
    }
    return code_for(root, -fd, rel, false, why);
}

}  // namespace gavo::server
