// Well-behaved hosts' latency while other addresses attack gavo-server (loopback only).
//
// Starts the real server (root in /dev/shm, --no-sync, short handle grace) and runs
// phases of --seconds each: quiet, then each attack alone, then all at once. Throughout,
// --clients well-behaved hosts (127.0.1.1, .2, ...; one connection each) do open+write
// 1 KiB+close cycles over the wire, each opening a fresh connection every 100 cycles
// (the connect counts in that cycle), and a sampler reads the server's VmRSS and descriptor count every 50 ms. The attacks:
//   flood:   127.0.0.2 opens connections as fast as it can and holds the last 1,000
//   trickle: 127.0.0.3 keeps 8 connections sending an open one byte per second
//   handles: 127.0.0.10-17 each create files until refused and hold them
//   fixed:   127.0.0.4 keeps up to 1,000 connections that open the fixed:1048576
//            table and send only a record's 4-byte header
//   stalled: 127.0.2.1-125 each open 8 connections (the per-host limit) that begin a
//            write of 1000 bytes (or a fixed:1048576 record), send 10 (4) bytes of it
//            and go silent: 1,000 requests waiting for their client
// Besides the latencies, the server's thread count (/proc/PID/status) is sampled.
// The attacking threads run at nice --attacker-nice (19): on a shared two-core machine
// their own CPU would otherwise be measured rather than the server's fairness.
// Usage: attack_bench [--seconds S] [--clients N] [--attacker-nice N] [--keep 1]
//                     [--nproc N] [--server-arg ARG]... [--server-bin PATH]
// --nproc N runs the server under a process limit of N (as user nobody when started as
// root, since the limit does not bind root); --server-arg passes ARG to the server.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/util.h"
#include "tests/wire_client.h"

namespace {

using gavo::test::be16;
using gavo::test::WireClient;
using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};  // ends the current phase's threads
int g_attacker_nice = 19;

