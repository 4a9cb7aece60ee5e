// Per-host limits, so that no single client can shut the others out: connections per
// host, descriptors per host, and a reserve of descriptors that no client can take.
//
// A host, for these limits and for the handle numbers, is an IPv4 address or an IPv6
// /64 prefix (an IPv6 client usually has a whole /64 to pick addresses from).
//
// Descriptors: the process may hold `limit` descriptors (the soft RLIMIT_NOFILE, raised
// to the hard one at start). The last `reserve` of them are never given to clients, so
// that the listener, the tables' database and the log always find one; connections and
// open files are counted against the rest, and each host's open files against its own
// quota (a newly created file holds two: the file and its folder, for the sync at close).
//
// Refusals go to the log through the logger's summaries of repeated refusals, so a
// flood from one host writes a few lines and a count instead of a line per refusal.
//
// Thread-safe: mutex_ guards the counts (hosts_, in_use_).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "server/base/address.h"
#include "server/base/log.h"
#include "server/base/mutex.h"

namespace gavo::server {

using Clock = std::chrono::steady_clock;

// The key of `host` for per-host limits: the IPv4 address, or the IPv6 address with its
// last 64 bits cleared.
HostAddr host_key(const HostAddr& host);
// "127.0.0.1" or "2001:db8::/64".
std::string host_key_text(const HostAddr& key);

// The descriptor limit at start: the soft limit before and after raising it to the hard one.
struct DescriptorLimit {
    uint64_t before = 0;
    uint64_t now = 0;
    uint64_t hard = 0;
};
DescriptorLimit raise_descriptor_limit();
// The soft limit now (RLIM_INFINITY taken as 2^20).
uint64_t descriptor_limit();
// The soft limit of processes and threads of the user (RLIMIT_NPROC); 0: none.
uint64_t process_limit();
// The threads that blocking work may take at once (--max-threads 0): 64 per core, at
// most one per 8 descriptors (every such thread serves a connection, which holds at
// least one) and half the process limit when there is one; at least 4, at most 4096.
int default_max_threads(unsigned cores, uint64_t descriptors, uint64_t processes);
// How many descriptors the process holds now (0 when /proc is missing).
uint64_t open_descriptor_count();

// The limits derived from the descriptor limit; 0 in a setting means "size it from the
// limit" (see size_descriptor_limits).
struct DescriptorSizes {
    uint64_t limit = 0;     // descriptors the process may hold
    uint64_t reserve = 0;   // kept for the listener, the database and the log
    uint64_t per_host = 0;  // a host's open files
};
// reserve: room for what the counts leave out (the descriptors a request holds for a
// moment: the folders of a rename, the lookup of an open, up to two per connection; the
// database; the log): two per allowed connection, at most a quarter of the limit, and at
// least a thirty-second of it and 32 (but never above half the limit); plus `kept`, the
// most that other parts bounded on their own (the admin port) may hold. Per host: an
// eighth of the rest, at least 16, unless `per_host` is given.
DescriptorSizes size_descriptor_limits(uint64_t limit, uint64_t max_connections, uint64_t per_host,
                                       uint64_t kept = 0);

enum class Refusal { kConnections, kHostConnections, kHandles, kDescriptors };

class HostLimits {
public:
    HostLimits(Logger& log, int connections_per_host, DescriptorSizes sizes)
        : log_(log), connections_per_host_(connections_per_host), sizes_(sizes) {}

    // Descriptors taken for one open; given back when destroyed or released.
    class Charge {
    public:
        Charge() = default;
        Charge(Charge&& o) noexcept { *this = std::move(o); }
        Charge& operator=(Charge&& o) noexcept;
        ~Charge() { release(); }
        // Keeps only `n` (<= what it holds) of the descriptors.
        void shrink_to(int n);
        void release();

    private:
        friend class HostLimits;
        HostLimits* owner_ = nullptr;
        HostAddr key_;
        int count_ = 0;
    };

    // Counts a new connection of `host` (its socket is a descriptor too); false with
    // `why` and `kind` when the host has its quota of connections or the descriptors are
    // down to the reserve.
    bool admit_connection(const HostAddr& host, std::string* why, Refusal* kind);
    void connection_ended(const HostAddr& host);
    // Counts `n` descriptors that stay open from the start (standard streams, listener,
    // database...) as in use.
    void add_fixed(uint64_t n);
    // Takes `n` descriptors for a file `host` opens into `charge` (what it held before
    // is given back); false with `why`, and `charge` as it was, when its quota or the
    // process's descriptors outside the reserve would be exceeded.
    bool take_descriptors(const HostAddr& host, int n, Charge* charge, std::string* why);

    // Logs `text` for a refusal of `kind` to `host`, summarised with the server's other
    // repeated refusals (Logger::admit_repeat).
    void refused(const HostAddr& host, Refusal kind, const std::string& text);

    const DescriptorSizes& sizes() const { return sizes_; }
    uint64_t descriptors_in_use() const;
    uint64_t host_descriptors(const HostAddr& host) const;

private:
    struct HostCounts {
        int connections = 0;
        uint64_t descriptors = 0;  // of open files
    };
    void give_back(const HostAddr& key, int n);
    // Drops the host's record once it counts nothing.
    void forget_if_unused(std::map<HostAddr, HostCounts>::iterator it) GAVO_REQUIRES(mutex_);
    bool within_reserve(uint64_t more) const GAVO_REQUIRES(mutex_);

    Logger& log_;
    const int connections_per_host_;
    const DescriptorSizes sizes_;
    mutable Mutex mutex_;
    std::map<HostAddr, HostCounts> hosts_ GAVO_GUARDED_BY(mutex_);
    // Fixed ones, connections' sockets, open files' descriptors.
    uint64_t in_use_ GAVO_GUARDED_BY(mutex_) = 0;
};

using DescriptorCharge = HostLimits::Charge;

}  // namespace gavo::server
