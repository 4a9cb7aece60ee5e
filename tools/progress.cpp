#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace gavo_tool {

namespace {

constexpr uint64_t kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// The bar itself: '#' for the part done, '-' for the rest; no bar when the total is unknown.
std::string bar(uint64_t done, uint64_t total) {
    if (total == 0 || done > total) return "";
    const uint64_t filled = done * kBarWidth / total;
    std::string out(1, '[');
    return out.append(filled, '#').append(kBarWidth - filled, '-').append("] ");
}

}  // namespace

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

std::string format_bytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string format_duration(double seconds) {
    if (seconds < 0 || seconds > 359999) return "--:--";
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

Progress::Progress(uint64_t total, bool enabled)
    : total_(total), enabled_(enabled), start_(Clock::now()), last_draw_(start_) {}

Progress::~Progress() { end_line(); }

void Progress::add(uint64_t bytes) {
    done_ += bytes;
    if (!enabled_) return;
    Clock::time_point now = Clock::now();
    if (drawn_ && now - last_draw_ < kRedrawInterval) return;
    last_draw_ = now;
    draw();
}

// The bar gives way to a line that stays, as scp and rclone leave one: the bytes moved,
// the time it took and the mean rate.
void Progress::finish() {
    if (!enabled_) return;
    draw();  // the bar at its end, in case the last piece came within the redraw interval
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double done = static_cast<double>(done_);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", elapsed);
    std::string line = "\r";
    line.append(format_bytes(done))
        .append(" in ")
        .append(elapsed < 60 ? std::string(seconds) : format_duration(elapsed))
        .append(" (")
        .append(format_bytes(elapsed > 0 ? done / elapsed : 0))
        .append("/s)\033[K\n");
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = false;
}

void Progress::draw() {
    double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    // The byte counts for rates and display: a double holds them exactly up to 8 PiB.
    const double done = static_cast<double>(done_), total = static_cast<double>(total_);
    double rate = elapsed > 0 ? done / elapsed : 0;
    // Appended piece by piece: GCC 12 at -O3 sees a false overlap (-Wrestrict) in the
    // `"literal" + std::string&&` form.
    std::string line = "\r";
    line.append(bar(done_, total_)).append(format_bytes(done));
    if (total_ != 0 && done_ <= total_) {
        line.append(" / ").append(format_bytes(total));
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(done_ * 100 / total_));
        line += percent;
    }
    line.append("  ").append(format_bytes(rate)).append("/s");
    if (total_ != 0 && done_ <= total_) {
        const double left = static_cast<double>(total_ - done_);
        line.append("  ").append(format_duration(rate > 0 ? left / rate : -1)).append(" left");
    }
    line += "\033[K";  // clear what a longer earlier line left behind
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::end_line() {
    if (!drawn_) return;
    std::fputc('\n', stderr);
    std::fflush(stderr);
    drawn_ = false;
}

}  // namespace gavo_tool
