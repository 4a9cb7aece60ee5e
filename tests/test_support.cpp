#include "tests/test_support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "include/GAVO_Client.h"
#include "net/netconn.h"
#include "runtime/state.h"

namespace gavo::test {

void FaultPlatform::fail(Call call, int nth, int err, bool sticky) {
    std::lock_guard<std::mutex> guard(mutex_);
    int i = static_cast<int>(call);
    rules_[i] = Rule{counts_[i] + nth, sticky ? INT_MAX : counts_[i] + nth, err};
}

void FaultPlatform::fail_run(Call call, int nth, int times, int err) {
    std::lock_guard<std::mutex> guard(mutex_);
    int i = static_cast<int>(call);
    rules_[i] = Rule{counts_[i] + nth, counts_[i] + nth + times - 1, err};
}

void FaultPlatform::on_sleep(std::function<void(size_t)> hook) {
    std::lock_guard<std::mutex> guard(mutex_);
    sleep_hook_ = std::move(hook);
}

void FaultPlatform::fail_any(int nth, int err, bool sticky) {
    std::lock_guard<std::mutex> guard(mutex_);
    any_rule_ = Rule{total_ + nth, sticky ? INT_MAX : total_ + nth, err};
}

void FaultPlatform::clear_faults() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (Rule& r : rules_) r = Rule{};
    any_rule_ = Rule{};
}

int FaultPlatform::total_calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return total_;
}

int FaultPlatform::calls(Call call) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return counts_[static_cast<int>(call)];
}

std::vector<int> FaultPlatform::sleeps() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sleeps_;
}

bool FaultPlatform::inject(Call call) {
    std::lock_guard<std::mutex> guard(mutex_);
    int i = static_cast<int>(call);
    auto hits = [](const Rule& r, int count) {
        return r.first != 0 && count >= r.first && count <= r.last;
    };
    const int n = ++counts_[i];
    const int total = ++total_;
    const Rule* rule = hits(rules_[i], n)       ? &rules_[i]
                       : hits(any_rule_, total) ? &any_rule_
                                                : nullptr;
    if (rule == nullptr) return false;
    errno = rule->err;
    return true;
}

#define GAVO_FAULT(call, fail_value, expr) \
    if (inject(call)) return fail_value;   \
    return expr

