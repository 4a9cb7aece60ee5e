// The server's file operations on names beneath the root, with the same meaning of the
// open flags, the same sharing rules and the same error codes as the library's local
// back end: errno goes through windows_error_from_errno and nfile_map_os_error (see
// proto/os_error.h), so a host sees one set of codes in both working modes.
//
// Results are 0 (or a count) for success and a negative library code for failure; on
// failure `why` receives a short text for the server log. Thread-safe.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "proto/codes.h"
#include "proto/listing.h"
#include "proto/share_table.h"
#include "server/base/limits.h"
#include "server/base/mutex.h"
#include "server/files/handles.h"
#include "server/files/list_cursor.h"
#include "server/files/resolver.h"

namespace gavo::server {

// What the opens of one file (device and inode) share: a count of the changes made to it
// through the server, so that a write taking back its own bytes can tell whether another
// handle wrote to the file or cut it meanwhile, and the file's length as those changes
// left it, so that a write need not ask the file system for it first. Each change and
// each take-back (its check and its cut) happen under `mutex`, so they are one step for
// the other handles.
//
// Other processes (servers on the same root, hosts in working mode 1) change the file
// without this count: `seen` is the file as fstat showed it right after this server's
// last change, and a file that shows otherwise now was changed elsewhere meanwhile. The
// fstat right after a change also makes the next change stamp a newer time even on file
// systems with coarse clocks (Linux's fine-grained timestamps on query). That fstat is
// the only look a write makes: a length other than the one this server's changes should
// have left shows a change elsewhere since the look before (see note_own_change). The
// chunk that completes a write is not looked at: no take-back can follow it, so its look
// is left due and taken when the next write begins (most small files see no next write,
// and save the call).
struct FileWrites {
    Mutex mutex;
    uint64_t count GAVO_GUARDED_BY(mutex) = 0;  // write chunks, cuts and take-backs so far
    // The length at the first open, raised by every write chunk, set by every cut, and
    // taken from the file when a look shows that it changed elsewhere.
    int64_t size GAVO_GUARDED_BY(mutex) = 0;
    // The change count when a look after a change of this server's last showed that
    // the file had also changed elsewhere (0: never): a write under way since then is
    // not taken back, since another process's bytes may lie in the part to cut.
    uint64_t changed_elsewhere_at GAVO_GUARDED_BY(mutex) = 0;
    // Length, modification and change times after this server's last change (a size of
    // -1 when unknown: then any file counts as changed elsewhere).
    struct Seen {
        int64_t size = -1;
        int64_t mtime_ns = 0;
        int64_t ctime_ns = 0;
        bool operator==(const Seen& o) const {
            return size == o.size && mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns;
        }
    };
    Seen seen GAVO_GUARDED_BY(mutex);
    bool look_due GAVO_GUARDED_BY(mutex) = false;  // `seen` predates this server's last change

    // The file of `fd` as fstat shows it now; a size of -1 when it cannot be known.
    static Seen look(int fd);
    static Seen seen_of(const struct stat& st);
    // Notes the file as it is right after a change of this server's, which left `size`.
    void note_own_change(int fd) GAVO_REQUIRES(mutex);
    // The same for a change that completed a write: the look waits for the next write.
    void note_own_change_later() GAVO_REQUIRES(mutex) { look_due = true; }
    // Takes a look left due, before a write begins.
    void settle(int fd) GAVO_REQUIRES(mutex) {
        if (look_due) note_own_change(fd);
    }
};

// One file opened by a client. The mutex is held across a whole read or write, so the
// requests of two connections on one handle never mix within the file position.
class OpenFile : public OpenObject {
public:
    OpenFile(ShareTable* shares, std::string name) : shares_(shares), name_(std::move(name)) {}
    ~OpenFile() override;

    // Flushes the file (and the folder entry of a file this open created) to stable
    // storage when it was changed and syncing is on, then releases everything.
    int close() override;
    bool close_blocks() override;
    std::string describe() const override { return "file " + name_; }
    // may_read and may_write are set before the handle is handed out and never change.
    Info info() const override {
        return {"file", name_,
                may_read && may_write ? "read/write"
                : may_read            ? "read"
                : may_write           ? "write"
                                      : "none"};
    }

