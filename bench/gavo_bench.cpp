// gavo_bench: every benchmark scenario in one run, each figure beside a baseline measured
// in the same run on the same machine, with the ratio of the medians of several
// repetitions. Prints one table and writes the same figures as JSON.
//
//   1  small files in working mode 2 (open, write 1 KiB, close) vs raw TCP ping-pong
//   2  bulk transfer in working mode 2 vs raw loopback TCP and vs nginx + libcurl
//   3  working mode 1 vs plain POSIX calls of the same sizes
//   4  the server under 1..256 clients at once: throughput, CPU, memory per connection,
//      and CPU per cycle against floor peers that speak the same protocol
//   5  table records per second from 1..256 clients (SQLite, acknowledged after commit)
//      against one writer committing as many records per transaction (the group-commit
//      floor)
//   6  TLS 1.3 with client certificates vs plain text: small-file cycle, bulk write and read
//
// Targets are printed beside the ratios; nothing is asserted. See docs/performance.md.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/peers.h"
#include "bench/report.h"
#include "bench/util.h"
#include "bench/workloads.h"
#include "tests/tls_certs.h"

namespace bench {
namespace {

struct Options {
    int reps = 3;
    double seconds = 1.0;
    uint64_t bulk_mib = 256;
    std::vector<int> conns = {1, 8, 64, 256};
    std::vector<int> clients = {1, 16, 64, 256};
    std::vector<int> only = {1, 2, 3, 4, 5, 6};
    std::string json = "gavo-bench.json";
    std::string dir;
    std::string mem_dir = "/dev/shm";
    std::string server = GAVO_SERVER_BIN;
    std::string nginx = "/usr/sbin/nginx";
    bool keep = false;
    bool pin = false;
    int nice = 0;
};

constexpr const char* kUsage =
    "usage: gavo_bench [options]\n"
    "  --reps N         repetitions of every measurement (3); medians are reported\n"
    "  --seconds S      length of each timed run of cycles or records (1.0)\n"
    "  --bulk-mib M     size of the bulk file in MiB (256)\n"
    "  --conns LIST     client counts of scenario 4 (1,8,64,256)\n"
    "  --clients LIST   client counts of scenario 5 (1,16,64,256)\n"
    "  --only LIST      scenarios to run (1,2,3,4,5,6)\n"
    "  --json FILE      where the JSON goes (gavo-bench.json)\n"
    "  --dir DIR        where the work folder is made ($TMPDIR or /tmp); its disk is measured\n"
    "  --mem-dir DIR    a memory file system for server roots that leave the disk out (/dev/shm)\n"
    "  --server PATH    gavo-server to measure (the one built beside this program)\n"
    "  --nginx PATH     nginx for the HTTP peer (/usr/sbin/nginx)\n"
    "  --nice N         nice value of the servers and peers (0); -10 gives them the cores\n"
    "                   first, as if the clients ran on other machines\n"
    "  --pin            clients on the first half of the cores, servers and peers on the\n"
    "                   other half, as if each had a machine of its own\n"
    "  --keep           keep the work folder (server logs, nginx config)\n";

std::vector<int> int_list(const char* text) {
    std::vector<int> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (atoi(item.c_str()) > 0) out.push_back(atoi(item.c_str()));
    }
    return out;
}

bool parse_options(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--keep") {
            o->keep = true;
            continue;
        }
        if (a == "--pin") {
            o->pin = true;
            continue;
        }
        if (v == nullptr) return false;
        ++i;
        if (a == "--reps") o->reps = atoi(v);
        else if (a == "--seconds") o->seconds = atof(v);
        else if (a == "--bulk-mib") o->bulk_mib = strtoull(v, nullptr, 10);
        else if (a == "--conns") o->conns = int_list(v);
        else if (a == "--clients") o->clients = int_list(v);
        else if (a == "--only") o->only = int_list(v);
        else if (a == "--json") o->json = v;
        else if (a == "--dir") o->dir = v;
        else if (a == "--mem-dir") o->mem_dir = v;
        else if (a == "--server") o->server = v;
        else if (a == "--nginx") o->nginx = v;
        else if (a == "--nice") o->nice = atoi(v);
        else return false;
    }
    return o->reps > 0 && o->seconds > 0 && o->bulk_mib > 0;
}

double mib_per_s(const Timing& t) { return t.rate() / (1024.0 * 1024.0); }
double us_per_cycle(const Timing& t) { return t.ok && t.ops > 0 ? t.seconds / t.ops * 1e6 : 0; }

Row make_row(const std::string& scenario, const std::string& measure, const std::string& unit,
             const std::string& baseline, double target, const std::string& target_text,
             bool lower_is_better = false) {
    Row r;
    r.scenario = scenario;
    r.measure = measure;
    r.unit = unit;
    r.baseline = baseline;
    r.target = target;
    r.target_text = target_text;
    r.lower_is_better = lower_is_better;
    return r;
}

