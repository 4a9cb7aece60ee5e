#include "watchdog.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "codes.h"

namespace gavo_tool {

namespace {

// How long a requested stop waits for the command to clean up before the watchdog ends
// the process itself. A --timeout keeps a quarter of its time, up to this, for it.
constexpr auto kGrace = std::chrono::milliseconds(1000);

// Plain arrays, not strings: the watchdog thread may still read them while the process
// exits, after static destructors have run.
char g_label[64];
char g_where[600];
char g_temp[4096];
std::atomic<bool> g_temp_set{false};
char g_remote[600];
std::atomic<bool> g_remote_set{false};
std::atomic<int> g_stop{0};
std::atomic<bool> g_reported{false};
int g_timeout = 0;

void copy_text(char* to, size_t size, const std::string& from) {
    std::snprintf(to, size, "%s", from.c_str());
}

void request_stop(int code) {
    int none = 0;
    g_stop.compare_exchange_strong(none, code);
}

// Ends the process at `end` unless the command has ended it first.
[[noreturn]] void force_exit(std::chrono::steady_clock::time_point end) {
    std::this_thread::sleep_until(end);
    if (g_temp_set.load()) ::unlink(g_temp);
    report_stop(g_stop.load());
    if (g_remote_set.load())
        std::fprintf(stderr, "%s: the temporary name '%s' may remain (%s)\n", g_label, g_remote,
                     g_where);
    std::fflush(stderr);
    _exit(g_stop.load());
}

void watch(sigset_t signals) {
    using std::chrono::steady_clock;
    const auto limit = std::chrono::milliseconds(std::chrono::seconds(g_timeout));
    const steady_clock::time_point deadline = steady_clock::now() + limit;
    // The stop is asked for early enough that the clean-up fits before the deadline.
    const steady_clock::time_point stop_at =
        deadline - std::min<std::chrono::milliseconds>(kGrace, limit / 4);
    const timespec tick{0, 50 * 1000 * 1000};
    while (g_stop.load() == 0) {
        int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig > 0) request_stop(128 + sig);
        else if (g_timeout > 0 && steady_clock::now() >= stop_at) request_stop(kExitTimeout);
    }
    force_exit(g_stop.load() == kExitTimeout ? deadline : steady_clock::now() + kGrace);
}

}  // namespace

void start_watchdog(int timeout_seconds, const std::string& label, const std::string& where) {
    copy_text(g_label, sizeof g_label, label);
    copy_text(g_where, sizeof g_where, where);
    g_timeout = timeout_seconds;
    signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(watch, signals).detach();
}

int stop_code() { return g_stop.load(); }

void check_stop() {
    if (int code = g_stop.load()) throw Stopped{code};
}

void report_stop(int code) {
    if (g_reported.exchange(true)) return;
    if (code == kExitTimeout)
        std::fprintf(stderr, "%s: timed out after %d s (--timeout) working with %s\n", g_label,
                     g_timeout, g_where);
    else
        std::fprintf(stderr, "%s: interrupted (%s)\n", g_label,
                     code == 128 + SIGINT    ? "SIGINT"
                     : code == 128 + SIGTERM ? "SIGTERM"
                                             : "signal");
}

void set_local_temp(const std::string& path) {
    g_temp_set.store(false);
    copy_text(g_temp, sizeof g_temp, path);
    g_temp_set.store(!path.empty());
}

}  // namespace gavo_tool

namespace gavo_tool {

void set_remote_temp(const std::string& name) {
    g_remote_set.store(false);
    copy_text(g_remote, sizeof g_remote, name);
    g_remote_set.store(!name.empty());
}

}  // namespace gavo_tool