long fd_count(pid_t pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    long n = 0;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Sleeps up to `s` seconds, returning early when the phase ends.
void nap(double s) {
    const auto until = Clock::now() + std::chrono::duration<double>(s);
    while (!g_stop && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// One well-behaved host's cycles; latencies in microseconds, failures counted.
void good_client(int port, int id, std::vector<double>* lat, long* failures) {
    std::unique_ptr<WireClient> c;
    const std::string data(1024, 'x');
    for (long i = 0; !g_stop; ++i) {
        const auto t0 = Clock::now();
        if (i % 100 == 0) {
            c = std::make_unique<WireClient>();
            if (!c->connect(port, ("127.0.1." + std::to_string(id + 1)).c_str())) {
                ++*failures;
                nap(0.01);
                continue;
            }
        }
        const std::string name = "good" + std::to_string(id) + "_" + std::to_string(i % 200);
        const int h = c->open(0x0A, name);
        const bool ok = h >= 0 && c->write(h, data) == 1024 && c->close_handle(h) == 0;
        if (!ok) {
            ++*failures;
            i = -1;  // reconnect: the connection may be gone
            nap(0.01);
            continue;
        }
        lat->push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
}

void flood(int port) {
    std::deque<std::unique_ptr<WireClient>> held;
    while (!g_stop) {
        auto c = std::make_unique<WireClient>();
        if (c->connect(port, "127.0.0.2")) held.push_back(std::move(c));
        if (held.size() > 1000) held.pop_front();
    }
}

void trickle(int port) {
    const std::string req = be16(1) + be16(0x0A) + gavo::test::name_field("trickle.txt");
    std::vector<WireClient> cs(8);
    std::vector<size_t> sent(cs.size(), req.size());
    while (!g_stop) {
        for (size_t k = 0; k < cs.size(); ++k) {
            if (sent[k] == req.size()) {  // (re)connect and start the request again
                sent[k] = cs[k].connect(port, "127.0.0.3") ? 0 : req.size();
            }
            if (sent[k] < req.size() && !cs[k].send_raw(req.substr(sent[k]++, 1))) {
                sent[k] = req.size();
            }
        }
        nap(1.0);
    }
}

void fill_handles(int port, int host) {
    const std::string ip = "127.0.0." + std::to_string(host);
    WireClient c;
    if (!c.connect(port, ip.c_str())) return;
    for (int i = 0;
         !g_stop && c.open(0x0A, "fill" + std::to_string(host) + "_" + std::to_string(i)) >= 0;
         ++i) {
    }
    while (!g_stop) nap(0.1);  // hold them
}

void fixed_headers(int port) {
    std::deque<std::unique_ptr<WireClient>> held;
    while (!g_stop) {
        auto c = std::make_unique<WireClient>();
        timeval tv{1, 0};  // a refused connection must not hold the loop 20 s
        if (c->connect(port, "127.0.0.4")) {
            setsockopt(c->fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            const int h = c->table_open("big");
            if (h >= 0 && c->send_raw(be16(19) + be16(h) + gavo::test::be32(1))) {
                held.push_back(std::move(c));
            }
        }
        if (held.size() > 1000) held.pop_front();
        if (held.size() >= 8) nap(0.01);
    }
}

// 1,000 requests that wait for their clients: see the file's head.
void stalled(int port, bool table) {
    std::vector<std::unique_ptr<WireClient>> held;
    const std::string rest = table ? gavo::test::be32(1) : gavo::test::be32(1000) + "0123456789";
    for (int host = 1; host <= 125 && !g_stop; ++host) {
        const std::string ip = "127.0.2." + std::to_string(host);
        for (int i = 0; i < 8 && !g_stop; ++i) {
            auto c = std::make_unique<WireClient>();
            timeval tv{1, 0};  // a refused connection must not hold the attacker long
            if (!c->connect(port, ip.c_str())) continue;
            setsockopt(c->fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            const int h =
                table ? c->table_open("big")
                      : c->open(0x0A, "stall" + std::to_string(host) + "_" + std::to_string(i));
            if (h >= 0 && c->send_raw(be16(table ? 19 : 4) + be16(h) + rest)) {
                held.push_back(std::move(c));
            }
        }
    }
    while (!g_stop) nap(0.1);
}

struct Row {
    std::string phase;
    double median = 0, p99 = 0;
    size_t cycles = 0;
    long failures = 0, rss_max = 0, fds_max = 0, threads_max = 0;
};

Row run_phase(const std::string& name, pid_t server, int port, int clients, double seconds,
              const std::vector<std::function<void()>>& attacks) {
    g_stop = false;
    std::vector<std::thread> attackers;
    for (const auto& a : attacks) {
        attackers.emplace_back([&a] {
            // The attackers' own CPU stands for other machines: it yields to everyone here.
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), g_attacker_nice);
            a();
        });
    }
    nap(std::min(1.0, seconds / 4));  // let the attack build up first
    Row row{name};
    const auto count = static_cast<size_t>(std::max(clients, 0));
    std::vector<std::vector<double>> lat(count);
    std::vector<long> fails(count, 0);
    std::vector<std::thread> good;
    for (size_t i = 0; i < count; ++i) {
        good.emplace_back(good_client, port, static_cast<int>(i), &lat[i], &fails[i]);
    }
    for (const auto until = Clock::now() + std::chrono::duration<double>(seconds);
         Clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
        row.rss_max = std::max(row.rss_max, bench::proc_status(server, "VmRSS:"));
        row.fds_max = std::max(row.fds_max, fd_count(server));
        row.threads_max = std::max(row.threads_max, bench::proc_status(server, "Threads:"));
    }
    g_stop = true;
    for (auto& t : good) t.join();
    for (auto& t : attackers) t.join();
    std::vector<double> all;
    for (size_t i = 0; i < count; ++i) {
        all.insert(all.end(), lat[i].begin(), lat[i].end());
        row.failures += fails[i];
    }
    std::sort(all.begin(), all.end());
    row.cycles = all.size();
    if (!all.empty()) {
        row.median = all[all.size() / 2];
        row.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 8;
    int clients = 4;
    bool keep = false;
    long nproc = 0;
    const char* server_bin = GAVO_SERVER_BIN;
    std::vector<std::string> server_args;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--seconds") seconds = atof(argv[i + 1]);
        else if (opt == "--clients") clients = atoi(argv[i + 1]);
        else if (opt == "--attacker-nice") g_attacker_nice = atoi(argv[i + 1]);
        else if (opt == "--keep") keep = atoi(argv[i + 1]) != 0;
        else if (opt == "--nproc") nproc = atol(argv[i + 1]);
        else if (opt == "--server-arg") server_args.push_back(argv[i + 1]);
        else if (opt == "--server-bin") server_bin = argv[i + 1];
    }
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    signal(SIGPIPE, SIG_IGN);
    char dir[] = "/dev/shm/gavo-attack-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string d = dir, log = d + "/log";
    std::ofstream(d + "/tables.conf") << "big = fixed:1048576\n";
    chmod(dir, 0777);  // for a server run as nobody (--nproc)
    const pid_t server = fork();
    if (server == 0) {
        if (freopen(log.c_str(), "w", stderr) == nullptr) _exit(127);
        const std::string root = d + "/root", tables = d + "/tables.conf";
        std::vector<const char*> args{server_bin,       "--listen", "127.0.0.1:0",  "--root",
                                      root.c_str(),     "--tables", tables.c_str(), "--no-sync",
                                      "--handle-grace", "1"};
        for (const std::string& a : server_args) args.push_back(a.c_str());
        args.push_back(nullptr);
        if (nproc > 0) {
            const rlimit procs{static_cast<rlim_t>(nproc), static_cast<rlim_t>(nproc)};
            if (setrlimit(RLIMIT_NPROC, &procs) != 0) _exit(127);
            if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(127);
        }
        execv(server_bin, const_cast<char* const*>(args.data()));
        _exit(127);
    }
    const int port = bench::wait_logged_port(log);
    if (port == 0) return 1;
    const auto flood_a = [port] { flood(port); };
    const auto trickle_a = [port] { trickle(port); };
    const auto fixed_a = [port] { fixed_headers(port); };
    std::vector<std::function<void()>> fill_a;
    for (int h = 10; h < 18; ++h) fill_a.push_back([port, h] { fill_handles(port, h); });
    std::vector<std::function<void()>> all{flood_a, trickle_a, fixed_a,
                                           [port] { stalled(port, false); }};
    all.insert(all.end(), fill_a.begin(), fill_a.end());
    const std::vector<std::pair<std::string, std::vector<std::function<void()>>>> phases{
        {"quiet", {}},
        {"connection flood (1 address)", {flood_a}},
        {"trickling requests (1 address, 8 conns)", {trickle_a}},
        {"handles filled (8 addresses)", fill_a},
        {"header-only fixed:1048576 records (1 address)", {fixed_a}},
        {"stalled writes (1,000 from 125 addresses)", {[port] { stalled(port, false); }}},
        {"header-only records (1,000 from 125 addresses)", {[port] { stalled(port, true); }}},
        {"all of them at once", all},
    };
    printf(
        "attack_bench: %d well-behaved clients, phases of %.1f s, server pid %d, RSS at start %ld "
        "KiB\n",
        clients, seconds, server, bench::proc_status(server, "VmRSS:"));
    printf("%-48s %9s %9s %7s %8s %10s %8s %8s\n", "phase", "median us", "p99 us", "p99/q",
           "cycles", "max RSS KiB", "max fds", "threads");
    double quiet_p99 = 0;
    for (const auto& [name, attacks] : phases) {
        const Row r = run_phase(name, server, port, clients, seconds, attacks);
        if (quiet_p99 == 0) quiet_p99 = r.p99;
        printf("%-48s %9.0f %9.0f %6.2fx %8zu %10ld %8ld %8ld", r.phase.c_str(), r.median, r.p99,
               quiet_p99 > 0 ? r.p99 / quiet_p99 : 0.0, r.cycles, r.rss_max, r.fds_max,
               r.threads_max);
        if (r.failures > 0) printf("  (%ld failed cycles)", r.failures);
        printf("\n");
        fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(3));  // handles' grace period passes
    }
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);
    printf("server stopped after SIGTERM, exit status %d\n",
           WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    if (keep) return printf("kept: %s (the server's log is %s)\n", dir, log.c_str()) < 0;
    return system(("rm -rf " + d).c_str()) == 0 ? 0 : 1;
}