// Figures of a run of many clients at once.
struct LoadFigures {
    bool ok = false;
    double ops_per_s = 0;     // sum over the clients
    double busy_share = 0;    // of all cores, while they ran (other work included)
    double server_cores = 0;  // the server's CPU seconds per second of the run
    double idle_kib = 0;      // server memory per connection, connected and idle
    double loaded_kib = 0;    // the same, halfway through the run
};

class Bench {
public:
    Bench(Options o, std::string work, std::string mem)
        : opt_(std::move(o)), work_(std::move(work)), mem_(std::move(mem)) {}
    void run();

private:
    bool wanted(int scenario) const;
    // A new folder under the work folder, or under the memory work folder.
    std::string fresh_dir(const std::string& name, bool in_memory = false);
    void keep(std::vector<double>& into, const Timing& t, double value, const std::string& what);
    Timing in_child(const std::function<Timing()>& body);
    Timing with_library(const std::string& ini_text, const std::function<Timing()>& body);
    std::string write_ini(const std::string& ini_text);
    std::unique_ptr<GavoServer> start_server(const std::string& name,
                                             const std::vector<std::string>& extra,
                                             bool in_memory = false);

    void small_files();
    void bulk();
    void bulk_rep(GavoServer& fast, GavoServer& safe, RawPeer& raw, Nginx& web,
                  std::vector<Row>& rows, const std::string& root);
    void local();
    void local_rep(int rep, std::vector<Row>& rows, const std::string& base,
                   const std::string& posix);
    void load();
    void load_level(int n);
    LoadFigures library_load(int port, pid_t server, int n, bool tables);
    void floor_load(int n, std::vector<Row>& rows);
    LoadFigures raw_load(int port, pid_t peer, int n);
    LoadFigures sqlite_floor(size_t rows, bool sync);
    LoadFigures server_records(int n, const std::vector<std::string>& extra);
    void tables();
    void tls();
    void describe_machine();

    Options opt_;
    std::string work_;
    std::string mem_;  // empty when there is no memory file system
    Report report_;
    int serial_ = 0;
};

bool Bench::wanted(int scenario) const {
    for (int s : opt_.only) {
        if (s == scenario) return true;
    }
    return false;
}

std::string Bench::fresh_dir(const std::string& name, bool in_memory) {
    const std::string path =
        (in_memory ? mem_ : work_) + "/" + name + "-" + std::to_string(++serial_);
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return path;
}

// Keeps a valid figure; a failed measurement is noted instead of skewing the median.
void Bench::keep(std::vector<double>& into, const Timing& t, double value,
                 const std::string& what) {
    if (t.ok && value > 0) {
        into.push_back(value);
    } else {
        report_.note("measurement failed and was left out: " + what);
        fprintf(stderr, "  FAILED: %s\n", what.c_str());
    }
}

Timing Bench::in_child(const std::function<Timing()>& body) {
    return Timing::unpack(run_in_child([&] { return body().pack(); }));
}

std::string Bench::write_ini(const std::string& ini_text) {
    const std::string path = work_ + "/gavo-" + std::to_string(++serial_) + ".ini";
    write_text(path, ini_text);
    return path;
}

// Runs `body` in a child process that has started the library with `ini_text`.
Timing Bench::with_library(const std::string& ini_text, const std::function<Timing()>& body) {
    const std::string ini = write_ini(ini_text);
    return in_child([&] {
        if (!library_start(ini)) return Timing{};
        Timing t = body();
        library_stop();
        return t;
    });
}

std::unique_ptr<GavoServer> Bench::start_server(const std::string& name,
                                                const std::vector<std::string>& extra,
                                                bool in_memory) {
    // A log of its own: the port is read from it, and an old log could name an old port.
    const std::string root = fresh_dir(name + "-root", in_memory);
    const std::string log = work_ + "/" + root.substr(root.rfind('/') + 1) + ".log";
    auto server = std::make_unique<GavoServer>(opt_.server, root, log, extra);
    if (!server->ok()) {
        report_.note("gavo-server did not start for " + name + "; see its log");
        return nullptr;
    }
    return server;
}

