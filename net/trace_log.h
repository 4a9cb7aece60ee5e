// The network trace log "netf_Log.Log", beside the host executable unless a folder is set.
#pragma once

#include <string>

// Appends "[YYYY-MM-DD HH:MM:SS]" and the printf-formatted message (cut to 510 bytes) and
// "\n" to "netf_Log.Log" in its folder, and hands the message line to the
// system's debugger output (gavo::debug_output). The first call of the process first
// writes the start line; only that start is serialised between threads. The file is
// opened and closed for every line.
void net_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Puts the trace log in `folder` (a path ending in a separator) from the next line on;
// empty: beside the host executable. A new folder starts the log anew, with its start line.
void net_set_trace_folder(const std::string& folder);
