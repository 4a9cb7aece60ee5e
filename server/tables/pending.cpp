#include "server/tables/pending.h"

#include <sys/socket.h>

namespace gavo::server {

PendingBytes::Request::Request(PendingBytes& owner, int fd, const std::string& label)
    : owner_(owner) {
    MutexLock lock(owner_.mutex_);
    seq_ = owner_.next_seq_++;
    owner_.live_.emplace(seq_, Entry{fd, label});
}

PendingBytes::Request::~Request() {
    MutexLock lock(owner_.mutex_);
    auto it = owner_.live_.find(seq_);
    if (it == owner_.live_.end()) return;  // ended by the cap: no longer counted
    owner_.total_ -= it->second.bytes;
    owner_.live_.erase(it);
}

bool PendingBytes::Request::hold(size_t bytes) {
    MutexLock lock(owner_.mutex_);
    auto it = owner_.live_.find(seq_);
    if (it == owner_.live_.end()) return false;
    owner_.total_ = owner_.total_ - it->second.bytes + bytes;
    it->second.bytes = bytes;
    owner_.enforce_cap();
    return owner_.live_.count(seq_) != 0;
}

bool PendingBytes::Request::cut() const {
    MutexLock lock(owner_.mutex_);
    return owner_.live_.count(seq_) == 0;
}

size_t PendingBytes::total() const {
    MutexLock lock(mutex_);
    return total_;
}

void PendingBytes::enforce_cap() {
    while (total_ > cap_ && !live_.empty()) {
        auto newest = std::prev(live_.end());
        const Entry& e = newest->second;
        log_.linef(LogLevel::kWarn,
                   "%s: request ended: the bytes buffered for incomplete requests (%zu) "
                   "passed the cap of %zu (--max-pending-bytes), and this request is the "
                   "newest",
                   e.label.c_str(), total_, cap_);
        // The connection stays open until its thread, woken by the shutdown, ends it.
        shutdown(e.fd, SHUT_RDWR);
        total_ -= e.bytes;
        live_.erase(newest);
    }
}

}  // namespace gavo::server
