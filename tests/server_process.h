// The real gavo-server program run as a child process, its standard error going to a
// file, for tests that kill it or check its command line.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace gavo::test {

// One run of the program, its standard error going to a file.
class ServerProcess {
public:
    // Starts gavo-server with `args`; false when it does not report its port.
    bool start(const std::vector<std::string>& args, const std::string& log_path) {
        log_path_ = log_path;
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(fd, STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(GAVO_SERVER_BIN)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(GAVO_SERVER_BIN, argv.data());
            _exit(127);
        }
        for (int i = 0; i < 2000 && port_ == 0; ++i) {
            port_ = port_in(read_file(log_path));
            if (port_ != 0) break;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {  // ended before it served
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid_ = -1;
                return false;
            }
            usleep(10 * 1000);
        }
        return port_ != 0;
    }
    // Sends `sig` and returns the exit status (or 128 + signal).
    int signal_and_wait(int sig) {
        if (pid_ < 0) return exit_;
        kill(pid_, sig);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Sends `sig` without waiting (for a signal that does not end it, such as SIGHUP).
    void send_signal(int sig) const {
        if (pid_ > 0) kill(pid_, sig);
    }
    ~ServerProcess() {
        if (pid_ > 0) signal_and_wait(SIGKILL);
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // The file port: the number after " port " on the "serving" start line (the admin
    // port's line comes earlier and is not it); 0 when that line is not there yet.
    static int port_in(const std::string& log) {
        const size_t line = log.find(" serving ");
        const size_t at = line == std::string::npos ? line : log.find(" port ", line);
        const size_t end = at == std::string::npos ? at : log.find('\n', line);
        if (at == std::string::npos || end == std::string::npos || at > end) return 0;
        return atoi(log.c_str() + at + 6);
    }
    // The admin port from its start line; 0 when none.
    static int admin_port_in(const std::string& log) {
        const size_t line = log.find("admin port on ");
        const size_t at = line == std::string::npos ? line : log.find(" port ", line + 10);
        return at == std::string::npos ? 0 : atoi(log.c_str() + at + 6);
    }
    const std::string& log_path() const { return log_path_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    int exit_ = -1;  // the exit status once known
    std::string log_path_;
};

}  // namespace gavo::test
