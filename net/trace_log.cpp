// The network trace log "netf_Log.Log": one time-stamped line per failed send or receive
// of the transport, appended beside the host executable. The file is opened and closed
// for every line, so no handle stays open and other processes may append as well. No
// lock is taken: two lines written at the same moment may interleave.
//
// The line is not copied to any system debug output: Linux has no counterpart that a
// library should write to on its own (the syslog belongs to the host), and the file
// already holds every line.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "net/net_testing.h"
#include "net/netconn.h"
#include "net/trace_text.h"
#include "port/platform.h"

namespace {

constexpr char kTraceFileName[] = "netf_Log.Log";
constexpr char kStartLine[] = "**** log file start ****\n";

// Process-wide: the start mark (the once flag) and the file's path, both set by the first
// line of the process and then only read.
struct TraceState {
    std::once_flag started;
    std::string path;
};

std::unique_ptr<TraceState> trace_state = std::make_unique<TraceState>();

// "[%Y-%m-%d %H:%M:%S]" for the current local time.
void format_stamp(char (&stamp)[100]) {
    time_t now = gavo::platform().now();
    struct tm local = {};
    localtime_r(&now, &local);
    if (strftime(stamp, sizeof stamp, "[%Y-%m-%d %H:%M:%S]", &local) == 0) stamp[0] = '\0';
}

// Appends the stamp and `text` to the trace file; a file that cannot be opened loses the
// line without any report.
void append_line(const std::string& path, const char* stamp, const char* text) {
    FILE* f = gavo::platform().fopen(path.c_str(), "a+");
    if (f == nullptr) return;
    fputs(stamp, f);
    fputs(text, f);
    fclose(f);
}

void start_log(TraceState& state) {
    state.path = gavo::platform().exe_dir() + kTraceFileName;
    char stamp[100];
    format_stamp(stamp);
    append_line(state.path, stamp, kStartLine);
}

}  // namespace

// Never throws: the transport's callers are C-style code paths, and a trace line lost to
// memory exhaustion is better than an exception escaping a send or a receive.
static void write_line(const char* format, va_list args) noexcept {
    try {
        TraceState& state = *trace_state;
        std::call_once(state.started, start_log, std::ref(state));
        char stamp[100];
        format_stamp(stamp);
        char line[gavo::kTraceMessageSize];
        int n = vsnprintf(line, sizeof line, format, args);
        if (n < 0) return;
        gavo::finish_trace_message(line, static_cast<size_t>(n));
        append_line(state.path, stamp, line);
    } catch (...) {
    }
}

void net_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_line(format, args);
    va_end(args);
}

namespace gavo::net_testing {

void reset_trace_log() { trace_state = std::make_unique<TraceState>(); }

}  // namespace gavo::net_testing
