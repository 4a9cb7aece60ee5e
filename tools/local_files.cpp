#include "local_files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "watchdog.h"

namespace gavo_tool {

namespace {

const char kStdinName[] = "standard input";
const char kStdoutName[] = "standard output";

// The permissions a new file would get: 0666 less the process's umask, or the mode of
// the file being replaced, so that a fetched file looks as if written in place.
mode_t target_mode(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void write_all(int fd, const char* data, size_t count, const std::string& path) {
    while (count > 0) {
        ssize_t n = ::write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw LocalError{"write", path, errno};
        data += n;
        count -= static_cast<size_t>(n);
    }
}

}  // namespace

LocalInput::LocalInput(const std::string& path) : path_(path) {
    if (path == "-") {
        fd_ = STDIN_FILENO;
        path_ = kStdinName;
    } else {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw LocalError{"open", path, errno};
        owned_ = true;
    }
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<uint64_t>(st.st_size);
}

LocalInput::~LocalInput() {
    if (owned_) ::close(fd_);
}

// Waits until `fd` has bytes (or its end), looking for a stop every tenth of a second, so
// that Ctrl-C reaches a command whose input is a quiet pipe.
void wait_readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int rc = ::poll(&p, 1, 100);
        if (rc > 0 || (rc < 0 && errno != EINTR)) return;
        check_stop();
    }
}

size_t LocalInput::read(char* buffer, size_t count) {
    size_t total = 0;
    while (total < count) {
        wait_readable(fd_);
        ssize_t n = ::read(fd_, buffer + total, count - total);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw LocalError{"read", path_, errno};
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    return total;
}

LocalOutput::LocalOutput(const std::string& path) : path_(path) {
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        path_ = kStdoutName;
        return;
    }
    struct stat st;
    bool is_link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        open_direct(path, O_WRONLY);  // a device, FIFO or socket: nothing to replace
        return;
    }
    if (is_link) {
        char* target = ::realpath(path.c_str(), nullptr);
        if (target == nullptr) {  // dangling: create the file the link points at
            open_direct(path, O_WRONLY | O_CREAT | O_TRUNC);
            return;
        }
        path_ = target;
        std::free(target);
    }
    open_temporary(path_);
}

void LocalOutput::open_direct(const std::string& path, int flags) {
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd_ < 0) throw LocalError{"open", path, errno};
    owned_ = true;
}

void LocalOutput::open_temporary(const std::string& path) {
    std::string templ = path + ".gavo-XXXXXX";
    fd_ = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd_ < 0) throw LocalError{"create", path, errno};
    owned_ = true;
    temp_path_ = templ;
    set_local_temp(temp_path_);
    ::fchmod(fd_, target_mode(path));
}

LocalOutput::~LocalOutput() {
    if (!owned_ || fd_ < 0) return;
    ::close(fd_);
    if (temp_path_.empty()) return;
    ::unlink(temp_path_.c_str());
    set_local_temp("");
}

void LocalOutput::write(const char* data, size_t count) { write_all(fd_, data, count, path_); }

void LocalOutput::commit() {
    if (!owned_) return;
    if (temp_path_.empty()) {  // written directly: only the close can still fail
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw LocalError{"write", path_, errno};
        return;
    }
    // Flush and close before the rename, so that the name never points at a file whose
    // bytes are not all on disk.
    if (::fsync(fd_) != 0) throw LocalError{"write", path_, errno};
    int fd = fd_;
    fd_ = -1;
    int err = ::close(fd) != 0 ? errno : 0;
    if (err == 0 && ::rename(temp_path_.c_str(), path_.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(temp_path_.c_str());
    set_local_temp("");
    if (err != 0) throw LocalError{"write", path_, err};
}

}  // namespace gavo_tool