    // Set before the handle is handed out and never changed after.
    bool may_read = false;
    bool may_write = false;

    Mutex mutex;                                // guards every field below
    int fd GAVO_GUARDED_BY(mutex) = -1;         // -1 once closed
    int dir_fd GAVO_GUARDED_BY(mutex) = -1;     // the folder of a newly created file, for its fsync
    bool dirty GAVO_GUARDED_BY(mutex) = false;  // created, cut or written since the open
    bool sync GAVO_GUARDED_BY(mutex) = true;
    // The descriptor's file position: 0 or the end after the open, then moved only by this
    // open's reads, writes and take-backs, so nobody needs to ask the kernel for it.
    int64_t pos GAVO_GUARDED_BY(mutex) = 0;
    ShareTable::Token share GAVO_GUARDED_BY(mutex) = ShareTable::kSharingViolation;
    // Set once the open is admitted; the pointer is guarded, the record has its own mutex.
    std::shared_ptr<FileWrites> writes GAVO_GUARDED_BY(mutex);
    DescriptorCharge charge GAVO_GUARDED_BY(mutex);  // fd and dir_fd counted against the quota

private:
    int release_locked() GAVO_REQUIRES(mutex);

    ShareTable* const shares_;
    const std::string name_;
};

struct OpenResult {
    int code = 0;                    // 0 or a library code
    std::shared_ptr<OpenFile> file;  // set when code is 0
    int64_t length = 0;              // the file's length after the open
};

// One entry of a folder listing.
struct ListedEntry {
    std::string name;  // the bytes the file system holds
    wire::EntryInfo info;
};

// Where a client's names resolve: the served root, or the folder its access rule confines
// it to; and whether it may change anything there (besides the server-wide --read-only).
struct FileArea {
    const RootDir* root = nullptr;
    bool read_only = false;
};

class FileService {
public:
    FileService(const RootDir& root, bool read_only, bool sync, bool allow_hard_links = false)
        : root_(root), read_only_(read_only), sync_(sync), allow_hard_links_(allow_hard_links) {}

    // The whole root, as the server's settings give it.
    FileArea whole() const { return {&root_, false}; }

    // Opens `rel` with the client's open flags: access, append (position at the end),
    // create (missing file created, existing one cut, missing folders created), sharing.
    // Only regular files are opened for reading or writing, and (unless hard links are
    // allowed) only those with one link: another link may lie outside the root. Both are
    // refused with -103 before anything is opened or cut.
    OpenResult open(const FileArea& area, const std::string& rel, unsigned int flags,
                    std::string* why);
    // Renames without ever replacing an existing entry; durable when it returns 0.
    int rename(const FileArea& area, const std::string& from, const std::string& to,
               std::string* why);
    // Removes a file (not a folder); durable when it returns 0.
    int remove(const FileArea& area, const std::string& rel, std::string* why);
    // 1 when the entry exists (file or folder), 0 when not; -107 when the name leads out
    // of the area through a link.
    int exists(const FileArea& area, const std::string& rel, std::string* why);

    // One page of folder `rel` ("" is the area's root): its entries whose names sort
    // after `after` (byte by byte), at most wire::kListMaxEntries, in name order; `more`
    // tells whether any follow. With `cursors` (the connection's), the names of a reading
    // of the folder serve the following pages while it is unchanged (list_cursor.h);
    // without, the folder is read in full for each page, holding only the page's names.
    int list(const FileArea& area, const std::string& rel, const std::string& after,
             std::vector<ListedEntry>* page, bool* more, std::string* why,
             ListCursors* cursors = nullptr);
    // What `rel` ("" is the area's root) is; -102 when it does not exist.
    int stat(const FileArea& area, const std::string& rel, wire::EntryInfo* info, std::string* why);
    // Removes the empty folder `rel`: -103 for a file or a pinned folder, -1 when it is
    // not empty; durable when it returns 0.
    int remove_folder(const FileArea& area, const std::string& rel, std::string* why);

    // The same in the whole root.
    OpenResult open(const std::string& rel, unsigned int flags, std::string* why) {
        return open(whole(), rel, flags, why);
    }
    int rename(const std::string& from, const std::string& to, std::string* why) {
        return rename(whole(), from, to, why);
    }
    int remove(const std::string& rel, std::string* why) { return remove(whole(), rel, why); }
    int exists(const std::string& rel, std::string* why) { return exists(whole(), rel, why); }

