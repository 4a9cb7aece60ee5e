// The handle space: numbers 0..32767 naming the objects that clients hold open, shared
// by the files of the archive channel and the tables of the log channel (a close on the
// archive channel closes a table too).
//
// A handle belongs to the identity that opened it (identity.h: a plain client's address,
// or a client certificate's name): another identity gets it refused, while any
// connection of the owner may use it, so handles survive the client's reconnection. Each
// handle remembers the connection that used it last; when that connection ends the
// handle becomes an orphan, and an orphan that no connection of its owner uses again
// within the grace period is closed (take_expired). So the handles of a killed process
// expire even while other connections of its identity live, and a reconnecting host,
// which uses its handles again on its new connections, keeps them.
//
// Each identity has its own number space, so one identity's opens never use up
// another's numbers; the handles a host may hold are limited per host key (host_key():
// an IPv4 address or an IPv6 /64, see limits.h) over all the identities it opens for.
// Numbers are given out round-robin by one position shared by all, skipping only the
// numbers the opening identity holds (and those held back after a restart), so a number
// just closed is not reused at once.
//
// Across a restart: clients keep the numbers they hold, and nothing tells them that the
// server forgot them. With a HandleMarkFile attached, the table continues at the position
// the last run recorded instead of at 0, and for one lap of the space (its first 32768
// positions) skips every number that was open when that position was recorded, so that
// a stale number meets no object (see docs/server.md, Handles, for the bound).
//
// Across nodes: a server that is node N of M over one shared root (--node N/M) hands out
// only the numbers h with h % M == N - 1, so that a number another node issued names
// nothing here (Lookup::kOtherNode) when a host brings it after a fail-over. Positions
// still run over the whole space, so the mark file and its lap mean the same with or
// without nodes; only the numbers of other nodes' classes are skipped.
//
// Thread-safe: one mutex guards the table; the objects lock themselves. The mark file is
// written outside that mutex (under a second one that only writers of the mark take), so
// the lookups and closes of every client go on while a reservation is synced.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/base/address.h"
#include "server/base/identity.h"
#include "server/base/limits.h"
#include "server/base/mutex.h"

namespace gavo::server {

// Something a handle names. close() is called exactly once, by whoever took the object
// out of the table; it returns 0 or a library code.
class OpenObject {
public:
    virtual ~OpenObject() = default;
    virtual int close() = 0;
    // Whether close() may block (an fsync), so that it must run off the event loop.
    virtual bool close_blocks() { return false; }
    // A short description for log lines ("file a/b.txt").
    virtual std::string describe() const = 0;
    // What the admin port's handle list shows: the kind ("file", "table"), the name and
    // the access ("read", "write", "read/write", "append").
    struct Info {
        std::string kind, name, access;
    };
    virtual Info info() const { return {"object", describe(), ""}; }
};

// Connections are numbered by the server from 1; 0 stands for none.
using ConnId = uint64_t;

// One open handle as the admin port lists it.
struct HandleView {
    HostAddr host;         // the address it was opened from
    std::string identity;  // its owner (Identity::key())
    int handle = 0;
    std::shared_ptr<OpenObject> obj;
    Clock::time_point opened, used;  // when it was opened, and last used
    std::string connection;          // the label of the live connection that used it last;
                                     // empty for an orphan
};

// kOtherNode: a number of another node's class, which this node never hands out.
enum class Lookup { kFound, kUnknown, kOtherHost, kOtherNode };

// Why a lookup found nothing, for the log line of the refused request.
const char* lookup_failure(Lookup result);

constexpr int kHandleCount = 32768;
// Most nodes over one root: each keeps at least 1024 numbers (the default per-host limit).
constexpr int kMaxNodes = 32;

// The numbers this server hands out: those of class `index` (0-based) modulo `count`.
struct HandleClass {
    int index = 0;
    int count = 1;
    bool contains(int handle) const { return handle % count == index; }
    // How many numbers of the space fall in the class.
    int size() const { return (kHandleCount - index + count - 1) / count; }
};
// The mark file's name inside the state folder.
constexpr const char* kHandleMarkName = "handles";
// A set of handle numbers as 64-bit words. The mark file keeps it as bytes (bit n%8 of byte
// n/8), which the words give eight bits at a time instead of testing every number.
class HandleSet {
public:
    static constexpr size_t kBytes = kHandleCount / 8;
    bool operator[](size_t n) const { return ((words_[n / 64] >> (n % 64)) & 1) != 0; }
    void set(size_t n) { words_[n / 64] |= uint64_t{1} << (n % 64); }
    void reset(size_t n) { words_[n / 64] &= ~(uint64_t{1} << (n % 64)); }
    void reset() { words_.fill(0); }
    bool any() const;
    size_t count() const;
    HandleSet& operator|=(const HandleSet& other);
    friend HandleSet operator|(HandleSet a, const HandleSet& b) { return a |= b; }
    // Byte `i` of the file's bitmap.
    unsigned char byte(size_t i) const {
        return static_cast<unsigned char>(words_[i / 8] >> (8 * (i % 8)));
    }
    void set_byte(size_t i, unsigned char bits);

private:
    std::array<uint64_t, kHandleCount / 64> words_{};
};

// What the allocator keeps in the state folder.
struct HandleMark {
    uint64_t next = 0;  // positions below it may have been handed out (number: position % 32768)
    HandleSet held;     // numbers that clients may still hold
};

// The file "handles" of the state folder (mode 0600). save() writes "<path>.tmp", syncs it
// (unless `sync` is off), renames it over `path` and syncs the folder: a crash at any
// point leaves either the old or the new mark.
class HandleMarkFile {
public:
    enum class Load { kRead, kAbsent, kBad };
    HandleMarkFile(std::string path, bool sync) : path_(std::move(path)), sync_(sync) {}
    // kAbsent when there is no file; kBad, with `error`, when it cannot be read or its
    // contents are damaged.
    Load load(HandleMark* mark, std::string* error) const;
    bool save(const HandleMark& mark, std::string* error) const;
    const std::string& path() const { return path_; }
    bool syncs() const { return sync_; }

private:
    std::string path_;
    bool sync_;
};

class HandleTable {
public:
    static constexpr int kHandleCount = server::kHandleCount;
    // Positions reserved in the mark file per write: one write per this many opens.
    static constexpr uint64_t kReserveBlock = 1024;
    using Taken = std::vector<std::pair<int, std::shared_ptr<OpenObject>>>;

