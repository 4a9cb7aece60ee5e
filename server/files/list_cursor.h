// Paging through a large folder without reading it whole for every page.
//
// A listing page holds the names after a cursor name, in byte order, so a server that
// keeps nothing between pages reads the whole folder for each one: a folder of n names
// costs n * n / 1024 entries read. Instead each connection keeps cursors (ListCursors):
// the sorted names of one reading of a folder (all names after the reading's start that
// fit in kListCursorBytes), checked against the folder's identity and times at every
// page. A page within a cursor costs a binary search and its own entries; a folder that
// changed, a cursor older than kListCursorLife, or a page past the cursor's last name
// reads the folder again from the page's cursor name. Either way a page holds what a
// reading of the folder for that page would give.
//
// Bounds on what a client can make the server hold: kListCursorBytes per cursor (a
// reading trims itself to stay within it), kListCursorsPerConnection per connection, and
// kListMemoryBytes for the cursors of all connections (ListMemory). A reading that finds
// no room left in kListMemoryBytes is done as without cursors: it holds about two pages'
// names, and nothing is kept.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace gavo::server {

constexpr size_t kListCursorBytes = 16u << 20;  // 226,000 names of 32 bytes; 32,000 of 255
constexpr size_t kListCursorsPerConnection = 2;
constexpr size_t kListMemoryBytes = 128u << 20;
constexpr std::chrono::seconds kListCursorLife{10};

// The bytes that the cursors of all connections hold, against a server-wide cap.
// Thread-safe (one atomic count).
class ListMemory {
public:
    explicit ListMemory(size_t cap) : cap_(cap) {}
    // Counts `bytes` more; false (nothing counted) when that would pass the cap.
    bool take(size_t bytes);
    void give(size_t bytes) { held_.fetch_sub(bytes, std::memory_order_relaxed); }
    size_t held() const { return held_.load(std::memory_order_relaxed); }

private:
    const size_t cap_;
    std::atomic<size_t> held_{0};
};

// What one connection's cursor holds against a ListMemory; given back when destroyed.
class ListCharge {
public:
    ListCharge() = default;
    ListCharge(ListMemory* memory, size_t bytes) : memory_(memory), bytes_(bytes) {}
    ~ListCharge() { reset(0); }
    ListCharge(ListCharge&& o) noexcept : memory_(o.memory_), bytes_(o.bytes_) { o.bytes_ = 0; }
    ListCharge& operator=(ListCharge&& o) noexcept;
    ListCharge(const ListCharge&) = delete;
    ListCharge& operator=(const ListCharge&) = delete;

    // Lowers the charge to `bytes` (never raises it).
    void reset(size_t bytes);
    bool held() const { return bytes_ > 0; }

private:
    ListMemory* memory_ = nullptr;
    size_t bytes_ = 0;
};

// The smallest names (byte order, unsigned) after `from` among those offered. The names
// held take at most half of `max_bytes` (each counts its bytes, a zero and a 4-byte
// index), so that with the doubling of their buffers the memory stays within max_bytes;
// but never fewer than `min_names` are kept. No I/O: a reading of the folder offers each
// name, then calls finish().
class NameWindow {
public:
    NameWindow(std::string from, size_t max_bytes, size_t min_names);

    void offer(std::string_view name);
    // Sorts the names (dropping a name offered twice, as a folder changing under the
    // reading may give) and lets go of spare capacity. Nothing may be offered after.
    void finish();

    const std::string& from() const { return from_; }
    // True when every name offered after `from` is held; false when some were left out,
    // all of them after the last name held.
    bool complete() const { return complete_; }
    size_t size() const { return index_.size(); }
    std::string_view name(size_t i) const { return std::string_view(&names_[index_[i]]); }
    // The index of the first name after `after` (size() when none).
    size_t first_after(std::string_view after) const;
    // The memory held now.
    size_t bytes() const { return names_.capacity() + index_.capacity() * sizeof(uint32_t); }

private:
    size_t used() const { return names_.size() + index_.size() * sizeof(uint32_t); }
    // Keeps the smaller half of the names (at least min_names): later names beyond the
    // largest kept are left out at once.
    void trim();

    const std::string from_;
    const size_t max_bytes_;
    const size_t min_names_;
    std::vector<char> names_;      // each name with its zero
    std::vector<uint32_t> index_;  // where each name starts in names_
    bool complete_ = true;
    std::string last_;  // once trimmed: the largest name kept
};

// The folder a cursor reads: which one, and how it looked when read.
struct ListedFolder {
    dev_t dev = 0;
    ino_t ino = 0;
    bool hides_node_lock = false;  // the area's top folder, where the nodes' claim is hidden
    int64_t mtime_ns = 0;          // changes with every name added, removed or renamed
    int64_t ctime_ns = 0;
    bool same_folder(const ListedFolder& o) const {
        return dev == o.dev && ino == o.ino && hides_node_lock == o.hides_node_lock;
    }
    bool unchanged(const ListedFolder& o) const {
        return same_folder(o) && mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns;
    }
};

// A connection's cursors, the most recently used first. Not thread-safe: one session's.
class ListCursors {
public:
    using Time = std::chrono::steady_clock::time_point;

    // The names of `folder` as they are now that hold the page after `after`: a window
    // read at most kListCursorLife before `now`, of the folder unchanged since, starting
    // at or before `after`, and either complete or holding a full page of `page` names
    // after `after`. Null when none does; a cursor of that folder that does not is dropped.
    const NameWindow* find(const ListedFolder& folder, std::string_view after, size_t page,
                           Time now);
    // Keeps `window` for `folder` (replacing its cursor, or the least recently used one
    // beyond kListCursorsPerConnection).
    void keep(const ListedFolder& folder, std::unique_ptr<NameWindow> window, ListCharge charge,
              Time read_at);
    // Drops the cursor of `folder`, when the listing reached its end.
    void forget(const ListedFolder& folder);
    size_t size() const { return cursors_.size(); }

private:
    struct Cursor {
        ListedFolder folder;
        std::unique_ptr<NameWindow> window;
        ListCharge charge;
        Time read_at;
    };
    std::vector<Cursor> cursors_;
};

}  // namespace gavo::server