    size_t open_count() const { return shares_.size(); }

    // From now on a rename that would move a folder of `pins` (or a remove of one) is
    // refused with -103: the folders access rules confine identities to, opened as roots
    // of their own, and every folder above one. Moved, such a folder would take its
    // identity's new files into another identity's tree. Replaces the pins before.
    void pin_folders(FolderPins pins);

private:
    // True (with `why` set) when `area` may not be changed.
    bool refuses_changes(const FileArea& area, std::string* why) const;
    // What opening a name found out: whether the open created the file, and the file's
    // stat when the lookup before the open already made one (so it is not asked twice).
    struct Opened {
        bool created = false;
        bool stat_known = false;
        struct stat st {};
    };
    int open_fd(const RootDir& root, const std::string& rel, int pflags, bool create,
                bool exclusive_first, Opened* opened, std::string* why);
    // Opens an existing regular file; `*st` is its stat from the lookup.
    int open_existing(const RootDir& root, const std::string& rel, int pflags, std::string* why,
                      struct stat* st);
    // What a listing or stat tells of an entry of `st`.
    wire::EntryInfo entry_info(const struct stat& st) const;
    // Appends the entries of names [first, last) of folder `dir`, leaving out those gone;
    // 0, or the errno of a failed look (with `page` emptied).
    int fill_page(int dir, const NameWindow& names, size_t first, size_t last,
                  std::vector<ListedEntry>* page) const;
    // 0 when a file of `st` may be opened for I/O, else -errno with `why` set.
    int check_servable(const struct stat& st, std::string* why) const;
    // The change count and length shared by every open of the file of `st`; a new record
    // takes the length from `st`.
    std::shared_ptr<FileWrites> writes_for(const struct stat& st);
    int admit(OpenFile& file, const struct stat& st, unsigned int mode, bool cut, std::string* why)
        GAVO_REQUIRES(file.mutex);
    int finish_open(const RootDir& root, OpenFile& file, const std::string& rel, unsigned int mode,
                    unsigned int flags, const Opened& opened, int64_t* length, std::string* why)
        GAVO_REQUIRES(file.mutex);
    void discard_created(const RootDir& root, const std::string& rel);
    // True when a failed create of `rel` (errno `err`) calls for creating its folders.
    bool needs_folders(int err, const std::string& rel) const;
    int parent_of(const RootDir& root, const std::string& rel, std::string* last, std::string* why);
    int sync_dirs(int a, int b, std::string* why);
    // The library code of a failed call on `rel` with errno `err`.
    int code_for(const RootDir& root, int err, const std::string& rel, bool creating,
                 std::string* why) const;
    // Refuses a name change of an entry that a client (of this server or another process)
    // holds open, as Windows does, and of a pinned folder. On success `*mark_fd` is -1 or
    // a descriptor holding the file's name-change mark, for the caller to close once the
    // change is made. The caller holds names_mutex_.
    // Removes the file (or with `folder`, the empty folder) `rel` once nobody holds it open.
    int remove_entry(const FileArea& area, const std::string& rel, bool folder, std::string* why);
    int check_not_open(int dir_fd, const std::string& last, int* mark_fd, std::string* why)
        GAVO_REQUIRES(names_mutex_);
    int mark_name_change(int dir_fd, const std::string& last, const struct stat& st, int* mark_fd,
                         std::string* why);
    int rename_noreplace(int from_dir, const std::string& from, int to_dir, const std::string& to);

    const RootDir& root_;
    const bool read_only_;
    const bool sync_;
    const bool allow_hard_links_;
    ShareTable shares_;
    // Serialises sharing decisions with renames and removes, so that "is it open?" and
    // the change it guards are one step for other clients.
    Mutex names_mutex_;
    FolderPins pins_ GAVO_GUARDED_BY(names_mutex_);
    ListMemory list_memory_{kListMemoryBytes};  // what the connections' list cursors hold
    // The FileWrites of the files open now; an entry goes when its last open is released.
    Mutex writes_mutex_;
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<FileWrites>> writes_
        GAVO_GUARDED_BY(writes_mutex_);
};

}  // namespace gavo::server
