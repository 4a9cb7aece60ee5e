#include "local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

size_t LocalInput::read(char* buffer, size_t count) {
    size_t total = 0;
    while (total < count) {
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
        to_stdout_ = true;
        fd_ = STDOUT_FILENO;
        path_ = kStdoutName;
        return;
    }
    std::string templ = path + ".gavo-XXXXXX";
    fd_ = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd_ < 0) throw LocalError{"create", path, errno};
    temp_path_ = templ;
    ::fchmod(fd_, target_mode(path));
}

LocalOutput::~LocalOutput() {
    if (to_stdout_ || fd_ < 0) return;
    ::close(fd_);
    ::unlink(temp_path_.c_str());
}

void LocalOutput::write(const char* data, size_t count) { write_all(fd_, data, count, path_); }

void LocalOutput::commit() {
    if (to_stdout_) return;
    // Flush and close before the rename, so that the name never points at a file whose
    // bytes are not all on disk.
    if (::fsync(fd_) != 0) throw LocalError{"write", path_, errno};
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp_path_.c_str());
        throw LocalError{"write", path_, err};
    }
    if (::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        int err = errno;
        ::unlink(temp_path_.c_str());
        throw LocalError{"rename into place", path_, err};
    }
}

}  // namespace gavo_tool