    explicit HandleTable(int per_host_limit, HandleClass numbers = {})
        : per_host_limit_(per_host_limit), class_(numbers) {}

    // Keeps the allocation position in `file` from now on: continues where the file says,
    // holds its numbers back for one lap, and writes the first reservation. Call before
    // serving. False with `error` when the file is damaged or cannot be written. Every
    // kReserveBlock-th add() then writes the file; only other adds that need a new
    // reservation wait for it.
    bool keep_position(std::unique_ptr<HandleMarkFile> file, std::string* error);
    // Records the exact position and the numbers open now; call at a stop, before
    // take_all(). True when there is no file.
    bool record_stop(std::string* error);

    // The new handle for `obj`, owned by `who` and used by connection `conn` (0: none,
    // and the handle never becomes an orphan); -1 with `why` set when the host key of
    // `who`'s address is at its limit or every number is in use (by `who`, or held
    // back). Times come from sys().
    int add(const Identity& who, std::shared_ptr<OpenObject> obj, std::string* why,
            ConnId conn = 0);
    // The object of `handle` when `who` owns it; null otherwise, with `result` telling
    // why (kOtherHost: some other identity holds that number). A found handle counts as
    // used by `conn` now (an orphan is one no longer) when `conn` is not 0.
    std::shared_ptr<OpenObject> find(int handle, const Identity& who, Lookup* result,
                                     ConnId conn = 0);
    // As find(), and takes the handle out of the table (the caller closes the object), in
    // one step: of two closes of one handle, exactly one gets the object.
    std::shared_ptr<OpenObject> remove(int handle, const Identity& who, Lookup* result);

    // The connections alive, for the grace period and the handle list (`label` as in
    // the log lines). At the close, the handles `conn` used last become orphans.
    // `host` is the connection's address (its owner's, as connection_closed() gets it).
    void connection_opened(ConnId conn, const HostAddr& host, const std::string& label);
    void connection_closed(ConnId conn, const Identity& who, Clock::time_point now);
    // Takes out the orphans whose connection ended at least `grace` before `now`, with
    // their owners' keys in `owners` (one entry per handle taken).
    Taken take_expired(Clock::time_point now, std::chrono::milliseconds grace,
                       std::vector<std::string>* owners);
    // Takes out `handle` of the identity keyed `owner` (the admin port's drop of an
    // orphan): kFound when taken, kUnknown when there is no such handle; a handle whose
    // connection lives is left alone (`live` set to true).
    std::shared_ptr<OpenObject> take_orphan(int handle, const std::string& owner, Lookup* result,
                                            bool* live);
    // Every open handle, ordered by address, identity and number.
    std::vector<HandleView> list() const;
    // Takes out every handle (server stop).
    Taken take_all();