// The floor of a small-file cycle: three round trips of the same bytes, plus, where the
// server's root is on the disk, the same file operations done locally.
void Bench::small_files() {
    fprintf(stderr, "scenario 1: small files in working mode 2\n");
    RawPeer raw(RawPeer::kPingPong, small_cycle_script());
    auto mem = mem_.empty() ? nullptr : start_server("s1-mem", {"--no-sync"}, true);
    auto fast = start_server("s1-nosync", {"--no-sync"});
    auto safe = start_server("s1-sync", {});
    if (!fast || !safe) return;
    Row in_mem = make_row("1", "open+write 1 KiB+close, --no-sync, root in RAM", "us/cycle",
                          "raw TCP ping-pong, same bytes", 1.5, "<= 1.5x", true);
    Row nosync = make_row("1", "the same, root on disk", "us/cycle",
                          "raw ping-pong + POSIX create/write/close", 1.5, "<= 1.5x", true);
    Row sync = make_row("1", "the same, sync (default), root on disk", "us/cycle",
                        "ping-pong + POSIX with fsync file+dir", 1.5, "<= 1.5x", true);
    const std::string posix = fresh_dir("s1-posix");
    const double s = opt_.seconds;
    for (int rep = 0; rep < opt_.reps; ++rep) {
        Timing t = in_child([&] { return raw_small_cycles(raw.port(), s); });
        keep(in_mem.baseline_values, t, us_per_cycle(t), "raw ping-pong");
        const double floor = us_per_cycle(t);
        if (mem) {
            t = with_library(ini_text_remote(mem->port()),
                             [&] { return library_small_cycles(rep, s); });
            keep(in_mem.values, t, us_per_cycle(t), "library small files, root in RAM");
        }
        t = with_library(ini_text_remote(fast->port()),
                         [&] { return library_small_cycles(rep, s); });
        keep(nosync.values, t, us_per_cycle(t), "library small files, --no-sync");
        t = in_child([&] { return posix_small_cycles(posix, rep, s); });
        keep(nosync.baseline_values, t, floor + us_per_cycle(t), "POSIX small files");
        t = with_library(ini_text_remote(safe->port()),
                         [&] { return library_small_cycles(rep, s); });
        keep(sync.values, t, us_per_cycle(t), "library small files, sync");
        t = in_child([&] { return posix_durable_small_cycles(posix, rep + 500, s); });
        keep(sync.baseline_values, t, floor + us_per_cycle(t), "POSIX durable small files");
    }
    for (Row* r : {&in_mem, &nosync, &sync}) {
        if (!r->values.empty()) report_.add(*r);
    }
}

void Bench::bulk() {
    fprintf(stderr, "scenario 2: bulk transfer in working mode 2 (%llu MiB)\n",
            static_cast<unsigned long long>(opt_.bulk_mib));
    RawPeer raw(RawPeer::kBulk);
    const std::string root = fresh_dir("s2-root");
    GavoServer fast(opt_.server, root, work_ + "/s2-nosync.log", {"--no-sync"});
    GavoServer safe(opt_.server, root, work_ + "/s2-sync.log", {});
    Nginx web(opt_.nginx, fresh_dir("s2-nginx"), root);
    if (!fast.ok() || !safe.ok()) return report_.note("gavo-server did not start for scenario 2");
    if (!web.ok()) report_.note(web.error());
    const std::string mib = std::to_string(opt_.bulk_mib) + " MiB";
    std::vector<Row> rows = {
        make_row("2", "write " + mib + " in 1 MiB calls, --no-sync", "MiB/s",
                 "raw TCP, 4 KiB sends", 0.8, ">= 80%"),
        make_row("2", "write, --no-sync", "MiB/s", "nginx WebDAV PUT, libcurl", 1.0, "> 100%"),
        make_row("2", "write, sync (fsync at close)", "MiB/s", "POSIX write 1 MiB + fsync", 0.8,
                 ">= 80%"),
        make_row("2", "read " + mib + " in 1 MiB calls", "MiB/s", "raw TCP, 4 KiB receives", 0.8,
                 ">= 80%"),
        make_row("2", "read", "MiB/s", "nginx GET, libcurl", 1.0, "> 100%"),
    };
    for (int rep = 0; rep < opt_.reps; ++rep) bulk_rep(fast, safe, raw, web, rows, root);
    for (Row& r : rows) report_.add(r);
}

