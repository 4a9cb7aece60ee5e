#include "bench/util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace bench {

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

namespace {

void write_numbers(int fd, const std::vector<double>& numbers) {
    send_all(fd, numbers.data(), numbers.size() * sizeof(double));
}

std::vector<double> read_numbers(int fd) {
    std::vector<double> out;
    double v;
    while (recv_all(fd, &v, sizeof v)) out.push_back(v);
    return out;
}

// Reaps `pid`; true when it exited with status 0.
bool reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::vector<double> run_in_child(const std::function<std::vector<double>()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        write_numbers(fds[1], body());
        _exit(0);
    }
    close(fds[1]);
    std::vector<double> out = pid > 0 ? read_numbers(fds[0]) : std::vector<double>{};
    close(fds[0]);
    if (pid > 0 && !reap(pid)) out.clear();
    return out;
}

ClientGroup::ClientGroup(int count, const std::function<bool(int)>& ready,
                         const std::function<std::vector<double>(int)>& work) {
    int ready_pipe[2], go_pipe[2];
    if (pipe(ready_pipe) != 0 || pipe(go_pipe) != 0) return;
    ready_fd_ = ready_pipe[0];
    go_fd_ = go_pipe[1];
    fflush(nullptr);
    for (int i = 0; i < count; ++i) {
        int res[2];
        if (pipe(res) != 0) break;
        const pid_t pid = fork();
        if (pid == 0) {
            close(ready_pipe[0]);
            close(go_pipe[1]);
            close(res[0]);
            for (int fd : result_fds_) close(fd);  // the siblings' pipes
            const char ok = ready(i) ? 1 : 0;
            send_all(ready_pipe[1], &ok, 1);
            char c;
            while (read(go_pipe[0], &c, 1) < 0 && errno == EINTR) {
            }
            if (ok) write_numbers(res[1], work(i));
            _exit(0);
        }
        close(res[1]);
        if (pid < 0) {
            close(res[0]);
            break;
        }
        pids_.push_back(pid);
        result_fds_.push_back(res[0]);
    }
    count_ = static_cast<int>(pids_.size());
    close(ready_pipe[1]);
    close(go_pipe[0]);
}

ClientGroup::~ClientGroup() {
    if (go_fd_ >= 0) close(go_fd_);
    if (ready_fd_ >= 0) close(ready_fd_);
    for (int fd : result_fds_) close(fd);
    for (pid_t pid : pids_) reap(pid);
}

int ClientGroup::wait_ready() {
    int ok = 0;
    for (int i = 0; i < count_; ++i) {
        // A child that dies before it reports would otherwise stall the run forever.
        pollfd pfd = {ready_fd_, POLLIN, 0};
        char c = 0;
        if (poll(&pfd, 1, 120000) <= 0 || !recv_all(ready_fd_, &c, 1)) break;
        ok += c;
    }
    return ok;
}

void ClientGroup::start() {
    close(go_fd_);  // every child's read of the go pipe returns at once
    go_fd_ = -1;
}

std::vector<std::vector<double>> ClientGroup::collect() {
    std::vector<std::vector<double>> out;
    for (int fd : result_fds_) out.push_back(read_numbers(fd));
    return out;
}

int listen_loopback(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd, 1024) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

int connect_loopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool send_all(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t r = write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool recv_all(int fd, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

long proc_status(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
    }
    return -1;
}

long descriptor_count(pid_t pid) {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
    if (ec) return -1;
    long n = 0;
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) ++n;
    return n;
}

double process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces: fields are counted after its closing parenthesis.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = atof(field.c_str());
        if (i == 15) system = atof(field.c_str());
    }
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

CpuSample cpu_sample() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    CpuSample s;
    s.busy = user + nice + system + irq + softirq + steal;
    s.total = s.busy + idle + iowait;
    return s;
}

double busy_share(const CpuSample& before, const CpuSample& after) {
    const double total = after.total - before.total;
    return total > 0 ? (after.busy - before.busy) / total : 0;
}

int wait_logged_port(const std::string& log_path) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(log_path);
        std::stringstream s;
        s << in.rdbuf();
        const size_t at = s.str().find(" port ");
        if (at != std::string::npos) return atoi(s.str().c_str() + at + 6);
        usleep(10000);
    }
    return 0;
}

bool wait_accepting(int port) {
    for (int i = 0; i < 1000; ++i) {
        const int fd = connect_loopback(port);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        usleep(10000);
    }
    return false;
}

std::string make_temp_dir(const std::string& parent) {
    std::string pattern = parent + "/gavo-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return "";
    return pattern;
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

void stop_process(pid_t pid, int sig) {
    if (pid <= 0) return;
    kill(pid, sig);
    reap(pid);
}

}  // namespace bench