    size_t size() const;
    size_t orphan_count() const;
    // Where the search for the next number starts, and how many numbers are held back.
    uint64_t next_position() const;
    size_t held_back_count() const;
    // Whether the next add() would write the mark file with its syncs (almost always
    // right; a miss only costs the wait on the caller's thread): a caller on an event
    // loop then moves off it first. Takes no lock.
    bool add_may_sync() const { return mark_due_.load(std::memory_order_relaxed); }

private:
    struct Slot {
        HostAddr owner;  // the owner's address: the per-host count goes by it
        std::shared_ptr<OpenObject> obj;
        ConnId conn = 0;  // the live connection that used it last; 0: none
        Clock::time_point opened, used;
        Clock::time_point orphaned;  // when `conn` ended (for an orphan)
    };
    using Space = std::unordered_map<int, Slot>;               // one identity's numbers
    using Spaces = std::map<std::string, Space, std::less<>>;  // by identity key
    using Orphan = std::pair<std::string, int>;                // identity key and number
    // Why `handle` is not among the caller's: another identity's, another node's, or none.
    Lookup missing(int handle) const GAVO_REQUIRES(mutex_);
    // Where add() stands: a number given, none to give, or a reservation to write first.
    enum class Place { kGiven, kRefused, kReserve };
    // Gives `who` (keyed `key`) the next free number for `obj` when the reservation covers
    // its position; otherwise sets `position` to it and gives nothing.
    Place place(const Identity& who, const std::string& key, std::shared_ptr<OpenObject>& obj,
                ConnId conn, Clock::time_point now, int* handle, uint64_t* position,
                std::string* why) GAVO_REQUIRES(mutex_);
    // Takes `slot` of `space` out; `space` is forgotten once empty, unless the connection
    // that used the slot lives (its owner's next open would make the space again at once;
    // connection_closed() forgets it).
    std::shared_ptr<OpenObject> take_slot(Spaces::iterator space, Space::iterator slot)
        GAVO_REQUIRES(mutex_);
    // The handles the host key of `addr` holds (over all its identities); one more or less;
    // one connection more or less.
    size_t host_count(const HostAddr& addr) const GAVO_REQUIRES(mutex_);
    void count_host(const HostAddr& addr, bool added) GAVO_REQUIRES(mutex_);
    void count_connection(const HostAddr& addr, bool added) GAVO_REQUIRES(mutex_);
    // True when `position` falls in the first lap and its number is held back.
    bool held_back(uint64_t position) const GAVO_REQUIRES(mutex_);
    // The mark to save with `next`: the open numbers, plus those still held back while
    // that keeps at most half of this server's numbers out of use.
    HandleMark mark_at(uint64_t next) const GAVO_REQUIRES(mutex_);
    // Writes a reservation up to `position` + kReserveBlock unless one covers `position`
    // already; false with `why` on failure. The mark is taken under mutex_, written and
    // synced outside it, and reserved_ moves only once it is on disk.
    bool reserve(uint64_t position, std::string* why) GAVO_REQUIRES(save_mutex_);

    const int per_host_limit_;
    const HandleClass class_;
    // Serialises the writes of the mark file; taken before mutex_, never inside it.
    Mutex save_mutex_;
    mutable Mutex mutex_;
    // Empty spaces only of owners whose connection used them last and lives.
    Spaces spaces_ GAVO_GUARDED_BY(mutex_);
    // Handles and live connections by host key; no entry with both zero. A connected
    // host's entry stays while its handles come and go, as they do every open and close.
    struct HostCounts {
        size_t handles = 0, connections = 0;
    };
    std::map<HostAddr, HostCounts> per_host_ GAVO_GUARDED_BY(mutex_);
    // Spaces per number.
    std::vector<uint32_t> holders_ GAVO_GUARDED_BY(mutex_) = std::vector<uint32_t>(kHandleCount);
    // The numbers with holders, kept beside the counts: the mark copies it whole instead
    // of testing every number's count.
    HandleSet in_use_ GAVO_GUARDED_BY(mutex_);
    size_t size_ GAVO_GUARDED_BY(mutex_) = 0;  // handles in all spaces
    // Connections alive, with their labels.
    std::unordered_map<ConnId, std::string> live_ GAVO_GUARDED_BY(mutex_);
    // Handles whose connection ended and no other used since.
    std::set<Orphan> orphans_ GAVO_GUARDED_BY(mutex_);
    // The position where the search for a free number starts.
    uint64_t next_ GAVO_GUARDED_BY(mutex_) = 0;
    // The mark file syncs and next_ has reached reserved_; changed with either of them.
    std::atomic<bool> mark_due_{false};
    bool mark_syncs_ GAVO_GUARDED_BY(mutex_) = false;
    void update_mark_due() GAVO_REQUIRES(mutex_) {
        mark_due_.store(mark_syncs_ && next_ >= reserved_, std::memory_order_relaxed);
    }
    // With a mark file: positions below reserved_ may be handed out without writing it.
    std::unique_ptr<HandleMarkFile> mark_file_ GAVO_GUARDED_BY(save_mutex_);
    uint64_t reserved_ GAVO_GUARDED_BY(mutex_) = UINT64_MAX;
    HandleSet held_ GAVO_GUARDED_BY(mutex_);           // numbers of the last run, skipped while...
    uint64_t held_until_ GAVO_GUARDED_BY(mutex_) = 0;  // ...the position is below this
};

}  // namespace gavo::server