void Bench::bulk_rep(GavoServer& fast, GavoServer& safe, RawPeer& raw, Nginx& web,
                     std::vector<Row>& rows, const std::string& root) {
    const uint64_t bytes = opt_.bulk_mib << 20;
    const std::string url = "http://127.0.0.1:" + std::to_string(web.port()) + "/bulk/";
    ::sync();  // start each writer with no other dirty pages in the way
    Timing t = in_child([&] { return raw_bulk_write(raw.port(), bytes); });
    keep(rows[0].baseline_values, t, mib_per_s(t), "raw TCP write");
    t = in_child([&] { return raw_bulk_read(raw.port(), bytes); });
    keep(rows[3].baseline_values, t, mib_per_s(t), "raw TCP read");
    t = with_library(ini_text_remote(fast.port()),
                     [&] { return library_bulk_write("bulk\\a.dat", bytes); });
    keep(rows[0].values, t, mib_per_s(t), "library bulk write, --no-sync");
    keep(rows[1].values, t, mib_per_s(t), "library bulk write, --no-sync");
    t = with_library(ini_text_remote(fast.port()),
                     [&] { return library_bulk_read("bulk\\a.dat", bytes); });
    keep(rows[3].values, t, mib_per_s(t), "library bulk read");
    keep(rows[4].values, t, mib_per_s(t), "library bulk read");
    if (web.ok()) {
        t = in_child([&] { return http_get(url + "a.dat", bytes); });
        keep(rows[4].baseline_values, t, mib_per_s(t), "nginx GET");
        ::sync();
        t = in_child([&] { return http_put(url + "h.dat", bytes); });
        keep(rows[1].baseline_values, t, mib_per_s(t), "nginx PUT");
    }
    remove_tree(root + "/bulk");
    ::sync();
    t = with_library(ini_text_remote(safe.port()),
                     [&] { return library_bulk_write("bulk\\s.dat", bytes); });
    keep(rows[2].values, t, mib_per_s(t), "library bulk write, sync");
    remove_tree(root + "/bulk");
    ::sync();
    t = in_child([&] { return posix_bulk_write(work_ + "/durable.dat", bytes, true); });
    keep(rows[2].baseline_values, t, mib_per_s(t), "POSIX durable bulk write");
    remove_tree(work_ + "/durable.dat");
}

void Bench::local() {
    fprintf(stderr, "scenario 3: working mode 1 on the local disk\n");
    const std::string base = fresh_dir("s3-library");
    const std::string posix = fresh_dir("s3-posix");
    const std::string mib = std::to_string(opt_.bulk_mib) + " MiB";
    std::vector<Row> rows = {
        make_row("3", "create+write 1 KiB+close", "files/s", "POSIX open/write/close", 0.95,
                 ">= 95%"),
        make_row("3", "write " + mib + " in 1 MiB calls", "MiB/s", "POSIX write, 1 MiB", 0.95,
                 ">= 95%"),
        make_row("3", "read " + mib + " in 1 MiB calls", "MiB/s", "POSIX read, 1 MiB", 0.95,
                 ">= 95%"),
    };
    for (int rep = 0; rep < opt_.reps; ++rep) local_rep(rep, rows, base, posix);
    for (Row& r : rows) report_.add(r);
}

void Bench::local_rep(int rep, std::vector<Row>& rows, const std::string& base,
                      const std::string& posix) {
    const uint64_t bytes = opt_.bulk_mib << 20;
    const double s = opt_.seconds;
    const std::string ini = ini_text_local(base);
    Timing t = with_library(ini, [&] { return library_small_cycles(rep, s); });
    keep(rows[0].values, t, t.rate(), "library mode 1 small files");
    t = in_child([&] { return posix_small_cycles(posix, rep, s); });
    keep(rows[0].baseline_values, t, t.rate(), "POSIX small files");
    auto posix_bulk = [&] {
        ::sync();
        Timing b = in_child([&] { return posix_bulk_write(posix + "/a.dat", bytes); });
        keep(rows[1].baseline_values, b, mib_per_s(b), "POSIX bulk write");
        b = in_child([&] { return posix_bulk_read(posix + "/a.dat", bytes); });
        keep(rows[2].baseline_values, b, mib_per_s(b), "POSIX bulk read");
        remove_tree(posix + "/a.dat");
    };
    auto library_bulk = [&] {
        ::sync();
        Timing b = with_library(ini, [&] { return library_bulk_write("bulk\\a.dat", bytes); });
        keep(rows[1].values, b, mib_per_s(b), "library mode 1 bulk write");
        b = with_library(ini, [&] { return library_bulk_read("bulk\\a.dat", bytes); });
        keep(rows[2].values, b, mib_per_s(b), "library mode 1 bulk read");
        remove_tree(base + "/bulk");
    };
    // Alternating the order spreads the machine's drift (page cache, write-back) evenly.
    if (rep % 2 == 0) {
        posix_bulk();
        library_bulk();
    } else {
        library_bulk();
        posix_bulk();
    }
}

void Bench::load() {
    fprintf(stderr, "scenario 4: the server under many clients at once\n");
    for (int n : opt_.conns) load_level(n);
}

// Sums the clients' rates; not ok when any client failed.
LoadFigures sum_rates(const std::vector<std::vector<double>>& results, int n) {
    LoadFigures f;
    f.ok = static_cast<int>(results.size()) == n;
    for (const std::vector<double>& r : results) {
        const Timing t = Timing::unpack(r);
        f.ok = f.ok && t.ok;
        f.ops_per_s += t.rate();
    }
    return f;
}

