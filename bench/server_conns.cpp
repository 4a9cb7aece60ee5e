// How many connections gavo-server holds at once, and what an idle one costs.
//
// Starts the real server on a free loopback port with a temporary root, opens up to N
// connections (default 10000), makes each one answer an existence request (so that
// its thread is really serving), then reads the server's resident memory and thread
// count. Usage: server_conns [N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

long status_field(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
    }
    return -1;
}

pid_t start_server(const std::string& root, const std::string& log, int max_conns) {
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(log.c_str(), "w", stderr);
        const std::string max = std::to_string(max_conns);
        execl(GAVO_SERVER_BIN, GAVO_SERVER_BIN, "--listen", "127.0.0.1:0", "--root", root.c_str(),
              "--max-connections", max.c_str(), "--max-connections-per-host", max.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int wait_port(const std::string& log) {
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        const size_t at = s.str().find(" port ");
        if (at != std::string::npos) return atoi(s.str().c_str() + at + 6);
        usleep(10000);
    }
    return 0;
}

// One connection that has answered an existence request; -1 when refused.
int connect_and_ask(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const unsigned char req[] = {0, 8, 0, 2, 'x', 0};
    unsigned char reply[4];
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        send(fd, req, sizeof req, MSG_NOSIGNAL) != sizeof req ||
        recv(fd, reply, 4, MSG_WAITALL) != 4) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    const int want = argc > 1 ? atoi(argv[1]) : 10000;
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    char dir[] = "/tmp/gavo-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string root = std::string(dir) + "/root", log = std::string(dir) + "/log";
    const pid_t server = start_server(root, log, want + 10);
    const int port = wait_port(log);
    if (port == 0) return 1;
    const long rss0 = status_field(server, "VmRSS:");
    std::vector<int> fds;
    while (static_cast<int>(fds.size()) < want) {
        const int fd = connect_and_ask(port);
        if (fd < 0) break;
        fds.push_back(fd);
    }
    const long rss1 = status_field(server, "VmRSS:");
    const long threads = status_field(server, "Threads:");
    const size_t n = fds.size();
    printf("connections held at once: %zu of %d asked (server threads: %ld)\n", n, want, threads);
    printf("server resident memory: %ld KiB idle, %ld KiB with the connections\n", rss0, rss1);
    if (n > 0) printf("memory per idle connection: %.1f KiB\n", double(rss1 - rss0) / double(n));
    for (int fd : fds) close(fd);
    kill(server, SIGTERM);
    int status = 0;
    waitpid(server, &status, 0);
    printf("server exit status after SIGTERM: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::string cmd = std::string("rm -rf ") + dir;
    return system(cmd.c_str()) == 0 ? 0 : 1;
}
