// Small tools of the benchmark harness: a clock, medians, child processes that hand a
// result back through a pipe, loopback sockets, and what /proc says about a process.
//
// The harness process itself never starts the library and never runs a measurement:
// every workload runs in a forked child, so each one gets a fresh process-wide library
// instance with its own settings, and the parent stays single-threaded (safe to fork).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

double now_seconds();  // CLOCK_MONOTONIC
double median(std::vector<double> values);

// Runs `body` in a forked child and returns the numbers it produced (empty when the
// child failed or wrote nothing). The child exits right after `body`.
std::vector<double> run_in_child(const std::function<std::vector<double>()>& body);

// A group of forked children that each get ready, wait for one start signal, work and
// report numbers: the harness of the multi-client scenarios.
class ClientGroup {
public:
    // `ready` runs first in each child (connect, start the library): false fails the
    // child. `work(index)` runs after the start signal and returns the child's numbers.
    ClientGroup(int count, const std::function<bool(int)>& ready,
                const std::function<std::vector<double>(int)>& work);
    ~ClientGroup();
    // Waits until every child is ready (or failed); the count that are ready.
    int wait_ready();
    // Lets all children go at once.
    void start();
    // Collects their numbers, one vector per child (empty for a failed child).
    std::vector<std::vector<double>> collect();

private:
    std::vector<pid_t> pids_;
    std::vector<int> result_fds_;
    int ready_fd_ = -1;
    int go_fd_ = -1;
    int count_ = 0;
};

// A listening TCP socket on 127.0.0.1 with a free port.
int listen_loopback(int* port);
// A blocking TCP connection to 127.0.0.1:port; -1 on failure. No socket option is set.
int connect_loopback(int port);
// Sends / receives exactly `n` bytes; false on failure or end of stream.
bool send_all(int fd, const void* data, size_t n);
bool recv_all(int fd, void* data, size_t n);

// A field of /proc/PID/status in kB or as a count ("VmRSS:", "Threads:"); -1 if absent.
long proc_status(pid_t pid, const char* field);
// Descriptors a process holds open (entries of /proc/PID/fd); -1 if unreadable.
long descriptor_count(pid_t pid);
// CPU seconds (user + system) a process has used, its ended threads included.
double process_cpu_seconds(pid_t pid);

// Jiffies of the whole machine since boot: busy (not idle, not waiting for I/O) and all.
struct CpuSample {
    double busy = 0;
    double total = 0;
};
CpuSample cpu_sample();
// Share of all cores that was busy between two samples, 0..1.
double busy_share(const CpuSample& before, const CpuSample& after);

// The port that gavo-server reports in its log, waiting up to ~10 s; 0 when none.
int wait_logged_port(const std::string& log_path);
// Waits until something accepts on 127.0.0.1:port, up to ~10 s.
bool wait_accepting(int port);

std::string make_temp_dir(const std::string& parent);  // ends without '/'
void remove_tree(const std::string& path);
void write_text(const std::string& path, const std::string& text);
// Stops a child process with `sig` and reaps it.
void stop_process(pid_t pid, int sig);

}  // namespace bench
