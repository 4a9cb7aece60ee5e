#include "server/files/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "server/base/sys.h"

namespace gavo::server {

namespace {

int64_t ns(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + static_cast<int64_t>(t.tv_nsec);
}

// The file as fstat shows it now; a size of -1 when it cannot be known.
FileWrites::Seen seen_now(int fd) {
    FileWrites::Seen now;
    struct stat st;
    if (sys().fstat(fd, &st) != 0) return now;
    now.size = static_cast<int64_t>(st.st_size);
    now.mtime_ns = ns(st.st_mtim);
    now.ctime_ns = ns(st.st_ctim);
    return now;
}

// The file's length now, or -1 when it cannot be known.
int64_t current_size(int fd) { return seen_now(fd).size; }

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
            note_own_change(file);
        } else {
            return false;
        }
    }
    if (sys().lseek(file.fd, static_cast<off_t>(start), SEEK_SET) != start) return false;
    file.pos = start;
    return true;
}

}  // namespace

void note_own_change(OpenFile& file) { file.writes->seen = seen_now(file.fd); }

int64_t size_before_write(OpenFile& file) {
    FileWrites& shared = *file.writes;
    const FileWrites::Seen now = seen_now(file.fd);
    if (now.size >= 0 && !(now == shared.seen)) {
        shared.size = now.size;
        shared.seen = now;
    }
    return shared.size;
}

Undo take_back(OpenFile& file, const WriteStart& start, int64_t written) {
    if (written == 0) return Undo::kDone;
    std::lock_guard<std::mutex> lock(file.writes->mutex);
    if (file.writes->count != start.count + start.chunks) return Undo::kKept;
    const FileWrites::Seen now = seen_now(file.fd);
    if (now.size < 0 || !(now == file.writes->seen)) return Undo::kKeptOutside;
    return undo_write(file, written, start.size) ? Undo::kDone : Undo::kFailed;
}

}  // namespace gavo::server