// Waits until the server holds a descriptor for each of `conns` new connections (its
// accept may lag behind the clients' connects), then until its thread count settles
// (a server with a thread per connection starts them after the accepts); ~5 s at most.
void wait_accepted(pid_t server, long descriptors_before, int conns) {
    for (int i = 0; i < 500 && descriptor_count(server) < descriptors_before + conns; ++i) {
        usleep(10000);
    }
    long threads = proc_status(server, "Threads:");
    for (int i = 0; i < 50; ++i) {
        usleep(20000);
        const long now = proc_status(server, "Threads:");
        if (now == threads) break;
        threads = now;
    }
}

// `n` client processes, each with its own library instance (two connections, the
// archive channel busy with small-file cycles or the log channel with table records).
LoadFigures Bench::library_load(int port, pid_t server, int n, bool tables) {
    const std::string ini = write_ini(ini_text_remote(port));
    const double s = opt_.seconds;
    const long rss0 = proc_status(server, "VmRSS:");
    const long descriptors0 = descriptor_count(server);
    ClientGroup group(
        n, [&](int) { return library_start(ini); },
        [&](int i) {
            Timing t = tables ? library_table_writes("bench", 64, s) : library_small_cycles(i, s);
            library_stop();
            return t.pack();
        });
    if (group.wait_ready() != n) return LoadFigures{};
    wait_accepted(server, descriptors0, 2 * n);
    const long rss_idle = proc_status(server, "VmRSS:");
    const CpuSample before = cpu_sample();
    const double cpu0 = process_cpu_seconds(server), start = now_seconds();
    group.start();
    usleep(static_cast<useconds_t>(s * 5e5));
    const long rss_loaded = proc_status(server, "VmRSS:");
    LoadFigures f = sum_rates(group.collect(), n);
    f.busy_share = busy_share(before, cpu_sample());
    f.server_cores = (process_cpu_seconds(server) - cpu0) / (now_seconds() - start);
    f.idle_kib = static_cast<double>(rss_idle - rss0) / (2.0 * n);
    f.loaded_kib = static_cast<double>(rss_loaded - rss0) / (2.0 * n);
    return f;
}

// `n` client processes with one raw connection each, against the raw ping-pong peer.
LoadFigures Bench::raw_load(int port, pid_t peer, int n) {
    const double s = opt_.seconds;
    int fd = -1;  // each child's own copy
    ClientGroup group(
        n, [&](int) { return (fd = connect_loopback(port)) >= 0; },
        [&](int) { return raw_small_cycles_on(fd, s).pack(); });
    if (group.wait_ready() != n) return LoadFigures{};
    const CpuSample before = cpu_sample();
    const double cpu0 = process_cpu_seconds(peer), start = now_seconds();
    group.start();
    LoadFigures f = sum_rates(group.collect(), n);
    f.busy_share = busy_share(before, cpu_sample());
    f.server_cores = (process_cpu_seconds(peer) - cpu0) / (now_seconds() - start);
    return f;
}

Timing as_timing(const LoadFigures& f) {
    Timing t;
    t.ok = f.ok;
    t.ops = f.ops_per_s;
    t.seconds = 1;
    return t;
}

// Microseconds of the serving process's CPU per small-file cycle.
double cpu_us_per_cycle(const LoadFigures& f) {
    return f.ops_per_s > 0 ? f.server_cores * 1e6 / f.ops_per_s : 0;
}

// The rows against the floor peers: CPU per cycle and cycles/s, each beside the floor
// with a thread per connection, the one with an epoll loop per core, and the better of
// the two in each repetition (they trade places between runs); first the floors with the
// bare file calls, then the same floors with the calls the sharing rules between
// processes add to an open. Targets, on both better floors, where the efficiency work
// sets them: CPU at 8 and 256 clients, throughput at 256.
constexpr size_t kFloorModels = 6;  // rows per measure: threads, epoll, the better; twice
std::vector<Row> floor_rows(int n, const std::string& clients) {
    const bool cpu_goal = n == 8 || n == 256, rate_goal = n == 256;
    const char* const floors[kFloorModels] = {
        "floor peer, thread per connection",
        "floor peer, epoll loop per core",
        "better floor peer of this repetition",
        "floor peer with the sharing calls, thread per connection",
        "floor peer with the sharing calls, epoll loop per core",
        "better floor peer with the sharing calls of this repetition"};
    std::vector<Row> rows;
    for (size_t i = 0; i < kFloorModels; ++i) {
        const bool goal = cpu_goal && i % 3 == 2;
        rows.push_back(make_row("4", clients + ", --no-sync: server CPU per cycle", "us/cycle",
                                floors[i], goal ? 1.1 : 0, goal ? "<= 1.1x" : "", true));
    }
    for (size_t i = 0; i < kFloorModels; ++i) {
        const bool goal = rate_goal && i % 3 == 2;
        rows.push_back(make_row("4", clients + ", --no-sync: server cycles/s", "cycles/s",
                                floors[i], goal ? 0.9 : 0, goal ? ">= 90%" : ""));
    }
    return rows;
}

