// The network trace log "netf_Log.Log": one time-stamped line per failed send or receive
// of the transport, appended beside the host executable (or in the LOG_DIR folder). The
// file is opened and closed for every line, so no handle stays open and other processes
// may append as well. Only the start of the log is serialised; two lines written at the
// same moment may interleave.
//
// The message line also goes to the system's debugger output (OutputDebugStringA on
// Windows; nowhere on Linux, which has no counterpart that a library should write to).
#include "net/trace_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "net/trace_text.h"
#include "port/platform.h"

namespace {

constexpr char kTraceFileName[] = "netf_Log.Log";
constexpr char kStartLine[] = "**** log file start ****\n";

// Process-wide, guarded by start_mutex: whether the log has started, under which
// installed platform (a process that never swaps it starts once), the file's path, and
// the folder set by net_set_trace_folder (empty: the executable's).
std::mutex start_mutex;
bool started = false;
unsigned started_installs = 0;
std::string trace_path;
std::string trace_folder;

// "[%Y-%m-%d %H:%M:%S]" for the current local time.
void format_stamp(char (&stamp)[100]) {
    time_t now = gavo::platform().now();
    struct tm local = {};
    gavo::local_time(now, &local);
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

// The trace file's path. The first line of the process (or of a newly installed
// platform, or after a new folder was set) takes the folder and writes the start line
// first; writers that come meanwhile wait for it, so that the start line comes first.
std::string started_path() {
    std::lock_guard<std::mutex> guard(start_mutex);
    const unsigned installs = gavo::platform_installs();
    if (!started || started_installs != installs) {
        const std::string folder = trace_folder.empty() ? gavo::platform().exe_dir() : trace_folder;
        trace_path = folder + kTraceFileName;
        started = true;
        started_installs = installs;
        char stamp[100];
        format_stamp(stamp);
        append_line(trace_path, stamp, kStartLine);
    }
    return trace_path;
}

}  // namespace

void net_set_trace_folder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(start_mutex);
    if (folder == trace_folder) return;
    trace_folder = folder;
    started = false;
}

// Never throws: the transport's callers are C-style code paths, and a trace line lost to
// memory exhaustion is better than an exception escaping a send or a receive.
static void write_line(const char* format, va_list args) noexcept {
    try {
        const std::string path = started_path();
        char stamp[100];
        format_stamp(stamp);
        char line[gavo::kTraceMessageSize];
        int n = vsnprintf(line, sizeof line, format, args);
        if (n < 0) return;
        gavo::finish_trace_message(line, static_cast<size_t>(n));
        gavo::debug_output(line);
        append_line(path, stamp, line);
    } catch (...) {
    }
}

void net_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_line(format, args);
    va_end(args);
}
