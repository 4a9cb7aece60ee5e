// Listing, stat and folder removal: the server's extension requests over the same
// confinement (RootDir) and change rules (read-only, pinned folders) as every request.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <queue>
#include <string_view>

#include "proto/os_error.h"
#include "server/base/sys.h"
#include "server/files/files.h"
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

int FileService::list(const FileArea& area, const std::string& rel, const std::string& after,
                      std::vector<ListedEntry>* page, bool* more, std::string* why) {
    const RootDir& root = *area.root;
    page->clear();
    *more = false;
    const int fd = root.open_at(rel.empty() ? "." : rel, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        if (fd == -ENOTDIR) *why = "not a folder";
        return code_for(root, -fd, rel, false, why);
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        const int err = errno;
        sys().close(fd);
        return code_for(root, err, rel, false, why);
    }
    // The smallest names after the cursor, kept in a max-heap of at most a page: the
    // folder's size never shows in the memory held. Entries removed since the scan are
    // left out; a page that lost every entry is read again after them, so that an empty
    // page always means the end.
    std::string from = after;
    int code = 0;
    do {
        rewinddir(dir);
        *more = false;
        std::priority_queue<std::string> kept;
        errno = 0;
        while (const dirent* e = readdir(dir)) {
            const std::string_view name(e->d_name);
            if (name == "." || name == ".." || name <= from) continue;
            // The nodes' claim file is the server's own, refused to hosts by name.
            if (rel.empty() && name == kNodeLockName) continue;
            if (kept.size() < wire::kListMaxEntries) {
                kept.emplace(name);
            } else {
                *more = true;
                if (name < kept.top()) {
                    kept.pop();
                    kept.emplace(name);
                }
            }
        }
        if (errno != 0) code = code_for(root, errno, rel, false, why);
        page->resize(kept.size());
        for (size_t i = kept.size(); i-- > 0; kept.pop()) (*page)[i].name = kept.top();
        if (!page->empty()) from = page->back().name;
        size_t out = 0;
        for (size_t i = 0; code == 0 && i < page->size(); ++i) {
            struct stat st;
            ListedEntry& entry = (*page)[i];
            if (sys().fstatat(dirfd(dir), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                code = code_for(root, errno, rel, false, why);
                break;
            }
            entry.info = entry_info(st);
            if (out != i) (*page)[out] = std::move(entry);
            ++out;
        }
        page->resize(code == 0 ? out : 0);
    } while (code == 0 && page->empty() && *more);
    closedir(dir);
    return code;
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
