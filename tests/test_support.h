// Shared test fixtures: a platform that counts calls and fails chosen ones, and a
// fixture that gives each test its own folder as the "executable folder" (so the error
// log, the trace log and gavo.ini of parallel tests never meet).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "port/platform.h"

namespace gavo::test {

enum class Call {
    Open,
    Close,
    Read,
    Write,
    Lseek,
    Fstat,
    Stat,
    Mkdir,
    Unlink,
    Rename,
    Fsync,
    Fopen,
    Socket,
    Connect,
    Send,
    Recv,
    Wait,
    Shutdown,
    CloseSocket,
    LookupHost,
    LookupService,
    LookupProtocol,
    Ftruncate,
    Allocate,
    MutexInit,
    Count
};

// The POSIX platform with call counters, fault injection, a settable clock, recorded
// sleeps and a chosen executable folder.
class FaultPlatform : public Platform {
public:
    explicit FaultPlatform(std::string exe_dir) : exe_dir_(std::move(exe_dir)) {}

    // Makes the nth call (1-based, counted from now) of `call` fail with `err`; with
    // `sticky`, that call and every later one fail.
    void fail(Call call, int nth, int err, bool sticky = false);
    // Makes `times` calls of `call` in a row fail with `err`, starting with the nth
    // (1-based, counted from now).
    void fail_run(Call call, int nth, int times, int err);
    // Makes the nth call of any kind (1-based, counted from now over all the calls above)
    // fail with `err`; with `sticky`, that call and every later one of any kind fail.
    void fail_any(int nth, int err, bool sticky = false);
    // Removes every fault rule.
    void clear_faults();
    // Number of calls of `call` so far.
    int calls(Call call) const;
    // Number of calls of every kind so far.
    int total_calls() const;
    // Fixes the clock at `t` (0: the real clock again).
    void set_time(time_t t) { fixed_time_ = t; }
    // Sleeps are recorded, and only really made when `real_sleep` is set.
    std::vector<int> sleeps() const;
    void set_real_sleep(bool real) { real_sleep_ = real; }
    // Runs after each recorded sleep with the number of sleeps so far (from the sleeping
    // thread), e.g. to bring a server back during the reconnection's pauses.
    void on_sleep(std::function<void(size_t)> hook);

    int open(const char* path, int flags, mode_t mode, FileShare share) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t n) override;
    ssize_t write(int fd, const void* buf, size_t n) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int fstat(int fd, struct stat* st) override;
    int stat(const char* path, struct stat* st) override;
    int mkdir(const char* path, mode_t mode) override;
    int unlink(const char* path) override;
    int rename_noreplace(const char* from, const char* to) override;
    int fsync(int fd) override;
    int ftruncate(int fd, off_t length) override;
    FILE* fopen(const char* path, const char* mode) override;
    int socket(int domain, int type, int protocol) override;
    int connect(int fd, const struct sockaddr* addr, socklen_t len) override;
    ssize_t send(int fd, const void* buf, size_t n) override;
    ssize_t recv(int fd, void* buf, size_t n) override;
    int wait_readable(int fd, int seconds) override;
    int shutdown(int fd, int how) override;
    int close_socket(int fd) override;
    int lookup_host(const char* name, struct in_addr* out) override;
    int lookup_service(const char* name, const char* proto, uint16_t* port_net) override;
    int lookup_protocol(const char* name, int* number) override;
    void* allocate(size_t count, size_t size) override;
    PlatformMutex* mutex_create() override;
    time_t now() override;
    void sleep_ms(int ms) override;
    std::string exe_dir() override { return exe_dir_; }

private:
    struct Rule {
        int first = 0;  // 0: no rule
        int last = 0;   // the last failing call (inclusive)
        int err = 0;
    };
    // Counts the call; true (with errno set) when a rule makes it fail.
    bool inject(Call call);

    std::string exe_dir_;
    mutable std::mutex mutex_;
    int counts_[static_cast<int>(Call::Count)] = {};
    Rule rules_[static_cast<int>(Call::Count)];
    int total_ = 0;
    Rule any_rule_;  // counted over total_
    std::vector<int> sleeps_;
    std::function<void(size_t)> sleep_hook_;
    std::atomic<time_t> fixed_time_{0};
    std::atomic<bool> real_sleep_{false};
};

// Each test runs in a fresh temporary folder that stands for the executable's folder,
// with a FaultPlatform installed and the library shut down afterwards.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes gavo.ini into the test folder.
    void write_ini(const std::string& text);
    // The bytes of the error log (empty when missing), line ends as "\n".
    std::string error_log() const;
    // The bytes of the network trace log (empty when missing), line ends as "\n".
    std::string trace_log() const;
    std::string path(const std::string& name) const { return dir_ + name; }

    std::string dir_;  // ends in '/'
    FaultPlatform* platform_ = nullptr;
};

// The bytes of `utf8` in code page 936, converted by iconv.
std::string gbk(const std::string& utf8);
// Reads a whole file; empty when missing.
std::string read_file(const std::string& path);
// The bytes of a text file the library wrote, with its line ends as "\n": as they are on
// POSIX, CR LF turned into LF on Windows.
std::string text_lines(std::string bytes);
void write_file(const std::string& path, const std::string& bytes);
// Creates a fresh temporary folder; the result ends in '/'.
std::string make_temp_dir();
// The moment 2026-03-03 08:05:09 in the local time zone (a report line's date without
// leading zeros: "2026-3-3 8:5:9").
time_t eight_five_nine();
// Removes a folder tree.
void remove_tree(const std::string& path);
// The number of descriptors the process holds now.
int open_descriptors();
// The entries under `dir`, sorted, one a line: "rel=contents" for each file (contents
// over 64 bytes as their size and hash, to keep failure messages short) and, with
// `folders`, "rel/" for each folder. Two listings are equal when the trees are.
std::string tree_listing(const std::string& dir, bool folders = true);

}  // namespace gavo::test