// The same load against each floor peer (rows from floor_rows), on fresh roots like the
// server's: what the protocol's file calls cost with nothing else around them.
void Bench::floor_load(int n, std::vector<Row>& rows) {
    const std::string clients = std::to_string(n) + (n == 1 ? " client" : " clients");
    for (const FloorPeer::Calls calls : {FloorPeer::kBare, FloorPeer::kSharing}) {
        const size_t first = calls == FloorPeer::kSharing ? 3 : 0;
        const std::string kind = calls == FloorPeer::kSharing ? " with the sharing calls" : "";
        double cpu[2] = {0, 0}, rate[2] = {0, 0};
        for (const FloorPeer::Model model : {FloorPeer::kThreads, FloorPeer::kEpoll}) {
            const size_t epoll = model == FloorPeer::kEpoll ? 1 : 0;
            const std::string what =
                "floor peer" + kind + " (" + (epoll ? "epoll" : "threads") + "), " + clients;
            FloorPeer peer(model,
                           fresh_dir(epoll ? "s4-floor-epoll" : "s4-floor-threads", !mem_.empty()),
                           calls);
            const LoadFigures f =
                peer.ok() ? library_load(peer.port(), peer.pid(), n, false) : LoadFigures{};
            if (f.ok) cpu[epoll] = cpu_us_per_cycle(f), rate[epoll] = f.ops_per_s;
            keep(rows[first + epoll].baseline_values, as_timing(f), cpu[epoll], what);
            keep(rows[kFloorModels + first + epoll].baseline_values, as_timing(f), rate[epoll],
                 what);
        }
        // The better floor only where both were measured: one alone is no "better".
        Timing both;
        both.ok = cpu[0] > 0 && cpu[1] > 0 && rate[0] > 0 && rate[1] > 0;
        const std::string what = "better floor peer" + kind + ", " + clients;
        keep(rows[first + 2].baseline_values, both, std::min(cpu[0], cpu[1]), what);
        keep(rows[kFloorModels + first + 2].baseline_values, both, std::max(rate[0], rate[1]),
             what);
    }
}

void Bench::load_level(int n) {
    const std::string clients = std::to_string(n) + (n == 1 ? " client" : " clients");
    const std::string where = mem_.empty() ? ", --no-sync" : ", --no-sync, root in RAM";
    Row fast = make_row("4", clients + where, "cycles/s", "raw ping-pong, " + clients, 0, "");
    Row cpu =
        make_row("4", clients + ", --no-sync: server CPU", "cores", "raw ping-pong peer", 0, "");
    Row machine = make_row("4", clients + ", --no-sync: machine busy", "%", "raw ping-pong", 0, "");
    Row safe = make_row("4", clients + ", sync, root on disk", "cycles/s", "", 0, "");
    Row idle = make_row("4", clients + ": server KiB per idle connection", "KiB", "", 0, "");
    Row busy = make_row("4", clients + ": server KiB per busy connection", "KiB", "", 0, "");
    std::vector<Row> floors = floor_rows(n, clients);
    for (int rep = 0; rep < opt_.reps; ++rep) {
        RawPeer raw(RawPeer::kPingPong, small_cycle_script());
        LoadFigures f = raw_load(raw.port(), raw.pid(), n);
        keep(fast.baseline_values, as_timing(f), f.ops_per_s, "raw load " + clients);
        keep(cpu.baseline_values, as_timing(f), f.server_cores, "raw load " + clients);
        keep(machine.baseline_values, as_timing(f), f.busy_share * 100, "raw load " + clients);
        if (auto server = start_server("s4-nosync", {"--no-sync"}, !mem_.empty())) {
            f = library_load(server->port(), server->pid(), n, false);
            keep(fast.values, as_timing(f), f.ops_per_s, "library load, --no-sync, " + clients);
            for (Row& r : floors) {
                keep(r.values, as_timing(f),
                     r.unit == "us/cycle" ? cpu_us_per_cycle(f) : f.ops_per_s,
                     "library load " + clients);
            }
            keep(cpu.values, as_timing(f), f.server_cores, "library load " + clients);
            keep(machine.values, as_timing(f), f.busy_share * 100, "library load " + clients);
            keep(idle.values, as_timing(f), f.idle_kib, "idle memory " + clients);
            keep(busy.values, as_timing(f), f.loaded_kib, "busy memory " + clients);
        }
        if (auto server = start_server("s4-sync", {})) {
            f = library_load(server->port(), server->pid(), n, false);
            keep(safe.values, as_timing(f), f.ops_per_s, "library load, sync, " + clients);
        }
        floor_load(n, floors);
    }
    for (Row* r : {&fast, &cpu, &machine, &safe, &idle, &busy}) report_.add(*r);
    for (Row& r : floors) report_.add(r);
}

