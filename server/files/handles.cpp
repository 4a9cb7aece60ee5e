#include "server/files/handles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "proto/codec.h"
#include "server/base/sys.h"

namespace gavo::server {

namespace {

// The mark file: this magic, the next position (64-bit big-endian), the held numbers as
// a bitmap (bit n%8 of byte n/8) and an FNV-1a checksum of all before it (32-bit).
constexpr char kMarkMagic[8] = {'G', 'A', 'V', 'O', 'H', 'N', 'D', '1'};
constexpr size_t kMarkSize = 8 + 8 + kHandleCount / 8 + 4;
// Far beyond any real position; larger ones mean a damaged file (and could overflow).
constexpr uint64_t kMaxPosition = uint64_t{1} << 62;

uint32_t fnv1a(const unsigned char* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool HandleSet::any() const {
    return std::any_of(words_.begin(), words_.end(), [](uint64_t w) { return w != 0; });
}

size_t HandleSet::count() const {
    size_t n = 0;
    for (const uint64_t w : words_) n += std::bitset<64>(w).count();
    return n;
}

HandleSet& HandleSet::operator|=(const HandleSet& other) {
    for (size_t i = 0; i < words_.size(); ++i) words_[i] |= other.words_[i];
    return *this;
}

void HandleSet::set_byte(size_t i, unsigned char bits) {
    const auto shift = static_cast<unsigned>(8 * (i % 8));
    words_[i / 8] = (words_[i / 8] & ~(uint64_t{0xff} << shift)) | (uint64_t{bits} << shift);
}

const char* lookup_failure(Lookup result) {
    switch (result) {
    case Lookup::kOtherHost: return "handle of another host";
    case Lookup::kOtherNode: return "handle of another node";
    default: return "unknown handle";
    }
}

HandleMarkFile::Load HandleMarkFile::load(HandleMark* mark, std::string* error) const {
    const int fd = sys().openat(AT_FDCWD, path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0 && errno == ENOENT) return Load::kAbsent;
    if (fd < 0) {
        *error = "cannot read " + path_ + ": " + strerror(errno);
        return Load::kBad;
    }
    unsigned char buf[kMarkSize + 1];  // one byte more tells a file that is too long
    const ssize_t n = read_full(fd, buf, sizeof buf);
    sys().close(fd);
    if (n < 0) {
        *error = "cannot read " + path_ + ": " + strerror(static_cast<int>(-n));
        return Load::kBad;
    }
    const bool intact =
        static_cast<size_t>(n) == kMarkSize && memcmp(buf, kMarkMagic, sizeof kMarkMagic) == 0 &&
        static_cast<uint32_t>(codec::get32(buf + kMarkSize - 4)) == fnv1a(buf, kMarkSize - 4) &&
        codec::get64(buf + 8) <= kMaxPosition;
    if (!intact) {
        *error = path_ + " is damaged (" + std::to_string(n) + " bytes); removing it lets " +
                 "the server start, but handles held from before would name new objects";
        return Load::kBad;
    }
    mark->next = codec::get64(buf + 8);
    for (size_t i = 0; i < HandleSet::kBytes; ++i) mark->held.set_byte(i, buf[16 + i]);
    return Load::kRead;
}

bool HandleMarkFile::save(const HandleMark& mark, std::string* error) const {
    unsigned char buf[kMarkSize] = {};
    memcpy(buf, kMarkMagic, sizeof kMarkMagic);
    codec::put64(buf + 8, mark.next);
    for (size_t i = 0; i < HandleSet::kBytes; ++i) buf[16 + i] = mark.held.byte(i);
    codec::put32(buf + kMarkSize - 4, static_cast<int>(fnv1a(buf, kMarkSize - 4)));
    const std::string tmp = path_ + ".tmp";
    sys().unlinkat(AT_FDCWD, tmp.c_str(), 0);  // a leftover of a crash; made afresh, mode 0600
    const int fd =
        sys().openat(AT_FDCWD, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    int err = fd < 0 ? errno : write_all(sys(), fd, buf, kMarkSize);
    if (err == 0 && sync_ && sys().fsync(fd) != 0) err = errno;
    if (fd >= 0 && sys().close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && sys().renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path_.c_str(), 0) != 0) {
        err = errno;
    }
    if (err != 0) {
        *error = "cannot write " + path_ + ": " + strerror(err);
        if (fd >= 0) sys().unlinkat(AT_FDCWD, tmp.c_str(), 0);
        return false;
    }
    if (!sync_) return true;
    // The rename is durable only once the folder is synced.
    const int dir =
        sys().openat(AT_FDCWD, folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    const bool ok = dir >= 0 && sys().fsync(dir) == 0;
    if (!ok) *error = "cannot sync the folder of " + path_ + ": " + strerror(errno);
    if (dir >= 0) sys().close(dir);
    return ok;
}

bool HandleTable::keep_position(std::unique_ptr<HandleMarkFile> file, std::string* error) {
    HandleMark mark;
    if (file->load(&mark, error) == HandleMarkFile::Load::kBad) return false;
    MutexLock saving(save_mutex_);
    uint64_t next = 0;
    {
        MutexLock lock(mutex_);
        next = next_ = mark.next;
        held_ = mark.held;
        held_until_ = held_.any() ? next_ + kHandleCount : 0;
        reserved_ = next_;  // nothing may be handed out before the first reservation
        mark_syncs_ = file->syncs();
    }
    mark_file_ = std::move(file);
    if (reserve(next, error)) return true;
    mark_file_.reset();
    MutexLock lock(mutex_);
    reserved_ = UINT64_MAX;
    mark_syncs_ = false;
    update_mark_due();
    return false;
}

bool HandleTable::record_stop(std::string* error) {
    MutexLock saving(save_mutex_);
    if (!mark_file_) return true;
    HandleMark mark;
    {
        MutexLock lock(mutex_);
        reserved_ = next_;  // anything handed out after this needs a new reservation
        update_mark_due();
        mark = mark_at(next_);
    }
    return mark_file_->save(mark, error);
}

bool HandleTable::held_back(uint64_t position) const {
    return position < held_until_ && held_[position % kHandleCount];
}

HandleMark HandleTable::mark_at(uint64_t next) const {
    HandleMark mark;
    mark.next = next;
    mark.held = in_use_;
    // Numbers of an earlier run still held back stay so across a quick second restart,
    // unless repeated restarts would keep more than half of the class out of use.
    if (next_ < held_until_ &&
        (mark.held | held_).count() <= static_cast<size_t>(class_.size() / 2)) {
        mark.held |= held_;
    }
    return mark;
}

bool HandleTable::reserve(uint64_t position, std::string* why) {
    HandleMark mark;
    {
        MutexLock lock(mutex_);
        if (position < reserved_) return true;  // another add reserved it meanwhile
        mark = mark_at(position + kReserveBlock);
    }
    // Numbers handed out while this is written lie below the old reservation, which the
    // file on disk still covers; none at or beyond it until the new one is durable.
    std::string error;
    if (!mark_file_->save(mark, &error)) {
        *why = "the handle position cannot be recorded: " + error;
        return false;
    }
    MutexLock lock(mutex_);
    reserved_ = mark.next;
    update_mark_due();
    return true;
}

size_t HandleTable::host_count(const HostAddr& addr) const {
    const auto it = per_host_.find(host_key(addr));
    return it == per_host_.end() ? 0 : it->second.handles;
}

void HandleTable::count_host(const HostAddr& addr, bool added) {
    const auto it = per_host_.try_emplace(host_key(addr)).first;
    size_t& count = it->second.handles;
    count = added ? count + 1 : count - 1;
    if (count == 0 && it->second.connections == 0) per_host_.erase(it);
}

void HandleTable::count_connection(const HostAddr& addr, bool added) {
    const auto it = per_host_.try_emplace(host_key(addr)).first;
    size_t& count = it->second.connections;
    count = added ? count + 1 : count - 1;
    if (count == 0 && it->second.handles == 0) per_host_.erase(it);
}

int HandleTable::add(const Identity& who, std::shared_ptr<OpenObject> obj, std::string* why,
                     ConnId conn) {
    const Clock::time_point now = sys().now();
    const std::string& key = who.key();
    for (;;) {
        int handle = -1;
        uint64_t position = 0;
        {
            MutexLock lock(mutex_);
            const Place placed = place(who, key, obj, conn, now, &handle, &position, why);
            if (placed != Place::kReserve) return handle;
        }
        // The reservation is written without the table's lock; then the search starts
        // over, as other adds and closes may have changed the table meanwhile.
        MutexLock saving(save_mutex_);
        if (!reserve(position, why)) return -1;
    }
}

HandleTable::Place HandleTable::place(const Identity& who, const std::string& key,
                                      std::shared_ptr<OpenObject>& obj, ConnId conn,
                                      Clock::time_point now, int* handle, uint64_t* position,
                                      std::string* why) {
    const size_t host_holds = host_count(who.addr);
    if (host_holds >= static_cast<size_t>(per_host_limit_)) {
        *why = "host holds " + std::to_string(host_holds) + " handles, the limit";
        return Place::kRefused;
    }
    auto found = spaces_.find(key);
    const Space empty;
    const Space& held = found == spaces_.end() ? empty : found->second;
    for (uint64_t p = next_; p < next_ + kHandleCount; ++p) {
        const size_t index = p % kHandleCount;
        const int h = static_cast<int>(index);
        // Other identities' numbers are no obstacle: each has its own space.
        if (!class_.contains(h) || held.count(h) != 0 || held_back(p)) continue;
        // Never hand out a position the mark file does not cover: after a crash the
        // next run starts at the reserved mark, beyond every number given out here.
        if (p >= reserved_) {
            *position = p;
            return Place::kReserve;
        }
        if (found == spaces_.end()) found = spaces_.emplace(key, Space()).first;
        found->second.emplace(h, Slot{who.addr, std::move(obj), conn, now, now, {}});
        if (holders_[index]++ == 0) in_use_.set(index);
        ++size_;
        count_host(who.addr, true);
        next_ = p + 1;
        if (next_ == reserved_) update_mark_due();
        *handle = h;
        return Place::kGiven;
    }
    *why = "all " + std::to_string(class_.size()) + " handles" +
           (class_.count > 1 ? " of this node" : "") + " are in use" +
           (held_until_ > next_ ? " or held back after a restart" : "");
    return Place::kRefused;
}

std::shared_ptr<OpenObject> HandleTable::find(int handle, const Identity& who, Lookup* result,
                                              ConnId conn) {
    const Clock::time_point now = conn != 0 ? sys().now() : Clock::time_point{};
    const std::string& key = who.key();
    MutexLock lock(mutex_);
    auto space = spaces_.find(key);
    auto it = space == spaces_.end() ? Space::iterator{} : space->second.find(handle);
    if (space == spaces_.end() || it == space->second.end()) {
        *result = missing(handle);
        return nullptr;
    }
    *result = Lookup::kFound;
    if (conn != 0) {
        // A connection of the owner uses it again: no longer an orphan.
        if (it->second.conn == 0) orphans_.erase({key, handle});
        it->second.conn = conn;
        it->second.used = now;
    }
    return it->second.obj;
}

std::shared_ptr<OpenObject> HandleTable::remove(int handle, const Identity& who, Lookup* result) {
    const std::string& key = who.key();
    MutexLock lock(mutex_);
    auto space = spaces_.find(key);
    auto it = space == spaces_.end() ? Space::iterator{} : space->second.find(handle);
    if (space == spaces_.end() || it == space->second.end()) {
        *result = missing(handle);
        return nullptr;
    }
    *result = Lookup::kFound;
    return take_slot(space, it);
}

Lookup HandleTable::missing(int handle) const {
    const bool in_space = handle >= 0 && handle < kHandleCount;
    return !in_space                                   ? Lookup::kUnknown
           : !class_.contains(handle)                  ? Lookup::kOtherNode
           : holders_[static_cast<size_t>(handle)] > 0 ? Lookup::kOtherHost
                                                       : Lookup::kUnknown;
}

std::shared_ptr<OpenObject> HandleTable::take_slot(Spaces::iterator space, Space::iterator slot) {
    std::shared_ptr<OpenObject> obj = std::move(slot->second.obj);
    const size_t number = static_cast<size_t>(slot->first);  // one the table handed out
    if (--holders_[number] == 0) in_use_.reset(number);
    --size_;
    count_host(slot->second.owner, false);
    if (slot->second.conn == 0) orphans_.erase({space->first, slot->first});
    const bool live = slot->second.conn != 0;
    space->second.erase(slot);
    if (space->second.empty() && !live) spaces_.erase(space);
    return obj;
}

void HandleTable::connection_opened(ConnId conn, const HostAddr& host, const std::string& label) {
    MutexLock lock(mutex_);
    if (live_.emplace(conn, label).second) count_connection(host, true);
}

void HandleTable::connection_closed(ConnId conn, const Identity& who, Clock::time_point now) {
    const std::string& key = who.key();
    MutexLock lock(mutex_);
    if (live_.erase(conn) != 0) count_connection(who.addr, false);
    // Only the owner's own space can hold handles this connection used.
    auto space = spaces_.find(key);
    if (space == spaces_.end() || conn == 0) return;
    for (auto& [handle, slot] : space->second) {
        if (slot.conn != conn) continue;
        slot.conn = 0;
        slot.orphaned = now;
        orphans_.insert({space->first, handle});
    }
    if (space->second.empty()) spaces_.erase(space);  // kept for this connection's opens
}

HandleTable::Taken HandleTable::take_expired(Clock::time_point now, std::chrono::milliseconds grace,
                                             std::vector<std::string>* owners) {
    MutexLock lock(mutex_);
    Taken taken;
    for (auto o = orphans_.begin(); o != orphans_.end();) {
        auto space = spaces_.find(o->first);
        auto slot = space->second.find(o->second);
        const Orphan orphan = *o++;  // take_slot() forgets it
        if (now - slot->second.orphaned < grace) continue;
        owners->push_back(orphan.first);
        taken.emplace_back(orphan.second, take_slot(space, slot));
    }
    return taken;
}

std::shared_ptr<OpenObject> HandleTable::take_orphan(int handle, const std::string& owner,
                                                     Lookup* result, bool* live) {
    MutexLock lock(mutex_);
    auto space = spaces_.find(owner);
    auto it = space == spaces_.end() ? Space::iterator{} : space->second.find(handle);
    *live = false;
    if (space == spaces_.end() || it == space->second.end()) {
        *result = Lookup::kUnknown;
        return nullptr;
    }
    *result = Lookup::kFound;
    *live = it->second.conn != 0;
    return *live ? nullptr : take_slot(space, it);
}

std::vector<HandleView> HandleTable::list() const {
    MutexLock lock(mutex_);
    std::vector<HandleView> out;
    out.reserve(size_);
    for (const auto& [key, space] : spaces_) {
        for (const auto& [handle, slot] : space) {
            auto label = live_.find(slot.conn);
            out.push_back({slot.owner, key, handle, slot.obj, slot.opened, slot.used,
                           label == live_.end() ? std::string() : label->second});
        }
    }
    std::sort(out.begin(), out.end(), [](const HandleView& a, const HandleView& b) {
        return std::tie(a.host, a.identity, a.handle) < std::tie(b.host, b.identity, b.handle);
    });
    return out;
}

HandleTable::Taken HandleTable::take_all() {
    MutexLock lock(mutex_);
    Taken taken;
    for (auto& [key, space] : spaces_) {
        for (auto& [handle, slot] : space) taken.emplace_back(handle, std::move(slot.obj));
    }
    spaces_.clear();
    for (auto it = per_host_.begin(); it != per_host_.end();) {  // connections stay counted
        it->second.handles = 0;
        it = it->second.connections == 0 ? per_host_.erase(it) : std::next(it);
    }
    std::fill(holders_.begin(), holders_.end(), 0);
    in_use_.reset();
    size_ = 0;
    orphans_.clear();
    return taken;
}

size_t HandleTable::size() const {
    MutexLock lock(mutex_);
    return size_;
}

size_t HandleTable::orphan_count() const {
    MutexLock lock(mutex_);
    return orphans_.size();
}

uint64_t HandleTable::next_position() const {
    MutexLock lock(mutex_);
    return next_;
}

size_t HandleTable::held_back_count() const {
    MutexLock lock(mutex_);
    return next_ < held_until_ ? held_.count() : 0;
}

}  // namespace gavo::server
