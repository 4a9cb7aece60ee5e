// Listing, stat and folder removal: the server's extension requests over the same
// confinement (RootDir) and change rules (read-only, pinned folders) as every request.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "proto/os_error.h"
#include "server/base/sys.h"
#include "server/files/files.h"
#include "server/files/list_cursor.h"
#include "server/files/names.h"

namespace gavo::server {

using wire::EntryInfo;
using wire::EntryKind;

// Only what the server would open or enter shows its size and time: a link, a device, a
// FIFO or a file with another link (which may lie outside the root) tells nothing more.
EntryInfo FileService::entry_info(const struct stat& st) const {
    EntryInfo info;
    if (S_ISDIR(st.st_mode)) {
        info.kind = EntryKind::kFolder;
    } else if (S_ISREG(st.st_mode) && (st.st_nlink <= 1 || allow_hard_links_)) {
        info.kind = EntryKind::kFile;
        info.size = static_cast<int64_t>(st.st_size);
    } else {
        return info;
    }
    info.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    return info;
}

namespace {

int64_t nanoseconds(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + static_cast<int64_t>(t.tv_nsec);
}

// The folder of `st` as a cursor tells it apart; `top`: the area's top folder.
ListedFolder listed_folder(const struct stat& st, bool top) {
    ListedFolder folder;
    folder.dev = st.st_dev;
    folder.ino = st.st_ino;
    folder.hides_node_lock = top;
    folder.mtime_ns = nanoseconds(st.st_mtim);
    folder.ctime_ns = nanoseconds(st.st_ctim);
    return folder;
}

// A folder being listed: its descriptor, and once it is read, its reader (which then
// owns the descriptor).
class OpenFolder {
public:
    explicit OpenFolder(int fd) : fd_(fd) {}
    ~OpenFolder() {
        if (dir_) {
            closedir(dir_);
        } else {
            sys().close(fd_);
        }
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    int fd() const { return fd_; }

    // Offers every name of the folder to `window` and finishes it; 0 or the errno of the
    // failure. The nodes' claim file is the server's own, refused to hosts by name: with
    // `hide_node_lock` it is left out.
    int read(NameWindow* window, bool hide_node_lock) {
        if (!dir_ && !(dir_ = fdopendir(fd_))) return errno;
        rewinddir(dir_);
        for (;;) {
            errno = 0;
            const dirent* e = readdir(dir_);
            if (!e) break;
            const std::string_view name(e->d_name);
            if (name == "." || name == ".." || (hide_node_lock && name == kNodeLockName)) continue;
            window->offer(name);
        }
        const int err = errno;
        window->finish();
        return err;
    }

private:
    const int fd_;
    DIR* dir_ = nullptr;
};

}  // namespace

int FileService::fill_page(int dir, const NameWindow& names, size_t first, size_t last,
                           std::vector<ListedEntry>* page) const {
    for (size_t i = first; i < last; ++i) {
        struct stat st;
        const std::string_view name = names.name(i);
        if (sys().fstatat(dir, name.data(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            if (err == ENOENT) continue;  // removed since the reading
            page->clear();
            return err;
        }
        page->push_back({std::string(name), entry_info(st)});
    }
    return 0;
}

// Each page comes from the connection's cursor of the folder when it holds the page, else
// from a new reading that the cursor keeps for the pages after (when ListMemory has room).
// Entries removed since the reading are left out; a page that lost every entry is
// followed by the next, so that an empty page always means the end.
int FileService::list(const FileArea& area, const std::string& rel, const std::string& after,
                      std::vector<ListedEntry>* page, bool* more, std::string* why,
                      ListCursors* cursors) {
    const RootDir& root = *area.root;
    page->clear();
    *more = false;
    const int fd = root.open_at(rel.empty() ? "." : rel, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        if (fd == -ENOTDIR) *why = "not a folder";
        return code_for(root, -fd, rel, false, why);
    }
    OpenFolder dir(fd);
    struct stat st;
    if (sys().fstat(fd, &st) != 0) return code_for(root, errno, rel, false, why);
    const ListedFolder folder = listed_folder(st, rel.empty());
    const auto now = sys().now();
    std::string from = after;
    do {
        const NameWindow* names =
            cursors ? cursors->find(folder, from, wire::kListMaxEntries, now) : nullptr;
        std::unique_ptr<NameWindow> fresh;
        ListCharge charge;
        if (!names) {
            if (cursors && list_memory_.take(kListCursorBytes))
                charge = ListCharge(&list_memory_, kListCursorBytes);
            fresh = std::make_unique<NameWindow>(from, charge.held() ? kListCursorBytes : 0,
                                                 wire::kListMaxEntries);
            if (int err = dir.read(fresh.get(), folder.hides_node_lock))
                return code_for(root, err, rel, false, why);
            charge.reset(fresh->bytes());
            names = fresh.get();
        }
        const size_t first = names->first_after(from);
        const size_t last = std::min(names->size(), first + wire::kListMaxEntries);
        *more = last > first && (last < names->size() || !names->complete());
        if (int err = fill_page(fd, *names, first, last, page)) {
            *more = false;
            return code_for(root, err, rel, false, why);
        }
        if (last > first) from = names->name(last - 1);
        if (cursors && !*more) cursors->forget(folder);
        if (cursors && *more && charge.held())
            cursors->keep(folder, std::move(fresh), std::move(charge), now);
    } while (page->empty() && *more);
    return 0;
}

int FileService::stat(const FileArea& area, const std::string& rel, EntryInfo* info,
                      std::string* why) {
    const RootDir& root = *area.root;
    const int fd = root.open_at(rel.empty() ? "." : rel, O_PATH);
    if (fd == -ENOENT || fd == -ENOTDIR || fd == -ENAMETOOLONG) {
        *why = "no such file or folder";
        return kCodeNotFound;
    }
    if (fd == -ELOOP) {
        *why = "links are not followed";
        return kCodeBadPath;
    }
    if (fd < 0) return code_for(root, -fd, rel, false, why);
    struct stat st;
    const int err = sys().fstat(fd, &st) == 0 ? 0 : errno;
    sys().close(fd);
    if (err != 0) return code_for(root, err, rel, false, why);
    *info = entry_info(st);
    return 0;
}

int FileService::remove_folder(const FileArea& area, const std::string& rel, std::string* why) {
    return remove_entry(area, rel, true, why);
}

}  // namespace gavo::server
