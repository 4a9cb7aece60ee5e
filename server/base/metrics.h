// The server's counters, read by the admin port's /metrics (Prometheus text format
// 0.0.4). They are process-wide (metrics()) and counted with relaxed atomics: the
// request path pays an uncontended add, never a lock. A scrape reads each counter on
// its own, so one taken mid-request may see one counter moved and another not yet.
//
// What is counted where: connections in Server::admit, TLS handshakes in Server::serve,
// requests and their bytes by the session after each request, fsyncs of served files
// and folders by timed_fsync(), table commits by the record writer. Gauges (connections
// and handles open) are read from the server at scrape time (MetricsGauges). The request
// counters are kept per thread shard, so that the event loop's threads, which count
// every request, do not pass the same cache lines back and forth.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "proto/wire.h"

namespace gavo::server {

// A histogram of whole-number observations (nanoseconds, record counts) over at most
// kMaxBounds fixed upper bounds, plus +Inf.
class Histogram {
public:
    static constexpr size_t kMaxBounds = 15;
    explicit Histogram(std::vector<uint64_t> bounds);
    void observe(uint64_t value);
    uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    uint64_t sum() const { return sum_.load(std::memory_order_relaxed); }
    // Appends the _bucket (cumulative), _sum and _count lines of `name`, each value
    // divided by `scale` (1e9 turns nanoseconds into seconds).
    void render(std::string* out, const std::string& name, double scale) const;

private:
    const std::vector<uint64_t> bounds_;
    std::array<std::atomic<uint64_t>, kMaxBounds + 1> buckets_{};  // per bound, last: +Inf
    std::atomic<uint64_t> sum_{0};
    std::atomic<uint64_t> count_{0};
};

// Why a connection was refused, as the label `reason` shows it.
enum class RefusedBy {
    kAllowList,
    kMaxConnections,
    kHostConnections,
    kDescriptors,
    kAccess,  // no access rule for the client
    kCount
};

// A request's outcome: the value of its reply (0 or more: success; negative: the code),
// or kNoReply when the connection ended before a reply went out.
constexpr int kNoReply = INT32_MIN;

class Metrics {
public:
    Metrics();
    void connection_accepted() { add(accepted_); }
    void connection_refused(RefusedBy why) { add(refused_[static_cast<size_t>(why)]); }
    // One request of opcode `op` (a known one) answered with `result`, and the bytes it
    // moved.
    void request(int op, int result, uint64_t received, uint64_t sent);
    // A request whose opcode or count the server could not take.
    void malformed(uint64_t received) {
        add(malformed_);
        add(shard().received, received);
    }
    // A TLS handshake on the file port, done or failed.
    void tls_handshake(bool ok) { add(tls_handshakes_[ok ? 0 : 1]); }
    // Handles closed because their connection's grace ran out, or by the admin port.
    void handle_expired() { add(expired_); }
    void handle_dropped() { add(dropped_); }

    Histogram fsync_ns;      // each fsync of a served file or folder
    Histogram commit_batch;  // records per committed table transaction
    void commit_failed() { add(commit_failures_); }

    // Appends the counters and histograms (not the gauges) in the text format.
    void render(std::string* out) const;

private:
    static void add(std::atomic<uint64_t>& c, uint64_t n = 1) {
        c.fetch_add(n, std::memory_order_relaxed);
    }
    static constexpr size_t kOps = std::size(wire::kMessages);
    // Result columns: one per code in the table of metrics.cpp, then "other", then
    // "none" (no reply).
    static constexpr size_t kResults = 12;

    // What each request adds to; a scrape sums the shards. Threads take the shards in
    // turn, so up to kShards threads count without sharing a line.
    struct alignas(64) RequestCounts {
        std::array<std::array<std::atomic<uint64_t>, kResults>, kOps> requests{};
        std::atomic<uint64_t> received{0};
        std::atomic<uint64_t> sent{0};
    };
    static constexpr size_t kShards = 8;
    RequestCounts& shard();
    uint64_t total(std::atomic<uint64_t> RequestCounts::*counter) const;

    std::atomic<uint64_t> accepted_{0};
    std::array<std::atomic<uint64_t>, static_cast<size_t>(RefusedBy::kCount)> refused_{};
    std::array<RequestCounts, kShards> shards_{};
    std::atomic<uint64_t> malformed_{0};
    std::array<std::atomic<uint64_t>, 2> tls_handshakes_{};  // ok, failed
    std::atomic<uint64_t> expired_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> commit_failures_{0};
};

// The process's counters.
Metrics& metrics();

// What the server reports at the moment of a scrape.
struct MetricsGauges {
    int connections = 0;
    size_t handles = 0;
    size_t orphans = 0;
    // The event loop's threads (see event_loop.h): alive, doing blocking work, the bound
    // of those, tasks waiting their turn, and refusals (the bound reached; no thread
    // could be started) since the start.
    int threads = 0;
    int threads_blocking = 0;
    int threads_blocking_limit = 0;
    int tasks_waiting = 0;
    uint64_t blocking_refused_limit = 0;
    uint64_t blocking_refused_no_thread = 0;
};

// The whole /metrics page: counters, gauges, the process_* metrics of /proc/self and
// gavo_build_info with `version`.
std::string render_metrics(const MetricsGauges& gauges, const std::string& version);

}  // namespace gavo::server