// One writer committing `rows` records per transaction: what group commit of `rows`
// clients' records can at best reach.
LoadFigures Bench::sqlite_floor(size_t rows, bool sync) {
    const std::string db = fresh_dir("s5-floor") + "/floor.db";
    if (!sqlite_prepare(db)) return LoadFigures{};
    const double s = opt_.seconds;
    return sum_rates({in_child([&] { return sqlite_direct_writes(db, 64, s, rows, sync); }).pack()},
                     1);
}

// Records from `n` client processes against a server started with `extra`.
LoadFigures Bench::server_records(int n, const std::vector<std::string>& extra) {
    const std::string conf = work_ + "/tables.conf";
    write_text(conf, "bench = fixed:64\n");
    std::vector<std::string> args = {"--tables", conf, "--state",
                                     work_ + "/s5-state-" + std::to_string(++serial_)};
    args.insert(args.end(), extra.begin(), extra.end());
    auto server = start_server("s5", args);
    return server ? library_load(server->port(), server->pid(), n, true) : LoadFigures{};
}

// Each client count beside the group-commit floor (one transaction of that many
// records); at 64 clients also --no-sync against its goal of 50,000 records/s.
void Bench::tables() {
    fprintf(stderr, "scenario 5: table records\n");
    for (int n : opt_.clients) {
        const std::string clients = std::to_string(n) + (n == 1 ? " client" : " clients");
        const std::string per = std::to_string(n) + (n == 1 ? " record" : " records");
        // Every client count runs with the default --max-threads: a record waiting for
        // its commit holds no thread.
        const std::vector<std::string> threads;
        const std::string shown = "SQLite";
        Row row = make_row("5", "64-byte records, " + clients + ", " + shown, "records/s",
                           "SQLite direct, " + per + " per commit", n == 64 ? 0.8 : 0,
                           n == 64 ? ">= 80%" : "");
        Row fast = make_row("5", "the same, --no-sync", "records/s", "goal", 1.0, ">= 50,000/s");
        Row cpu = make_row("5", "the same, --no-sync: server CPU per record", "us/record", "", 0,
                           "", true);
        for (int rep = 0; rep < opt_.reps; ++rep) {
            LoadFigures f = server_records(n, threads);
            keep(row.values, as_timing(f), f.ops_per_s, "table records " + clients);
            f = sqlite_floor(static_cast<size_t>(n), true);
            keep(row.baseline_values, as_timing(f), f.ops_per_s, "SQLite floor " + clients);
            if (n != 64) continue;
            f = server_records(n, {"--no-sync"});
            keep(fast.values, as_timing(f), f.ops_per_s, "table records, --no-sync " + clients);
            keep(cpu.values, as_timing(f), f.server_cores / f.ops_per_s * 1e6,
                 "server CPU, --no-sync " + clients);
            fast.baseline_values.push_back(50000);
        }
        report_.add(row);
        if (n != 64) continue;
        report_.add(fast);
        report_.add(cpu);
    }
}

