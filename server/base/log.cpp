#include "server/base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "server/base/sys.h"

namespace gavo::server {

namespace {

// Distinct (host, kind) pairs followed at once; beyond it, new hosts share one entry,
// so that a flood from many addresses cannot grow the table without end.
constexpr size_t kMaxRepeatKeys = 4096;

// Format controls, which change how the text around them is shown without showing
// themselves: the bidirectional marks, embeddings, overrides and isolates (U+202E shows
// "host-\u202eb" as "host-b" and reverses the rest of a line), zero-width characters,
// the line and paragraph separators, the byte order mark and the tag characters. A name
// holding one could pass for another name.
bool is_format_control(uint32_t cp) {
    static constexpr std::pair<uint32_t, uint32_t> kRanges[] = {
        {0x061C, 0x061C}, {0x180E, 0x180E}, {0x200B, 0x200F}, {0x2028, 0x202E},
        {0x2060, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0xE0000, 0xE007F}};
    for (const auto& [low, high] : kRanges) {
        if (cp >= low && cp <= high) return true;
    }
    return false;
}

// The length (2-4) of the valid UTF-8 sequence of a printable code point from U+00A0 up
// that starts at `p`, or 0: overlong forms, surrogates, values past U+10FFFF, the C1
// controls (U+0080-U+009F, which some terminals obey) and the format controls all give 0.
size_t utf8_sequence(const unsigned char* p, size_t n) {
    const unsigned char c = p[0];
    const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || c > 0xF4 || len > n) return 0;
    uint32_t cp = c & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0xA0, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return is_format_control(cp) ? 0 : len;
}

// 4127 as "4,127".
std::string with_commas(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

// Opens `path` for appending lines; -1 with `error` set on failure.
int open_log_file(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0640);
    if (fd < 0) *error = "cannot open the log file " + path + ": " + strerror(errno);
    return fd;
}

}  // namespace

bool parse_log_level(std::string_view text, LogLevel* out) {
    static constexpr std::pair<std::string_view, LogLevel> kNames[] = {{"error", LogLevel::kError},
                                                                       {"warn", LogLevel::kWarn},
                                                                       {"info", LogLevel::kInfo},
                                                                       {"debug", LogLevel::kDebug}};
    for (const auto& [name, level] : kNames) {
        if (text != name) continue;
        *out = level;
        return true;
    }
    return false;
}

const char* log_level_name(LogLevel level) {
    switch (level) {
    case LogLevel::kError: return "ERROR";
    case LogLevel::kWarn: return "WARN";
    case LogLevel::kInfo: return "INFO";
    case LogLevel::kDebug: return "DEBUG";
    }
    return "INFO";
}

bool stderr_is_journal() {
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    if (!stream || sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(STDERR_FILENO, &st) != 0) {
        return false;
    }
    return st.st_dev == dev && st.st_ino == ino;
}

Logger::~Logger() {
    if (fd_ != STDERR_FILENO) ::close(fd_);
}

bool Logger::open_file(const std::string& path, std::string* error) {
    const int fd = open_log_file(path, error);
    if (fd < 0) return false;
    MutexLock lock(mutex_);
    if (fd_ != STDERR_FILENO) ::close(fd_);
    fd_ = fd;
    path_ = path;
    return true;
}

bool Logger::reopen(std::string* error) {
    const std::string path = file();
    return path.empty() || open_file(path, error);
}

std::string Logger::file() const {
    MutexLock lock(mutex_);
    return path_;
}

std::string escape_for_log(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t len = c >= 0x80 ? utf8_sequence(p + i, text.size() - i) : 0;
        if (len > 0) {
            out.append(text.data() + i, len);
            i += len;
            continue;
        }
        char esc[8];
        if (c == '\n' || c == '\r' || c == '\t') {
            snprintf(esc, sizeof esc, "\\%c", c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
        } else {
            snprintf(esc, sizeof esc, "\\x%02x", c);
        }
        out += esc;
        ++i;
    }
    return out;
}

std::string log_timestamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char text[64];
    size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(tv.tv_usec / 1000));
    return text;
}

void Logger::line(LogLevel level, const std::string& text) {
    if (!enabled(level)) return;
    std::string full = log_timestamp() + " " + log_level_name(level) + " " + escape_for_log(text);
    MutexLock lock(mutex_);
    if (sink_) {
        sink_(full);
        return;
    }
    // syslog priorities: err 3, warning 4, info 6, debug 7.
    static constexpr char kPriority[] = {'3', '4', '6', '7'};
    if (journal_ && fd_ == STDERR_FILENO) {
        full.insert(0, {'<', kPriority[static_cast<int>(level)], '>'});
    }
    full += '\n';
    // Whole lines under the mutex; a failing log is not worth stopping the server for.
    // The kernel's calls: a test's faults in sys() must not reach the log.
    write_all(kernel_sys(), fd_, full.data(), full.size());
}

void Logger::vline(LogLevel level, const char* format, va_list args) {
    if (!enabled(level)) return;
    char text[1000];
    vsnprintf(text, sizeof text, format, args);
    line(level, text);
}

void Logger::linef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vline(LogLevel::kInfo, format, args);
    va_end(args);
}

void Logger::linef(LogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vline(level, format, args);
    va_end(args);
}

bool Logger::admit_repeat(const std::string& host, const std::string& kind) {
    const Clock::time_point now = Clock::now();
    std::string key = host + '\t' + kind;
    Repeats ended;  // the window this call closes, summarised once the lock is let go
    bool admit = false;
    {
        MutexLock lock(repeats_mutex_);
        if (repeats_.size() >= kMaxRepeatKeys && repeats_.count(key) == 0) {
            key = "other hosts\t" + kind;
        }
        Repeats& r = repeats_[key];
        if (r.shown == 0 || now - r.start >= kRepeatWindow) {
            ended = r;
            r = Repeats{now, 0, 0};
        }
        admit = r.shown < kRepeatsShown;
        if (admit) {
            ++r.shown;
        } else {
            ++r.hidden;
        }
    }
    if (ended.hidden > 0) summarise(key, ended);
    return admit;
}

void Logger::flush_repeats(bool all) {
    const Clock::time_point now = Clock::now();
    std::map<std::string, Repeats> ended;
    {
        MutexLock lock(repeats_mutex_);
        for (auto it = repeats_.begin(); it != repeats_.end();) {
            if (!all && now - it->second.start < kRepeatWindow) {
                ++it;
                continue;
            }
            if (it->second.hidden > 0) ended.insert(*it);
            it = repeats_.erase(it);
        }
    }
    for (const auto& [key, r] : ended) summarise(key, r);
}

void Logger::summarise(const std::string& key, const Repeats& r) {
    const size_t tab = key.find('\t');
    linef(LogLevel::kWarn, "host %s: %s: %d logged, and %s more in the last %lld s",
          key.substr(0, tab).c_str(), key.substr(tab + 1).c_str(), r.shown,
          with_commas(r.hidden).c_str(), static_cast<long long>(kRepeatWindow.count()));
}

}  // namespace gavo::server
