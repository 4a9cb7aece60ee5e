// The server's log: one time-stamped line per event, written to standard error by default.
// Thread-safe: each line leaves in one write under a mutex, so lines never interleave.
//
// Lines carry client bytes (names, addresses of requests): every line is escaped on its
// way out (see escape_for_log), so no client byte can end a line early or reach the
// operator's terminal as a control sequence. Repeated refusals of one kind from one host
// are summarised instead of written one by one (see admit_repeat).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace gavo::server {

// `text` with control bytes and bytes that are not valid UTF-8 written as escapes:
// "\n", "\r", "\t", and "\xNN" for the others (C1 controls included); printable
// UTF-8 and the backslash stay as they are.
std::string escape_for_log(std::string_view text);

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

    // Writes "YYYY-MM-DD HH:MM:SS.mmm <text>", `text` escaped.
    void line(const std::string& text);
    // printf-style convenience; the text is cut at 1000 bytes.
    void linef(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // True when a refusal of `kind` (for example "open refused with -102") from `host`
    // should be written; false once kRepeatsShown of them were written in the current
    // window, the rest being counted for a summary line: "host H: KIND: 10 logged, and
    // 4,127 more in the last 10 s".
    bool admit_repeat(const std::string& host, const std::string& kind);
    // Writes the summaries of windows that have ended (all windows when `all`) and
    // forgets them. Called now and then, and when the server stops.
    void flush_repeats(bool all = false);

private:
    struct Repeats {
        Clock::time_point start;
        int shown = 0;
        uint64_t hidden = 0;
    };
    void summarise(const std::string& key, const Repeats& r);

    std::mutex mutex_;  // guards the sink and the write
    Sink sink_;
    std::mutex repeats_mutex_;                // guards repeats_
    std::map<std::string, Repeats> repeats_;  // by "host\tkind"
};

// The local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string log_timestamp();

}  // namespace gavo::server
