#include "server/files/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "server/base/sys.h"

namespace gavo::server {

namespace {

// The file's length now, or -1 when it cannot be known.
int64_t current_size(int fd) { return FileWrites::look(fd).size; }

// See take_back; the caller also holds the FileWrites mutex.
bool undo_write(OpenFile& file, int64_t written, int64_t old_size)
    GAVO_REQUIRES(file.mutex, file.writes->mutex) {
    const int64_t end = file.pos;
    const int64_t start = end - written;
    const int64_t keep = std::max(start, old_size);
    if (keep < end) {
        const int64_t now = current_size(file.fd);
        if (now > end) {
            file.writes->size = now;
        } else if (sys().ftruncate(file.fd, static_cast<off_t>(keep)) == 0) {
            file.writes->size = keep;
            ++file.writes->count;  // a write begun elsewhere meanwhile must not take back past it
            file.writes->note_own_change(file.fd);
        } else {
            return false;
        }
    }
    if (sys().lseek(file.fd, static_cast<off_t>(start), SEEK_SET) != start) return false;
    file.pos = start;
    return true;
}

}  // namespace

int64_t size_before_write(OpenFile& file) {
    file.writes->settle(file.fd);
    return file.writes->size;
}

Undo take_back(OpenFile& file, const WriteStart& start, int64_t written) {
    if (written == 0) return Undo::kDone;
    MutexLock lock(file.writes->mutex);
    if (file.writes->count != start.count + start.chunks) return Undo::kKept;
    if (file.writes->changed_elsewhere_at > start.count) return Undo::kKeptOutside;
    const FileWrites::Seen now = FileWrites::look(file.fd);
    // Without a look at the file nobody can say who wrote last: the bytes stay.
    if (now.size < 0) return Undo::kFailed;
    if (!(now == file.writes->seen)) return Undo::kKeptOutside;
    return undo_write(file, written, start.size) ? Undo::kDone : Undo::kFailed;
}

}  // namespace gavo::server
