// How many idle connections a server holds at once, and what each one costs.
//
// Starts the real gavo-server (or a floor peer, for comparison) on a free loopback port
// with a temporary root, opens up to N connections (default 10000), makes each answer an
// existence request (so that whatever serves it really runs), then reports the
// connections held, the server's resident memory before and with them, the memory per
// connection, its thread count and how long the opening took. When it stops short it
// says why (the failing call, the server's last log lines) and which kernel limits were
// in the way.
//
// Clients bind to 127.x.y.z source addresses, a few connections each, so that neither
// the ephemeral ports nor the server's per-host connection limit run out. The program
// raises its descriptor limits (the hard one too, up to fs.nr_open, when it may); the
// server inherits them.
//
// Usage: server_conns [N] [--peer server|floor-epoll|floor-threads] [--per-address K]
//                     [--server PATH]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/peers.h"
#include "bench/util.h"

namespace {

struct Options {
    long want = 10000;
    std::string peer = "server";  // or floor-epoll, floor-threads
    long per_address = 4;         // below the server's default of 8 per host
    std::string server = GAVO_SERVER_BIN;
};

constexpr const char* kUsage =
    "usage: server_conns [N] [--peer server|floor-epoll|floor-threads] [--per-address K]\n"
    "                    [--server PATH]\n"
    "  N              connections to open and hold (10000)\n"
    "  --peer         gavo-server (server) or a floor peer with an epoll loop per core or\n"
    "                 a thread per connection\n"
    "  --per-address  connections per 127.x.y.z source address (4)\n"
    "  --server       the gavo-server binary (the one built beside this program)\n";

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a[0] != '-') {
            o->want = atol(a.c_str());
            continue;
        }
        if (v == nullptr) return false;
        ++i;
        if (a == "--peer") o->peer = v;
        else if (a == "--per-address") o->per_address = atol(v);
        else if (a == "--server") o->server = v;
        else return false;
    }
    const bool known =
        o->peer == "server" || o->peer == "floor-epoll" || o->peer == "floor-threads";
    return known && o->want > 0 && o->per_address > 0;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line.empty() ? "?" : line;
}

// The kernel settings that cap connections, threads and backlogs.
void print_kernel_limits() {
    const char* files[][2] = {
        {"fs.nr_open", "/proc/sys/fs/nr_open"},
        {"fs.file-max", "/proc/sys/fs/file-max"},
        {"kernel.threads-max", "/proc/sys/kernel/threads-max"},
        {"kernel.pid_max", "/proc/sys/kernel/pid_max"},
        {"vm.max_map_count", "/proc/sys/vm/max_map_count"},
        {"net.core.somaxconn", "/proc/sys/net/core/somaxconn"},
        {"net.ipv4.ip_local_port_range", "/proc/sys/net/ipv4/ip_local_port_range"},
        {"cgroup pids.max", "/sys/fs/cgroup/pids.max"},
    };
    printf("kernel limits:");
    for (const auto& f : files) printf(" %s=%s", f[0], first_line(f[1]).c_str());
    printf("\n");
}

// Raises this process's descriptor limits for `conns` connections, the hard one too (as
// root), up to fs.nr_open. gavo-server keeps up to a quarter of its limit in reserve
// for files and accepts, so it is asked for twice the connections; says so when the
// limit stays below what the server needs.
void raise_descriptors(long conns) {
    const long need = 2 * conns + 1024, enough = conns + conns / 3 + 1024;
    const rlim_t cap = static_cast<rlim_t>(atol(first_line("/proc/sys/fs/nr_open").c_str()));
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t goal = static_cast<rlim_t>(need);
    if (lim.rlim_max < goal && cap > lim.rlim_max) {
        rlimit raised = {std::min(goal, cap), std::min(goal, cap)};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            printf("cannot raise the hard descriptor limit above %lu: %s%s\n",
                   static_cast<unsigned long>(lim.rlim_max), strerror(errno),
                   errno == EPERM ? " (raising it takes CAP_SYS_RESOURCE)" : "");
        }
        getrlimit(RLIMIT_NOFILE, &lim);
    }
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    printf("descriptor limit: %lu (asked for %ld)%s\n", static_cast<unsigned long>(lim.rlim_cur),
           need,
           lim.rlim_cur < static_cast<rlim_t>(enough) ? ": TOO LOW, the run stops there" : "");
}

// gavo-server, started like bench::GavoServer but with the connection limit above `want`
// and the server's own per-host defaults.
struct Server {
    pid_t pid = -1;
    int port = 0;
    std::string log;
};

