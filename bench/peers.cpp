#include "bench/peers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <thread>

#include "bench/util.h"

namespace bench {

namespace {

constexpr size_t kStep = 4096;

void play_script(int fd, const std::vector<Exchange>& script) {
    std::vector<char> buf(1 << 16);
    for (;;) {
        for (const Exchange& e : script) {
            if (!recv_all(fd, buf.data(), e.request) || !send_all(fd, buf.data(), e.reply)) {
                close(fd);
                return;
            }
        }
    }
}

// 'W': receives the bytes in 4 KiB receives, answers 4 bytes. 'R': sends them in 4 KiB
// sends. Moves the bytes only; nothing touches a disk.
void serve_bulk(int fd) {
    char cmd = 0;
    uint64_t size = 0;
    char buf[kStep] = {};
    if (recv_all(fd, &cmd, 1) && recv_all(fd, &size, sizeof size)) {
        for (uint64_t done = 0; done < size;) {
            const size_t n = size - done < kStep ? size - done : kStep;
            const ssize_t r = cmd == 'W' ? recv(fd, buf, n, 0) : send(fd, buf, n, MSG_NOSIGNAL);
            if (r <= 0) break;
            done += static_cast<uint64_t>(r);
        }
        if (cmd == 'W') send_all(fd, "done", 4);
    }
    close(fd);
}

[[noreturn]] void serve_forever(int listener, RawPeer::Mode mode,
                                const std::vector<Exchange>& script) {
    const int one = 1;
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (mode == RawPeer::kBulk) {
            std::thread(serve_bulk, fd).detach();
        } else {
            std::thread(play_script, fd, script).detach();
        }
    }
}

}  // namespace

RawPeer::RawPeer(Mode mode, std::vector<Exchange> script) {
    const int listener = listen_loopback(&port_);
    if (listener < 0) return;
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) serve_forever(listener, mode, script);
    close(listener);
}

RawPeer::~RawPeer() { stop_process(pid_, SIGKILL); }

GavoServer::GavoServer(const std::string& binary, const std::string& root, const std::string& log,
                       const std::vector<std::string>& extra) {
    std::vector<std::string> args = {binary,        "--listen",
                                     "127.0.0.1:0", "--root",
                                     root,          "--max-connections",
                                     "4096",        "--max-handles",
                                     "4096",        "--max-connections-per-host",
                                     "4096",        "--max-descriptors-per-host",
                                     "8192"};
    args.insert(args.end(), extra.begin(), extra.end());
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    if (pid_ > 0) port_ = wait_logged_port(log);
}

GavoServer::~GavoServer() { stop_process(pid_, SIGTERM); }

namespace {

std::string nginx_config(const std::string& prefix, const std::string& root, int port) {
    std::string c = "daemon off;\nworker_processes 1;\npid " + prefix + "/nginx.pid;\n";
    c += "error_log " + prefix + "/error.log warn;\n";
    if (geteuid() == 0) c += "user root;\n";  // keep the current user's identity
    c += "events { worker_connections 1024; }\nhttp {\n  access_log off;\n";
    c += "  sendfile on;\n  tcp_nopush on;\n  client_max_body_size 0;\n";
    for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
        c += std::string("  ") + t + "_temp_path " + prefix + "/" + t + ";\n";
    }
    c += "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n";
    c += "    root " + root + ";\n";
    c += "    location / { dav_methods PUT; create_full_put_path on; }\n  }\n}\n";
    return c;
}

// A port that was free a moment ago (nginx binds it itself).
int free_port() {
    int port = 0;
    const int fd = listen_loopback(&port);
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace

Nginx::Nginx(const std::string& binary, const std::string& prefix, const std::string& root) {
    const int port = free_port();
    const std::string conf = prefix + "/nginx.conf";
    write_text(conf, nginx_config(prefix, root, port));
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        const int fd = open((prefix + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        execl(binary.c_str(), binary.c_str(), "-p", (prefix + "/").c_str(), "-c", conf.c_str(),
              "-e", (prefix + "/error.log").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ > 0 && wait_accepting(port)) {
        port_ = port;
    } else {
        error_ = "nginx did not start; see " + prefix + "/stderr.log and error.log";
    }
}

Nginx::~Nginx() { stop_process(pid_, SIGTERM); }

}  // namespace bench
