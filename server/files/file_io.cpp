#include "server/files/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "server/base/sys.h"

namespace gavo::server {

namespace {

// The file's length now, or -1 when it cannot be known.
int64_t current_size(int fd) {
    struct stat st;
    return sys().fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// See take_back; the caller also holds the FileWrites mutex.
bool undo_write(OpenFile& file, int64_t written, int64_t old_size) {
    FileWrites& shared = *file.writes;
    const int64_t end = file.pos;
    const int64_t start = end - written;
    const int64_t keep = std::max(start, old_size);
    if (keep < end) {
        const int64_t now = current_size(file.fd);
        if (now > end) {
            shared.size = now;
        } else if (sys().ftruncate(file.fd, static_cast<off_t>(keep)) == 0) {
            shared.size = keep;
            ++shared.count;  // a write begun elsewhere meanwhile must not take back past it
        } else {
            return false;
        }
    }
    if (sys().lseek(file.fd, static_cast<off_t>(start), SEEK_SET) != start) return false;
    file.pos = start;
    return true;
}

}  // namespace

Undo take_back(OpenFile& file, const WriteStart& start, int64_t written) {
    if (written == 0) return Undo::kDone;
    std::lock_guard<std::mutex> lock(file.writes->mutex);
    if (file.writes->count != start.count + start.chunks) return Undo::kKept;
    return undo_write(file, written, start.size) ? Undo::kDone : Undo::kFailed;
}

}  // namespace gavo::server
