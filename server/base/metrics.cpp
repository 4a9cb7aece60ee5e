#include "server/base/metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "proto/codes.h"
#include "server/base/sys.h"

namespace gavo::server {

namespace {

// The codes that get a column of their own; any other negative reply counts as "other".
constexpr int kResultCodes[] = {0,
                                kCodeRefused,
                                kCodeNotSent,
                                kCodeNotFound,
                                kCodeAccessDenied,
                                kCodeDirFull,
                                kCodeIoError,
                                kCodeDiskFull,
                                kCodeBadPath,
                                kCodeMakeDirs};
constexpr size_t kOtherColumn = std::size(kResultCodes);
constexpr size_t kNoneColumn = kOtherColumn + 1;

constexpr const char* kRefusedReasons[] = {"allow_list", "max_connections", "host_connections",
                                           "descriptors", "access"};

size_t result_column(int result) {
    if (result == kNoReply) return kNoneColumn;
    if (result >= 0) return 0;
    for (size_t i = 1; i < kOtherColumn; ++i) {
        if (kResultCodes[i] == result) return i;
    }
    return kOtherColumn;
}

std::string column_label(size_t column) {
    if (column == kNoneColumn) return "none";
    if (column == kOtherColumn) return "other";
    return std::to_string(kResultCodes[column]);
}

uint64_t load(const std::atomic<uint64_t>& c) { return c.load(std::memory_order_relaxed); }

// A number as the text format writes it: integers plainly, others with up to 9 digits.
std::string number(double v) {
    char buf[32];
    // Whole numbers in full (a start time or a byte count would lose digits to %g).
    const bool whole = v == static_cast<double>(static_cast<int64_t>(v)) && v < 9e15 && v > -9e15;
    snprintf(buf, sizeof buf, whole ? "%.0f" : "%.9g", v);
    return buf;
}

void head(std::string* out, const char* name, const char* type, const char* help) {
    out->append("# HELP ").append(name).append(" ").append(help).append("\n");
    out->append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void sample(std::string* out, const std::string& name, double value) {
    out->append(name).append(" ").append(number(value)).append("\n");
}

// What /proc/self tells of this process, for the process_* metrics that every
// Prometheus exporter has.
struct ProcessStats {
    double cpu_seconds = 0;
    double resident_bytes = 0;
    double start_time = 0;  // seconds since the epoch
};

// The seconds since the epoch at which this process started: its start in clock ticks
// after boot (field 22 of /proc/self/stat), placed on the wall clock through the boot
// clock. /proc/stat's btime would do too, but a unit with ProcSubset=pid cannot read it.
double start_time(unsigned long long start_ticks, double ticks_per_second) {
    struct timespec real, boot;
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double since_boot =
        static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
    const double now = static_cast<double>(real.tv_sec) + static_cast<double>(real.tv_nsec) / 1e9;
    return now - since_boot + static_cast<double>(start_ticks) / ticks_per_second;
}

// False when /proc/self/stat cannot be read or parsed (the metrics are then left out).
bool read_process_stats(ProcessStats* out) {
    FILE* f = fopen("/proc/self/stat", "re");
    if (!f) return false;
    char text[1024] = {};
    const size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    // The command name (field 2) may hold spaces and parentheses: fields 3 on follow the
    // last ')'.
    const char* p = n > 0 ? strrchr(text, ')') : nullptr;
    unsigned long long utime = 0, stime = 0, start = 0;
    long long rss_pages = 0;
    if (!p || sscanf(p + 1,
                     " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %*d %*d %*d %*d "
                     "%*d %*d %llu %*u %lld",
                     &utime, &stime, &start, &rss_pages) != 4) {
        return false;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    out->cpu_seconds = static_cast<double>(utime + stime) / ticks;
    out->resident_bytes =
        static_cast<double>(rss_pages) * static_cast<double>(sysconf(_SC_PAGESIZE));
    // Computed once: the boot clock and the wall clock drift apart, and a start time that
    // moves between scrapes would look like a restart.
    static const double started =
        static_cast<double>(static_cast<int64_t>(start_time(start, ticks)));
    out->start_time = started;
    return true;
}

// Descriptors open now (the entries of /proc/self/fd, less the one reading it); -1
// when the folder cannot be read.
long open_descriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    long n = 0;
    while (const struct dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n - 1;
}

void render_process(std::string* out) {
    ProcessStats stats;
    if (read_process_stats(&stats)) {
        head(out, "process_cpu_seconds_total", "counter",
             "Total user and system CPU time spent in seconds.");
        sample(out, "process_cpu_seconds_total", stats.cpu_seconds);
        head(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        sample(out, "process_resident_memory_bytes", stats.resident_bytes);
        head(out, "process_start_time_seconds", "gauge",
             "Start time of the process since unix epoch in seconds.");
        sample(out, "process_start_time_seconds", stats.start_time);
    }
    const long fds = open_descriptors();
    if (fds >= 0) {
        head(out, "process_open_fds", "gauge", "Number of open file descriptors.");
        sample(out, "process_open_fds", static_cast<double>(fds));
    }
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        head(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
        sample(out, "process_max_fds", static_cast<double>(limit.rlim_cur));
    }
}

}  // namespace

Histogram::Histogram(std::vector<uint64_t> bounds) : bounds_(std::move(bounds)) {}

void Histogram::observe(uint64_t value) {
    size_t i = 0;
    while (i < bounds_.size() && i < kMaxBounds && value > bounds_[i]) ++i;
    buckets_[i].fetch_add(1, std::memory_order_relaxed);
    sum_.fetch_add(value, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
}

void Histogram::render(std::string* out, const std::string& name, double scale) const {
    uint64_t below = 0;
    for (size_t i = 0; i < bounds_.size() && i < kMaxBounds; ++i) {
        below += load(buckets_[i]);
        sample(out,
               name + "_bucket{le=\"" + number(static_cast<double>(bounds_[i]) / scale) + "\"}",
               static_cast<double>(below));
    }
    // +Inf equals _count; both come from the same reads so the page stays consistent.
    below += load(buckets_[std::min(bounds_.size(), kMaxBounds)]);
    sample(out, name + "_bucket{le=\"+Inf\"}", static_cast<double>(below));
    sample(out, name + "_sum", static_cast<double>(sum()) / scale);
    sample(out, name + "_count", static_cast<double>(below));
}

Metrics::Metrics()
    : fsync_ns({100000, 250000, 500000, 1000000, 2500000, 5000000, 10000000, 25000000, 50000000,
                100000000, 250000000, 500000000, 1000000000, 2500000000, 10000000000}),
      commit_batch({1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024}) {}

Metrics::RequestCounts& Metrics::shard() {
    static std::atomic<size_t> next{0};
    thread_local const size_t mine = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return shards_[mine];
}

uint64_t Metrics::total(std::atomic<uint64_t> RequestCounts::*counter) const {
    uint64_t sum = 0;
    for (const RequestCounts& s : shards_) sum += load(s.*counter);
    return sum;
}

void Metrics::request(int op, int result, uint64_t received, uint64_t sent) {
    static_assert(kResults == kNoneColumn + 1, "one column per code, other and none");
    RequestCounts& mine = shard();
    if (const wire::Message* m = wire::find_message(op)) {
        add(mine.requests[static_cast<size_t>(m - wire::kMessages)][result_column(result)]);
    }
    add(mine.received, received);
    add(mine.sent, sent);
}

void Metrics::render(std::string* out) const {
    head(out, "gavo_connections_accepted_total", "counter", "Connections accepted.");
    sample(out, "gavo_connections_accepted_total", static_cast<double>(load(accepted_)));
    head(out, "gavo_connections_refused_total", "counter",
         "Connections closed at once, by reason.");
    for (size_t i = 0; i < refused_.size(); ++i) {
        sample(out,
               std::string("gavo_connections_refused_total{reason=\"") + kRefusedReasons[i] + "\"}",
               static_cast<double>(load(refused_[i])));
    }
    head(out, "gavo_tls_handshakes_total", "counter",
         "TLS handshakes on the file port, by result (failed: the connection was closed).");
    sample(out, "gavo_tls_handshakes_total{result=\"ok\"}",
           static_cast<double>(load(tls_handshakes_[0])));
    sample(out, "gavo_tls_handshakes_total{result=\"failed\"}",
           static_cast<double>(load(tls_handshakes_[1])));
    head(out, "gavo_requests_total", "counter",
         "Requests served, by opcode and result (0: success, a negative code, other, or "
         "none when the connection ended first).");
    for (size_t op = 0; op < kOps; ++op) {
        for (size_t col = 0; col < kResults; ++col) {
            uint64_t n = 0;
            for (const RequestCounts& s : shards_) n += load(s.requests[op][col]);
            if (n == 0) continue;  // only the series that occurred
            sample(out,
                   std::string("gavo_requests_total{op=\"") + wire::kMessages[op].name +
                       "\",opcode=\"" + std::to_string(wire::kMessages[op].op) + "\",code=\"" +
                       column_label(col) + "\"}",
                   static_cast<double>(n));
        }
    }
    head(out, "gavo_requests_malformed_total", "counter",
         "Requests with an unknown opcode or an impossible count (the connection closed).");
    sample(out, "gavo_requests_malformed_total", static_cast<double>(load(malformed_)));
    head(out, "gavo_received_bytes_total", "counter", "Bytes received from clients.");
    sample(out, "gavo_received_bytes_total", static_cast<double>(total(&RequestCounts::received)));
    head(out, "gavo_sent_bytes_total", "counter", "Bytes sent to clients.");
    sample(out, "gavo_sent_bytes_total", static_cast<double>(total(&RequestCounts::sent)));
    head(out, "gavo_fsyncs_total", "counter", "fsync calls on served files and folders.");
    sample(out, "gavo_fsyncs_total", static_cast<double>(fsync_ns.count()));
    head(out, "gavo_fsync_duration_seconds", "histogram",
         "Time of each fsync on served files and folders.");
    fsync_ns.render(out, "gavo_fsync_duration_seconds", 1e9);
    head(out, "gavo_handles_closed_total", "counter",
         "Handles closed by the server: grace period over, or dropped on the admin port.");
    sample(out, "gavo_handles_closed_total{by=\"grace\"}", static_cast<double>(load(expired_)));
    sample(out, "gavo_handles_closed_total{by=\"admin\"}", static_cast<double>(load(dropped_)));
    head(out, "gavo_table_records_total", "counter", "Table records committed.");
    sample(out, "gavo_table_records_total", static_cast<double>(commit_batch.sum()));
    head(out, "gavo_table_commits_total", "counter", "Table transactions committed.");
    sample(out, "gavo_table_commits_total", static_cast<double>(commit_batch.count()));
    head(out, "gavo_table_commit_failures_total", "counter",
         "Table transactions the database refused (their records answered with a code).");
    sample(out, "gavo_table_commit_failures_total", static_cast<double>(load(commit_failures_)));
    head(out, "gavo_table_commit_batch_records", "histogram", "Records per committed transaction.");
    commit_batch.render(out, "gavo_table_commit_batch_records", 1);
}

Metrics& metrics() {
    static Metrics m;
    return m;
}

std::string render_metrics(const MetricsGauges& gauges, const std::string& version) {
    std::string out;
    metrics().render(&out);
    head(&out, "gavo_connections_open", "gauge", "Connections being served.");
    sample(&out, "gavo_connections_open", gauges.connections);
    head(&out, "gavo_handles_open", "gauge", "Handles open, files and tables.");
    sample(&out, "gavo_handles_open", static_cast<double>(gauges.handles));
    head(&out, "gavo_handles_orphaned", "gauge",
         "Open handles whose connection ended, in their grace period.");
    sample(&out, "gavo_handles_orphaned", static_cast<double>(gauges.orphans));
    head(&out, "gavo_threads", "gauge", "Threads of the event loop's pool.");
    sample(&out, "gavo_threads", gauges.threads);
    head(&out, "gavo_threads_blocking", "gauge",
         "Pool threads doing blocking work: waits for clients, TLS handshakes, fsyncs, commits.");
    sample(&out, "gavo_threads_blocking", gauges.threads_blocking);
    head(&out, "gavo_threads_blocking_limit", "gauge", "The bound of those (--max-threads).");
    sample(&out, "gavo_threads_blocking_limit", gauges.threads_blocking_limit);
    head(&out, "gavo_tasks_waiting", "gauge", "TLS handshakes waiting their turn for a thread.");
    sample(&out, "gavo_tasks_waiting", gauges.tasks_waiting);
    head(&out, "gavo_blocking_refused_total", "counter",
         "Blocking work refused (its request failed or its connection ended): at the bound "
         "(limit), or no thread could be started (no_thread).");
    sample(&out, "gavo_blocking_refused_total{reason=\"limit\"}",
           static_cast<double>(gauges.blocking_refused_limit));
    sample(&out, "gavo_blocking_refused_total{reason=\"no_thread\"}",
           static_cast<double>(gauges.blocking_refused_no_thread));
    render_process(&out);
    head(&out, "gavo_build_info", "gauge", "The server's version; always 1.");
    sample(&out, "gavo_build_info{version=\"" + version + "\"}", 1);
    return out;
}

}  // namespace gavo::server