int FaultPlatform::open(const char* p, int f, mode_t m, FileShare s) {
    GAVO_FAULT(Call::Open, -1, Platform::open(p, f, m, s));
}
// A failing close still releases the descriptor, as Linux's close does whatever it
// reports.
int FaultPlatform::close(int fd) {
    if (!inject(Call::Close)) return Platform::close(fd);
    const int err = errno;
    Platform::close(fd);
    errno = err;
    return -1;
}
ssize_t FaultPlatform::read(int fd, void* b, size_t n) {
    GAVO_FAULT(Call::Read, -1, Platform::read(fd, b, n));
}
ssize_t FaultPlatform::write(int fd, const void* b, size_t n) {
    GAVO_FAULT(Call::Write, -1, Platform::write(fd, b, n));
}
off_t FaultPlatform::lseek(int fd, off_t o, int w) {
    GAVO_FAULT(Call::Lseek, -1, Platform::lseek(fd, o, w));
}
int FaultPlatform::fstat(int fd, struct stat* st) {
    GAVO_FAULT(Call::Fstat, -1, Platform::fstat(fd, st));
}
int FaultPlatform::stat(const char* p, struct stat* st) {
    GAVO_FAULT(Call::Stat, -1, Platform::stat(p, st));
}
int FaultPlatform::mkdir(const char* p, mode_t m) {
    GAVO_FAULT(Call::Mkdir, -1, Platform::mkdir(p, m));
}
int FaultPlatform::unlink(const char* p) { GAVO_FAULT(Call::Unlink, -1, Platform::unlink(p)); }
int FaultPlatform::rename_noreplace(const char* a, const char* b) {
    GAVO_FAULT(Call::Rename, -1, Platform::rename_noreplace(a, b));
}
int FaultPlatform::fsync(int fd) { GAVO_FAULT(Call::Fsync, -1, Platform::fsync(fd)); }
int FaultPlatform::ftruncate(int fd, off_t l) {
    GAVO_FAULT(Call::Ftruncate, -1, Platform::ftruncate(fd, l));
}
FILE* FaultPlatform::fopen(const char* p, const char* m) {
    GAVO_FAULT(Call::Fopen, nullptr, Platform::fopen(p, m));
}
int FaultPlatform::socket(int d, int t, int p) {
    GAVO_FAULT(Call::Socket, -1, Platform::socket(d, t, p));
}
int FaultPlatform::connect(int fd, const struct sockaddr* a, socklen_t l) {
    GAVO_FAULT(Call::Connect, -1, Platform::connect(fd, a, l));
}
ssize_t FaultPlatform::send(int fd, const void* b, size_t n) {
    GAVO_FAULT(Call::Send, -1, Platform::send(fd, b, n));
}
ssize_t FaultPlatform::recv(int fd, void* b, size_t n) {
    GAVO_FAULT(Call::Recv, -1, Platform::recv(fd, b, n));
}
int FaultPlatform::wait_readable(int fd, int s) {
    GAVO_FAULT(Call::Wait, -1, Platform::wait_readable(fd, s));
}
int FaultPlatform::shutdown(int fd, int h) {
    GAVO_FAULT(Call::Shutdown, -1, Platform::shutdown(fd, h));
}
int FaultPlatform::close_socket(int fd) {
    if (!inject(Call::CloseSocket)) return Platform::close_socket(fd);
    const int err = errno;
    Platform::close_socket(fd);
    errno = err;
    return -1;
}
int FaultPlatform::lookup_host(const char* n, struct in_addr* o) {
    GAVO_FAULT(Call::LookupHost, -1, Platform::lookup_host(n, o));
}
int FaultPlatform::lookup_service(const char* n, const char* p, uint16_t* o) {
    GAVO_FAULT(Call::LookupService, -1, Platform::lookup_service(n, p, o));
}
int FaultPlatform::lookup_protocol(const char* n, int* o) {
    GAVO_FAULT(Call::LookupProtocol, -1, Platform::lookup_protocol(n, o));
}
void* FaultPlatform::allocate(size_t c, size_t s) {
    GAVO_FAULT(Call::Allocate, nullptr, Platform::allocate(c, s));
}
PlatformMutex* FaultPlatform::mutex_create() {
    GAVO_FAULT(Call::MutexInit, nullptr, Platform::mutex_create());
}

#undef GAVO_FAULT

time_t FaultPlatform::now() {
    time_t t = fixed_time_.load();
    return t != 0 ? t : Platform::now();
}

void FaultPlatform::sleep_ms(int ms) {
    std::function<void(size_t)> hook;
    size_t count;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        sleeps_.push_back(ms);
        count = sleeps_.size();
        hook = sleep_hook_;
    }
    if (real_sleep_) Platform::sleep_ms(ms);
    if (hook) hook(count);
}

void LibraryTest::SetUp() {
    dir_ = make_temp_dir();
    platform_ = new FaultPlatform(dir_);
    // Installing a platform also starts the trace log afresh, in this test's folder.
    set_platform(platform_);
    // Settings stay from an earlier test's start-up when this one's is refused: start
    // from the state of a freshly loaded library.
    for (char* setting :
         {gavo::lib::host_name, gavo::lib::host_port, gavo::lib::base_dir, gavo::lib::proto_name})
        setting[0] = '\0';
}

void LibraryTest::TearDown() {
    NFile_Close();
    // A fall-back to working mode 1 leaves connections that the shutdown does not close;
    // the next test must not find them.
    for (NetConn** conn : {&gavo::lib::archive_conn, &gavo::lib::log_conn}) {
        if (*conn == nullptr) continue;
        net_close(*conn);
        *conn = nullptr;
    }
    set_platform(nullptr);
    delete platform_;
    platform_ = nullptr;
    remove_tree(dir_);
}

void LibraryTest::write_ini(const std::string& text) { write_file(dir_ + "gavo.ini", text); }

std::string LibraryTest::error_log() const {
    return text_lines(read_file(dir_ + "gavo_nfile_err.log"));
}

std::string LibraryTest::trace_log() const { return text_lines(read_file(dir_ + "netf_Log.Log")); }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

time_t eight_five_nine() {
    struct tm t = {};
    t.tm_year = 126;
    t.tm_mon = 2;
    t.tm_mday = 3;
    t.tm_hour = 8;
    t.tm_min = 5;
    t.tm_sec = 9;
    t.tm_isdst = -1;
    return mktime(&t);
}

}  // namespace gavo::test
