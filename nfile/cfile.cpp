// The local file layer on the POSIX-shaped file interface of gavo::platform().
#include "nfile/cfile.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "port/platform.h"
#include "proto/open_mode.h"
#include "proto/os_error.h"
#include "proto/share_locks.h"

static_assert(sizeof(off_t) >= 8, "files of 2 GiB and more need 64-bit offsets");

using gavo::platform;

CFileException::CFileException() : m_lOsError(-1) {}
CFileException::CFileException(long osError, const char* fileName)
    : m_lOsError(osError), m_strFileName(fileName ? fileName : "") {}
CFileException::~CFileException() {}

namespace {

// True when the folder that should hold `path` (a '/' path) is not there as a folder.
bool folder_missing(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return false;  // the current folder
    std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    return platform().stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

// The Windows number for `err` from a call on `path`; ENOENT is told apart by looking
// at the folder that should hold the entry.
int os_error_for(int err, const std::string& path) {
    return gavo::windows_error_from_errno(err, err == ENOENT && folder_missing(path));
}

int os_error(int err) { return gavo::windows_error_from_errno(err, false); }

[[noreturn]] void throw_error(int err, const std::string& path) {
    throw new CFileException(err, path.c_str());
}

bool too_long(const char* path) { return std::strlen(path) >= kFullPathSize; }

// What an open of `mode` lets other opens of the file do.
gavo::FileShare share_of(unsigned int mode) {
    switch (mode & gavo::kShareMask) {
    case gavo::kShareDenyNone: return gavo::FileShare::kReadWrite;
    case gavo::kShareDenyWrite: return gavo::FileShare::kRead;
    case gavo::kShareDenyRead: return gavo::FileShare::kWrite;
    default: return gavo::FileShare::kNone;  // exclusive, and no share bits at all
    }
}

}  // namespace

bool nfile_full_path(const char* base, const char* name, char* out, size_t size) {
    if (out == nullptr || size == 0) return false;
    out[0] = '\0';
    if (name == nullptr) return false;
    if (base == nullptr) base = "";
    if (*base != '\0' && (*name == '\\' || *name == '/')) ++name;  // one separator only
    size_t base_len = std::strlen(base), name_len = strnlen(name, size);
    if (base_len + name_len >= size) return false;
    std::memcpy(out, base, base_len);
    std::memcpy(out + base_len, name, name_len);
    out[base_len + name_len] = '\0';
    return true;
}

std::string nfile_posix_path(const char* path) {
    std::string p(path ? path : "");
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

namespace {

// The sharing marks of one open file through the platform's range locks (see
// proto/share_locks.h): the same locks as the file server's, so that hosts in working
// mode 1 hold each other off, and a server whose root is the same folder.
class PlatformMarks {
public:
    PlatformMarks(int fd, bool readable) : fd_(fd), exclusive_(!readable) {}

    int take(int64_t start, int64_t len) {
        for (int i = 0; i < 16; ++i) {
            const int64_t at = start + next_offset() % len;
            if (platform().lock_range(fd_, exclusive_, at, 1) == 0) {
                at_ = at;
                return 0;
            }
            if (errno != EAGAIN) return errno;
        }
        return EAGAIN;
    }
    void drop() { platform().unlock_range(fd_, at_, 1); }
    int held_elsewhere(int64_t start, int64_t len) {
        const int r = platform().range_locked_elsewhere(fd_, start, len);
        return r < 0 ? -errno : r;
    }
    void pause(int attempt) { platform().sleep_ms(attempt > 4 ? 1 : 0); }

private:
    // A new offset within a region for every mark: write-only opens hold write locks,
    // which must not meet another open's mark in the same region.
    static int64_t next_offset() {
        static std::atomic<uint64_t> next{static_cast<uint64_t>(std::time(nullptr)) * 2654435761u};
        const uint64_t n = next.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
        return static_cast<int64_t>(n % static_cast<uint64_t>(gavo::kShareMarkSpan));
    }

    const int fd_;
    const bool exclusive_;
    int64_t at_ = 0;
};

// Takes `marks` on `fd`: 0, or the Windows error number (32 when the rules refuse).
int take_marks(int fd, bool readable, gavo::ShareMarks marks) {
    PlatformMarks locks(fd, readable);
    const int err = gavo::take_share_marks(locks, marks);
    return err == 0 ? 0 : os_error(err);  // ETXTBSY is 32, the sharing violation
}

}  // namespace

gavo::ShareTable& nfile_local_shares() {
    static gavo::ShareTable table;
    return table;
}

namespace {

// Makes sure the folder `prefix` exists; true when it does afterwards.
bool ensure_folder(const std::string& prefix) {
    struct stat st;
    if (platform().stat(prefix.c_str(), &st) == 0) return true;
    if (platform().mkdir(prefix.c_str(), 0777) == 0) return true;
    // Another thread may have made it between the test and the creation.
    return errno == EEXIST && platform().stat(prefix.c_str(), &st) == 0;
}

}  // namespace

int nfile_make_dirs(const char* path) {
    if (path == nullptr) return -1;
    std::string copy = nfile_posix_path(path);
    size_t pos = copy.empty() || copy[0] != '/' ? 0 : 1;  // a leading separator is no folder
    while (pos < copy.size()) {
        size_t sep = copy.find('/', pos);
        if (sep == std::string::npos) break;     // the file's own name
        if (sep != 0 && copy[sep - 1] == ':') {  // a drive such as C:
            pos = sep + 1;
            continue;
        }
        if (!ensure_folder(copy.substr(0, sep))) return -1;
        pos = sep + 1;
    }
    return 0;
}

CFile::CFile() : fd_(-1), close_on_destroy_(false), regular_(false), mode_(0), share_token_(0) {}

CFile::~CFile() {
    if (fd_ >= 0 && close_on_destroy_) platform().close(fd_);
    nfile_local_shares().release(share_token_);
}

bool CFile::Open(const char* path, unsigned int mode, CFileException* error) {
    int err = OpenChecked(path, mode);
    if (err == 0) return true;
    if (error != nullptr) {
        error->m_lOsError = err;
        error->m_strFileName = path ? path : "";
    }
    return false;
}

int CFile::OpenChecked(const char* path, unsigned int mode) {
    if (fd_ >= 0) return gavo::kWinInvalidParameter;  // must be called on a closed object
    if (path == nullptr) return gavo::kWinInvalidName;
    if (too_long(path)) return gavo::kWinFilenameTooLong;
    std::string p = nfile_posix_path(path);
    int fd = platform().open(p.c_str(), gavo::posix_open_flags(mode), 0666, share_of(mode));
    if (fd < 0) return os_error_for(errno, p);
    int err = Admit(fd, mode);
    if (err != 0) {
        platform().close(fd);
        return err;
    }
    fd_ = fd;
    close_on_destroy_ = true;
    mode_ = mode;
    path_ = p;
    return 0;
}

// Lets the sharing rules decide on the open file `fd`, then cuts it when creating:
// a refused open leaves the file as it was. 0 or a Windows error number. Where the system
// holds the share modes itself (Windows), the open was already admitted.
int CFile::Admit(int fd, unsigned int mode) {
    struct stat st;
    if (platform().fstat(fd, &st) != 0) return os_error(errno);
    if (S_ISDIR(st.st_mode)) return gavo::kWinAccessDenied;  // a folder is no file
    gavo::ShareTable::Token token = 0;
    regular_ = S_ISREG(st.st_mode);
    if (!gavo::sharing_is_system_wide()) {
        // This process's table answers a conflict among its own opens at once; the locks
        // on the file decide among all processes.
        token = nfile_local_shares().acquire(st.st_dev, st.st_ino, mode);
        if (token == gavo::ShareTable::kSharingViolation) return gavo::kWinSharingViolation;
        const bool readable = (gavo::posix_open_flags(mode) & O_ACCMODE) != O_WRONLY;
        const int err = regular_ ? take_marks(fd, readable, gavo::share_marks_of(mode)) : 0;
        if (err != 0) {
            nfile_local_shares().release(token);
            return err;
        }
    }
    if (gavo::mode_creates(mode) && regular_ && st.st_size != 0 &&
        platform().ftruncate(fd, 0) != 0) {
        int err = os_error(errno);
        nfile_local_shares().release(token);
        return err;
    }
    share_token_ = token;
    return 0;
}

void CFile::Throw(int err) const { throw_error(err, path_); }

// Throws unless the file is open and `access` (the operation's access) was granted.
void CFile::CheckOpen(bool access) const {
    if (fd_ < 0) Throw(gavo::kWinInvalidHandle);
    if (!access) Throw(gavo::kWinAccessDenied);
}

unsigned int CFile::Read(void* buffer, unsigned int count) {
    if (count == 0) return 0;
    CheckOpen(gavo::mode_may_read(mode_));
    char* out = static_cast<char*>(buffer);
    unsigned int total = 0;
    while (total < count) {
        ssize_t n = platform().read(fd_, out + total, count - total);
        if (n < 0) Throw(os_error(errno));
        if (n == 0) break;  // end of file
        total += static_cast<unsigned int>(n);
        if (!regular_) break;  // a device or pipe gives what it has
    }
    return total;
}

void CFile::Write(const void* buffer, unsigned int count) {
    if (count == 0) return;
    CheckOpen(gavo::mode_may_write(mode_));
    const char* in = static_cast<const char*>(buffer);
    unsigned int done = 0;
    while (done < count) {
        ssize_t n = platform().write(fd_, in + done, count - done);
        if (n < 0) Throw(os_error(errno));
        if (n == 0) Throw(gavo::kWinNoError);  // a short write: the disk is full
        done += static_cast<unsigned int>(n);
    }
}

uint64_t CFile::Seek(int64_t offset, unsigned int origin) {
    CheckOpen(true);
    static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin > end) Throw(gavo::kWinInvalidParameter);
    off_t pos = platform().lseek(fd_, static_cast<off_t>(offset), whence[origin]);
    if (pos < 0) Throw(errno == EINVAL ? gavo::kWinNegativeSeek : os_error(errno));
    return static_cast<uint64_t>(pos);
}

uint64_t CFile::GetLength() const {
    CheckOpen(true);
    struct stat st;
    if (platform().fstat(fd_, &st) != 0) Throw(os_error(errno));
    return static_cast<uint64_t>(st.st_size);
}

void CFile::Close() {
    if (fd_ < 0) return;
    int fd = fd_;
    std::string path;
    path.swap(path_);
    fd_ = -1;
    close_on_destroy_ = false;
    int r = platform().close(fd);
    int err = r != 0 ? os_error(errno) : 0;
    nfile_local_shares().release(share_token_);
    share_token_ = 0;
    if (r != 0) throw_error(err, path);
}

bool CFile::Exists(const char* path, int* err) {
    struct stat st;
    if (path == nullptr) {
        if (err != nullptr) *err = ENOENT;
        return false;
    }
    const std::string posix = nfile_posix_path(path);
    if (platform().stat(posix.c_str(), &st) == 0) return true;
    if (err != nullptr) *err = errno;
    return false;
}

namespace {

// A regular file swapped for a FIFO after the stat must not block the open (POSIX only:
// where the system holds the share modes no mark is taken).
#ifdef O_NONBLOCK
constexpr int kNoBlock = O_NONBLOCK;
#else
constexpr int kNoBlock = 0;
#endif

// A rename or removal of a regular file holds a name-change mark on it while it runs, so
// that no open anywhere slips in between (see proto/share_locks.h). Where the system
// holds the share modes (Windows), it refuses the rename or removal itself (32).
class NameChange {
public:
    // 0, or 32 when a CFile of this process or an open of another process holds the file.
    int begin(const std::string& path) {
        struct stat st;
        if (gavo::sharing_is_system_wide() || platform().stat(path.c_str(), &st) != 0 ||
            !S_ISREG(st.st_mode)) {
            return 0;  // the rename or removal itself reports a missing file or a folder
        }
        if (nfile_local_shares().in_use(st.st_dev, st.st_ino)) return gavo::kWinSharingViolation;
        bool readable = true;
        fd_ = platform().open(path.c_str(), O_RDONLY | kNoBlock, 0);
        if (fd_ < 0 && errno == EACCES) {
            readable = false;
            fd_ = platform().open(path.c_str(), O_WRONLY | kNoBlock, 0);
        }
        if (fd_ < 0) return 0;  // nobody else can open it either
        const int err = take_marks(fd_, readable, gavo::kNameChangeMarks);
        if (err != 0) end();
        return err;
    }
    void end() {
        if (fd_ >= 0) platform().close(fd_);
        fd_ = -1;
    }
    ~NameChange() { end(); }

private:
    int fd_ = -1;
};

}  // namespace

void CFile::Remove(const char* path) {
    std::string p = nfile_posix_path(path);
    if (path == nullptr || too_long(path)) throw_error(gavo::kWinFilenameTooLong, p);
    struct stat st;
    if (platform().stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw_error(gavo::kWinAccessDenied, p);  // folders are not removed
    NameChange change;
    if (const int err = change.begin(p)) throw_error(err, p);
    if (platform().unlink(p.c_str()) != 0) throw_error(os_error_for(errno, p), p);
}

namespace {

// Copies every byte of `in` to `out`; 0 or the Windows error number.
int copy_bytes(int in, int out) {
    std::vector<char> buf(64 * 1024);
    for (;;) {
        ssize_t n = platform().read(in, buf.data(), buf.size());
        if (n < 0) return os_error(errno);
        if (n == 0) return 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = platform().write(out, buf.data() + done, static_cast<size_t>(n - done));
            if (w < 0) return os_error(errno);
            if (w == 0) return gavo::kWinDiskFull;
            done += w;
        }
    }
}

// Writes a new file `to` (which must not exist) with the bytes of `from`, on disk
// before it returns. 0 or the Windows error number; a failed copy is removed.
int copy_file(const std::string& from, const std::string& to, mode_t perms) {
    int in = platform().open(from.c_str(), O_RDONLY, 0);
    if (in < 0) return os_error_for(errno, from);
    int out = platform().open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, perms);
    if (out < 0) {
        int err = os_error_for(errno, to);
        platform().close(in);
        return err;
    }
    int err = copy_bytes(in, out);
    if (err == 0 && platform().fsync(out) != 0) err = os_error(errno);
    if (platform().close(out) != 0 && err == 0) err = os_error(errno);
    platform().close(in);
    if (err != 0) platform().unlink(to.c_str());
    return err;
}

// Moves a file to another file system: copy, then delete the original. Folders are not
// moved across file systems (17). 0 or the Windows error number; on failure the
// original stays and no copy is left behind.
int move_across(const std::string& from, const std::string& to) {
    struct stat st;
    if (platform().stat(from.c_str(), &st) != 0) return os_error_for(errno, from);
    if (!S_ISREG(st.st_mode)) return gavo::kWinNotSameDevice;
    int err = copy_file(from, to, st.st_mode & 07777);
    if (err != 0) return err;
    if (platform().unlink(from.c_str()) != 0) {
        err = os_error(errno);
        platform().unlink(to.c_str());  // keep one file, not two
    }
    return err;
}

// The Windows number of a failed rename: ENOENT means the entry to move is missing
// (2, or 3 when its folder is) or, when it is there, the target's folder is (3).
int rename_error(int err, const std::string& from) {
    struct stat st;
    if (err == ENOENT && platform().stat(from.c_str(), &st) == 0) return gavo::kWinPathNotFound;
    return os_error_for(err, from);
}

}  // namespace

void CFile::Rename(const char* from, const char* to) {
    std::string f = nfile_posix_path(from), t = nfile_posix_path(to);
    if (from == nullptr || too_long(from)) throw_error(gavo::kWinFilenameTooLong, f);
    if (to == nullptr || too_long(to)) throw_error(gavo::kWinFilenameTooLong, t);
    NameChange change;
    if (const int held = change.begin(f)) throw_error(held, f);
    if (platform().rename_noreplace(f.c_str(), t.c_str()) == 0) return;
    int err = errno;
    change.end();  // a move across file systems opens the file itself
    err = err == EXDEV ? move_across(f, t) : rename_error(err, f);
    if (err != 0) throw_error(err, f);
}
