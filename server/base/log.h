// The server's log: one time-stamped line per event, written to standard error by default
// or appended to a log file. Thread-safe: each line leaves in one write under mutex_, so
// lines never interleave; repeats_mutex_ guards the counts of repeated refusals. The two
// are never held together.
//
// Every line has a level; lines above the level set (info by default) are dropped before
// they are formatted. The level's name follows the time stamp ("ERROR", "WARN", "INFO",
// "DEBUG"); when standard error is the systemd journal, each line written there also
// starts with its syslog priority ("<3>" for errors), which the journal takes as the
// entry's priority, so `journalctl -p err` selects the errors.
//
// Lines carry client bytes (names, addresses of requests): every line is escaped on its
// way out (see escape_for_log), so no client byte can end a line early or reach the
// operator's terminal as a control sequence. Repeated refusals of one kind from one host
// are summarised instead of written one by one (see admit_repeat).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "server/base/mutex.h"

namespace gavo::server {

// In order of verbosity: a logger at kInfo writes kError, kWarn and kInfo lines.
enum class LogLevel { kError, kWarn, kInfo, kDebug };
// "error", "warn", "info", "debug"; false when `text` is none of them.
bool parse_log_level(std::string_view text, LogLevel* out);

// `text` with control bytes and bytes that are not valid UTF-8 written as escapes:
// "\n", "\r", "\t", and "\xNN" for the others; the C1 controls and the format controls
// (bidirectional, zero-width and other invisible characters, such as U+202E) as the
// "\xNN" of each of their bytes. Printable UTF-8 and the backslash stay as they are.
std::string escape_for_log(std::string_view text);

// "ERROR", "WARN", "INFO" or "DEBUG".
const char* log_level_name(LogLevel level);
// Whether standard error is the systemd journal's stream: JOURNAL_STREAM ("DEV:INODE",
// set by systemd) names the very file standard error is, not one a parent had.
bool stderr_is_journal();

class Logger {
public:
    // Receives each finished line (time stamp included, no trailing newline).
    using Sink = std::function<void(const std::string&)>;
    using Clock = std::chrono::steady_clock;

    // Per kind and host, the lines written in full in each window; the rest are counted.
    static constexpr int kRepeatsShown = 10;
    static constexpr std::chrono::seconds kRepeatWindow{10};

    // Logs to standard error.
    Logger() = default;
    // Logs to `sink` instead (tests capture lines this way).
    explicit Logger(Sink sink) : sink_(std::move(sink)) {}
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Appends the lines to the file at `path` (created with mode 0640 when missing,
    // opened close-on-exec) from now on. False with `error` set, and the output
    // unchanged, when it cannot be opened.
    bool open_file(const std::string& path, std::string* error);
    // Opens the log file again by its name, for a log rotation that renamed it: lines
    // go to the new file from now on. True with nothing done when logging to standard
    // error; false with `error` set, the old file kept, when the open fails.
    bool reopen(std::string* error);
    // The log file's path; empty for standard error (or a sink).
    std::string file() const;

    void set_level(LogLevel level) { level_ = level; }
    LogLevel level() const { return level_; }
    // True when lines of `level` are written (callers skip building the others).
    bool enabled(LogLevel level) const { return level <= level_; }

    // Writes "YYYY-MM-DD HH:MM:SS.mmm LEVEL <text>", `text` escaped, at `level` (kInfo
    // when not given).
    void line(const std::string& text) { line(LogLevel::kInfo, text); }
    void line(LogLevel level, const std::string& text);
    // printf-style convenience; the text is cut at 1000 bytes.
    void linef(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void linef(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // True when a refusal of `kind` (for example "open refused with -102") from `host`
    // should be written; false once kRepeatsShown of them were written in the current
    // window, the rest being counted for a summary line: "host H: KIND: 10 logged, and
    // 4,127 more in the last 10 s".
    bool admit_repeat(const std::string& host, const std::string& kind);
    // Writes the summaries of windows that have ended (all windows when `all`) and
    // forgets them (at kWarn). Called now and then, and when the server stops.
    void flush_repeats(bool all = false);

private:
    struct Repeats {
        Clock::time_point start;
        int shown = 0;
        uint64_t hidden = 0;
    };
    void summarise(const std::string& key, const Repeats& r);
    void vline(LogLevel level, const char* format, va_list args)
        __attribute__((format(printf, 3, 0)));

    mutable Mutex mutex_;  // guards the sink, the file and the write
    Sink sink_ GAVO_GUARDED_BY(mutex_);
    int fd_ GAVO_GUARDED_BY(mutex_) = 2;        // where lines go: standard error, or the log file
    std::string path_ GAVO_GUARDED_BY(mutex_);  // the log file's path; empty for standard error
    std::atomic<LogLevel> level_{LogLevel::kInfo};
    const bool journal_ = stderr_is_journal();  // prefix lines to standard error with <N>
    Mutex repeats_mutex_;
    std::map<std::string, Repeats> repeats_ GAVO_GUARDED_BY(repeats_mutex_);  // by "host\tkind"
};

// The local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string log_timestamp();

}  // namespace gavo::server
