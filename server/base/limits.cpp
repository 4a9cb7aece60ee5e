#include "server/base/limits.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace gavo::server {

namespace {

const char* kind_text(Refusal kind) {
    switch (kind) {
    case Refusal::kConnections: return "connection refusals (server full)";
    case Refusal::kHostConnections: return "connection refusals (host quota)";
    case Refusal::kHandles: return "handle refusals";
    case Refusal::kDescriptors: return "descriptor refusals";
    }
    return "?";
}

}  // namespace

HostAddr host_key(const HostAddr& host) {
    HostAddr key = host;
    if (!host.is_v4()) std::fill(key.bytes.begin() + 8, key.bytes.end(), uint8_t{0});
    return key;
}

std::string host_key_text(const HostAddr& key) {
    return key.is_v4() ? key.to_string() : key.to_string() + "/64";
}

DescriptorLimit raise_descriptor_limit() {
    DescriptorLimit result;
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return result;
    result.before = result.now = lim.rlim_cur;
    result.hard = lim.rlim_max;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) == 0) result.now = lim.rlim_max;
    }
    return result;
}

uint64_t descriptor_limit() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 1024;
    return lim.rlim_cur == RLIM_INFINITY ? uint64_t{1} << 20 : lim.rlim_cur;
}

uint64_t process_limit() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NPROC, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return 0;
    return lim.rlim_cur;
}

int default_max_threads(unsigned cores, uint64_t descriptors, uint64_t processes) {
    uint64_t n = 64 * uint64_t{std::max(1u, cores)};
    n = std::min(n, descriptors / 8);
    if (processes > 0) n = std::min(n, processes / 2);
    return static_cast<int>(std::clamp<uint64_t>(n, 4, 4096));
}

uint64_t open_descriptor_count() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    uint64_t n = 0;
    while (const struct dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
    return n > 0 ? n - 1 : 0;  // less the listing's own descriptor
}

DescriptorSizes size_descriptor_limits(uint64_t limit, uint64_t max_connections, uint64_t per_host,
                                       uint64_t kept) {
    DescriptorSizes sizes;
    sizes.limit = limit;
    sizes.reserve = std::max({uint64_t{32}, limit / 32, std::min(2 * max_connections, limit / 4)});
    sizes.reserve = std::min(sizes.reserve, limit / 2);  // a tiny limit still serves some
    sizes.reserve = std::min(sizes.reserve + kept, limit);
    const uint64_t usable = limit > sizes.reserve ? limit - sizes.reserve : 0;
    sizes.per_host = per_host > 0 ? per_host : std::max<uint64_t>(16, usable / 8);
    return sizes;
}

HostLimits::Charge& HostLimits::Charge::operator=(Charge&& o) noexcept {
    if (this != &o) {
        release();
        owner_ = std::exchange(o.owner_, nullptr);
        key_ = o.key_;
        count_ = std::exchange(o.count_, 0);
    }
    return *this;
}

void HostLimits::Charge::shrink_to(int n) {
    if (owner_ && n < count_) {
        owner_->give_back(key_, count_ - n);
        count_ = n;
    }
}

void HostLimits::Charge::release() {
    shrink_to(0);
    owner_ = nullptr;
}

bool HostLimits::within_reserve(uint64_t more) const {
    return in_use_ + more > sizes_.limit - std::min(sizes_.limit, sizes_.reserve);
}

bool HostLimits::admit_connection(const HostAddr& host, std::string* why, Refusal* kind) {
    MutexLock lock(mutex_);
    HostCounts& counts = hosts_[host_key(host)];
    *kind = Refusal::kHostConnections;
    if (counts.connections >= connections_per_host_) {
        *why = "host has " + std::to_string(counts.connections) + " connections, its limit";
    } else if (*kind = Refusal::kDescriptors; within_reserve(1)) {
        *why = "descriptors down to the reserve (" + std::to_string(in_use_) + " in use)";
    } else {
        ++counts.connections;
        ++in_use_;
        return true;
    }
    forget_if_unused(hosts_.find(host_key(host)));
    return false;
}

void HostLimits::add_fixed(uint64_t n) {
    MutexLock lock(mutex_);
    in_use_ += n;
}

void HostLimits::connection_ended(const HostAddr& host) {
    MutexLock lock(mutex_);
    auto it = hosts_.find(host_key(host));
    if (it == hosts_.end()) return;
    --it->second.connections;
    --in_use_;
    forget_if_unused(it);
}

bool HostLimits::take_descriptors(const HostAddr& host, int n, Charge* charge, std::string* why) {
    const HostAddr key = host_key(host);
    // What `charge` held before is given back after mutex_ is released: giving back
    // takes mutex_ (of this or another HostLimits) itself.
    Charge replaced;
    MutexLock lock(mutex_);
    HostCounts& counts = hosts_[key];
    const auto more = static_cast<uint64_t>(n);
    if (counts.descriptors + more > sizes_.per_host) {
        *why = "host holds " + std::to_string(counts.descriptors) + " descriptors, the limit " +
               std::to_string(sizes_.per_host);
    } else if (within_reserve(more)) {
        *why = "descriptors down to the reserve (" + std::to_string(in_use_) + " in use)";
    } else {
        counts.descriptors += more;
        in_use_ += more;
        replaced = std::move(*charge);
        charge->owner_ = this;
        charge->key_ = key;
        charge->count_ = n;
        return true;
    }
    forget_if_unused(hosts_.find(key));
    return false;
}

void HostLimits::give_back(const HostAddr& key, int n) {
    MutexLock lock(mutex_);
    auto it = hosts_.find(key);
    if (it == hosts_.end()) return;
    it->second.descriptors -= static_cast<uint64_t>(n);
    in_use_ -= static_cast<uint64_t>(n);
    forget_if_unused(it);
}

void HostLimits::forget_if_unused(std::map<HostAddr, HostCounts>::iterator it) {
    if (it != hosts_.end() && it->second.connections == 0 && it->second.descriptors == 0) {
        hosts_.erase(it);
    }
}

void HostLimits::refused(const HostAddr& host, Refusal kind, const std::string& text) {
    if (!log_.enabled(LogLevel::kWarn)) return;
    if (log_.admit_repeat(host_key_text(host_key(host)), kind_text(kind))) {
        log_.line(LogLevel::kWarn, text);
    }
}

uint64_t HostLimits::descriptors_in_use() const {
    MutexLock lock(mutex_);
    return in_use_;
}

uint64_t HostLimits::host_descriptors(const HostAddr& host) const {
    MutexLock lock(mutex_);
    auto it = hosts_.find(host_key(host));
    return it == hosts_.end() ? 0 : it->second.descriptors;
}

}  // namespace gavo::server
