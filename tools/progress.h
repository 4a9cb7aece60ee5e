// A one-line progress bar on standard error: bytes done, rate and time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace gavo_tool {

// True when standard error is a terminal; the bar is drawn only then, so scripts that
// capture standard error see nothing but failure reports.
bool stderr_is_terminal();

class Progress {
public:
    // `total` is the expected number of bytes, 0 when unknown. Nothing is drawn unless
    // `enabled`.
    Progress(uint64_t total, bool enabled);
    // Ends the bar's line if anything was drawn, so that a failure report that follows
    // starts on a line of its own.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Counts `bytes` more; redraws at most ten times a second.
    void add(uint64_t bytes);
    // Replaces the bar with a summary line: bytes, time taken and mean rate.
    void finish();

private:
    void draw();
    void end_line();

    using Clock = std::chrono::steady_clock;
    uint64_t total_;
    uint64_t done_ = 0;
    bool enabled_;
    bool drawn_ = false;
    Clock::time_point start_;
    Clock::time_point last_draw_;
};

// "12.3 MiB" style sizes and "1:02:03" / "2:03" style durations, for the bar.
std::string format_bytes(double bytes);
std::string format_duration(double seconds);

}  // namespace gavo_tool
