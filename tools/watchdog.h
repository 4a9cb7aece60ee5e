// Ending a command early: SIGINT, SIGTERM and --timeout.
//
// The signals are blocked in every thread and taken by a watchdog thread, which also
// keeps the deadline. A stop is first only requested: the command sees it between two
// pieces of work (stop_code()), closes its handles, removes its temporary names and
// reports. When the command is stuck in a call that does not come back (a server that
// never answers), the watchdog ends the process itself after a short grace, removing
// the local temporary file it was told of and printing the message. For --timeout the
// grace comes out of the time given, so that the process has ended when it runs out.
#pragma once

#include <string>

namespace gavo_tool {

// Thrown by check_stop() once a stop was requested; `code` is the exit code.
struct Stopped {
    int code;
};

// Blocks SIGINT and SIGTERM, ignores SIGPIPE (writes then fail with EPIPE) and starts the
// watchdog. `timeout_seconds` 0: no deadline. `label` starts the messages ("gavo get"),
// `where` names what the command talks to. Call once, before any other thread starts.
void start_watchdog(int timeout_seconds, const std::string& label, const std::string& where);

// 0 while the command may go on; else its exit code (kExitTimeout or 128 + signal).
int stop_code();
// Throws Stopped when a stop was requested.
void check_stop();

// The message for a stop with `code`, e.g. "gavo get: timed out after 5 s (--timeout)
// waiting for server 127.0.0.1:7100". Printed once per process: later calls print nothing.
void report_stop(int code);

// The local temporary file to remove if the watchdog has to end the process; "" clears.
void set_local_temp(const std::string& path);
// The remote temporary name the watchdog names, when it has to end the process, as one
// that may remain; "" clears.
void set_remote_temp(const std::string& name);

}  // namespace gavo_tool