Server start_server(const Options& o, const std::string& dir) {
    Server s;
    s.log = dir + "/server.log";
    const std::string root = dir + "/root", max = std::to_string(o.want + 16);
    mkdir(root.c_str(), 0755);
    fflush(nullptr);
    s.pid = fork();
    if (s.pid == 0) {
        freopen(s.log.c_str(), "w", stderr);
        execl(o.server.c_str(), o.server.c_str(), "--listen", "127.0.0.1:0", "--root", root.c_str(),
              "--max-connections", max.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (s.pid > 0) s.port = bench::wait_logged_port(s.log);
    return s;
}

// The source address of connection `i`: 127.1.0.1 onwards, `per` connections each,
// skipping the .0 and .255 host bytes.
in_addr_t source_address(long i, long per) {
    const long idx = i / per;
    const long last = 1 + idx % 254, rest = idx / 254;
    return htonl((127u << 24) | static_cast<uint32_t>((1 + rest / 256) << 16) |
                 static_cast<uint32_t>((rest % 256) << 8) | static_cast<uint32_t>(last));
}

// One connection from `source` that has answered an existence request; -1 when it could
// not be made, with the failing step in *why.
int connect_and_ask(int port, in_addr_t source, std::string* why) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + strerror(errno);
        return -1;
    }
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = source;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const unsigned char req[] = {0, 8, 0, 2, 'x', 0};  // exists "x"
    unsigned char reply[4];
    const char* step = bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0  ? "bind"
                       : connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ? "connect"
                       : send(fd, req, sizeof req, MSG_NOSIGNAL) != sizeof req         ? "send"
                       : recv(fd, reply, 4, MSG_WAITALL) != 4                          ? "reply"
                                                                                       : nullptr;
    if (step == nullptr) return fd;
    *why = std::string(step) + ": " + (errno ? strerror(errno) : "connection closed");
    if (errno == EAGAIN) *why = "reply: none within 10 s";
    close(fd);
    return -1;
}

// Opens connections until `want` are held or one fails; prints progress to stderr.
// *took: the time until the last one was made (a failure's time-out left out).
std::vector<int> open_connections(const Options& o, int port, std::string* why, double* took) {
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(o.want));
    const double start = bench::now_seconds();
    while (static_cast<long>(fds.size()) < o.want) {
        errno = 0;
        const int fd = connect_and_ask(
            port, source_address(static_cast<long>(fds.size()), o.per_address), why);
        if (fd < 0) break;
        fds.push_back(fd);
        *took = bench::now_seconds() - start;
        if (fds.size() % 10000 == 0) {
            fprintf(stderr, "  %zu connections, %.1f s\n", fds.size(),
                    bench::now_seconds() - start);
        }
    }
    return fds;
}

void print_log_tail(const std::string& log) {
    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const size_t from = lines.size() > 3 ? lines.size() - 3 : 0;
    for (size_t i = from; i < lines.size(); ++i) printf("  server log: %s\n", lines[i].c_str());
}

// Holds the connections, measures, prints; returns the count held.
size_t measure(const Options& o, pid_t pid, int port, const std::string& log) {
    const long rss0 = bench::proc_status(pid, "VmRSS:");
    std::string why;
    double took = 0;
    std::vector<int> fds = open_connections(o, port, &why, &took);
    usleep(200000);  // the last connections' threads or buffers settle
    const long rss1 = bench::proc_status(pid, "VmRSS:"),
               threads = bench::proc_status(pid, "Threads:");
    const size_t n = fds.size();
    printf("connections held at once: %zu of %ld asked (server threads: %ld)\n", n, o.want,
           threads);
    printf("opening them took %.2f s (%.0f connections/s)\n", took,
           took > 0 ? double(n) / took : 0);
    printf("server resident memory: %ld KiB before, %ld KiB with the connections\n", rss0, rss1);
    if (n > 0) printf("memory per idle connection: %.1f KiB\n", double(rss1 - rss0) / double(n));
    if (static_cast<long>(n) < o.want) {
        const bool gone =
            first_line("/proc/" + std::to_string(pid) + "/stat").find(") Z") != std::string::npos;
        printf("stopped: %s%s\n", why.c_str(), gone ? " (the server has exited)" : "");
        if (!log.empty()) print_log_tail(log);
    }
    for (int fd : fds) close(fd);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fputs(kUsage, stderr);
        return 2;
    }
    print_kernel_limits();
    raise_descriptors(o.want);
    const std::string dir = bench::make_temp_dir("/tmp");
    if (dir.empty()) return 1;
    std::unique_ptr<bench::FloorPeer> floor;
    Server server;
    if (o.peer == "server") {
        server = start_server(o, dir);
    } else {
        mkdir((dir + "/root").c_str(), 0755);
        const auto model =
            o.peer == "floor-epoll" ? bench::FloorPeer::kEpoll : bench::FloorPeer::kThreads;
        floor = std::make_unique<bench::FloorPeer>(model, dir + "/root");
        server.pid = floor->pid();
        server.port = floor->ok() ? floor->port() : 0;
    }
    printf("peer: %s, pid %d, port %d\n", o.peer.c_str(), server.pid, server.port);
    const size_t held = server.port > 0 ? measure(o, server.pid, server.port, server.log) : 0;
    if (floor) {
        floor.reset();  // SIGKILL: a floor peer has nothing to close
    } else if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        int status = 0;
        waitpid(server.pid, &status, 0);
        printf("server exit status after SIGTERM: %d\n",
               WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    bench::remove_tree(dir);
    return held > 0 ? 0 : 1;
}
