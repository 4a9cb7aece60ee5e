// The server's log: one time-stamped line per event, written to standard error by default.
// Thread-safe: each line leaves in one write under a mutex, so lines never interleave.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace gavo::server {

class Logger {
public:
    // Receives each finished line (time stamp included, no trailing newline).
    using Sink = std::function<void(const std::string&)>;

    // Logs to standard error.
    Logger() = default;
    // Logs to `sink` instead (tests capture lines this way).
    explicit Logger(Sink sink) : sink_(std::move(sink)) {}

    // Writes "YYYY-MM-DD HH:MM:SS.mmm <text>".
    void line(const std::string& text);
    // printf-style convenience; the text is cut at 1000 bytes.
    void linef(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::mutex mutex_;  // guards the sink and the write
    Sink sink_;
};

// The local time as "YYYY-MM-DD HH:MM:SS.mmm".
std::string log_timestamp();

}  // namespace gavo::server