// One server binary started twice on roots in memory, once in plain text and once with TLS
// and required client certificates (made here by a throw-away authority), and the library
// with and without its [TLS] settings: what encryption costs a small file and a bulk
// transfer.
void Bench::tls() {
    fprintf(stderr, "scenario 6: TLS beside plain text\n");
    const std::string pki_dir = fresh_dir("s6-pki");
    gavo::test::TestPki pki(pki_dir);
    const gavo::test::TlsFiles server_files = pki.issue("server", "gavo-server");
    const gavo::test::TlsFiles host_files = pki.issue("host", "bench-host");
    auto plain = start_server("s6-plain", {"--no-sync"}, !mem_.empty());
    auto tls = start_server("s6-tls",
                            {"--no-sync", "--tls-cert", server_files.cert, "--tls-key",
                             server_files.key, "--tls-client-ca", pki.ca_file()},
                            !mem_.empty());
    if (!plain || !tls) return;
    const std::string plain_ini = ini_text_remote(plain->port());
    const std::string tls_ini = ini_text_remote(tls->port()) +
                                "[TLS]\nENABLE=1\nCA_FILE=" + pki.ca_file() +
                                "\nCERT_FILE=" + host_files.cert + "\nKEY_FILE=" + host_files.key +
                                "\nSERVER_NAME=localhost\n";
    const std::string mib = std::to_string(opt_.bulk_mib) + " MiB";
    Row cycle = make_row("6", "open+write 1 KiB+close over TLS, --no-sync, root in RAM", "us/cycle",
                         "the same in plain text", 1.3, "<= 1.3x", true);
    Row write = make_row("6", "write " + mib + " over TLS, --no-sync", "MiB/s",
                         "the same in plain text", 0.75, ">= 75%");
    Row read = make_row("6", "read " + mib + " over TLS", "MiB/s", "the same in plain text", 0.75,
                        ">= 75%");
    const uint64_t bytes = opt_.bulk_mib << 20;
    for (int rep = 0; rep < opt_.reps; ++rep) {
        const auto measure = [&](bool secure, std::vector<double>& cycles,
                                 std::vector<double>& writes, std::vector<double>& reads) {
            const std::string& ini = secure ? tls_ini : plain_ini;
            const std::string what = secure ? "TLS " : "plain ";
            Timing t = with_library(ini, [&] { return library_small_cycles(rep, opt_.seconds); });
            keep(cycles, t, us_per_cycle(t), what + "small files");
            t = with_library(ini, [&] { return library_bulk_write("bulk\\a.dat", bytes); });
            keep(writes, t, mib_per_s(t), what + "bulk write");
            t = with_library(ini, [&] { return library_bulk_read("bulk\\a.dat", bytes); });
            keep(reads, t, mib_per_s(t), what + "bulk read");
        };
        measure(false, cycle.baseline_values, write.baseline_values, read.baseline_values);
        measure(true, cycle.values, write.values, read.values);
    }
    for (Row* r : {&cycle, &write, &read}) report_.add(*r);
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

void Bench::describe_machine() {
    utsname u;
    uname(&u);
    char date[32];
    const time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M", localtime(&now));
    report_.setting("date", date);
    report_.setting("kernel", std::string(u.sysname) + " " + u.release);
    report_.setting("cores", std::to_string(sysconf(_SC_NPROCESSORS_ONLN)));
    report_.setting("loadavg_at_start", first_line("/proc/loadavg"));
    report_.setting("work_dir", work_);
    report_.setting("reps", std::to_string(opt_.reps));
    report_.setting("seconds", std::to_string(opt_.seconds));
    report_.setting("bulk_mib", std::to_string(opt_.bulk_mib));
    report_.setting("serving_nice", std::to_string(opt_.nice));
    report_.setting("pinned", opt_.pin ? "yes" : "no");
    printf("gavo_bench %s, %s, %ld cores, load average at start %s\n", date,
           (std::string(u.sysname) + " " + u.release).c_str(), sysconf(_SC_NPROCESSORS_ONLN),
           first_line("/proc/loadavg").c_str());
    printf("%d repetitions, medians; timed runs of %.1f s; bulk %llu MiB; work folder %s\n",
           opt_.reps, opt_.seconds, static_cast<unsigned long long>(opt_.bulk_mib), work_.c_str());
    if (opt_.pin) printf("pinned: clients and servers on separate cores\n");
}

void Bench::run() {
    describe_machine();
    if (wanted(1)) small_files();
    if (wanted(2)) bulk();
    if (wanted(3)) local();
    if (wanted(4)) load();
    if (wanted(5)) tables();
    if (wanted(6)) tls();
    report_.setting("loadavg_at_end", first_line("/proc/loadavg"));
    report_.print();
    printf("load average at end: %s\n", first_line("/proc/loadavg").c_str());
    if (report_.write_json(opt_.json)) printf("JSON: %s\n", opt_.json.c_str());
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    bench::Options opt;
    if (!bench::parse_options(argc, argv, &opt)) {
        fputs(bench::kUsage, stderr);
        return 2;
    }
    if (opt.dir.empty()) opt.dir = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    const std::string work = bench::make_temp_dir(opt.dir);
    if (work.empty()) {
        fprintf(stderr, "cannot make a work folder in %s\n", opt.dir.c_str());
        return 1;
    }
    // Without a memory file system the rows that want one use the disk, and say so.
    const std::string mem = opt.mem_dir.empty() ? "" : bench::make_temp_dir(opt.mem_dir);
    const bool keep = opt.keep;
    bench::set_serving_nice(opt.nice);
    if (opt.pin && !bench::set_pinned(true)) {
        fprintf(stderr, "--pin: needs two cores and the right to set affinity; running unpinned\n");
        opt.pin = false;
    }
    bench::Bench(std::move(opt), work, mem).run();
    if (!keep) bench::remove_tree(work);
    if (!mem.empty()) bench::remove_tree(mem);
    return 0;
}
