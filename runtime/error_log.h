// The error log "gavo_nfile_err.log": one dated report line per start-up step and per
// failure. Writes are ignored while the log is closed; write errors are ignored too.
// Only writes: reporting a failure, with what it may trigger, is NFile_LogError's job
// (runtime/report.h).
#pragma once

#include <string>

// Writes the report line "Y-M-D h:m:s,where,code,detail" (a null detail as "(null)"),
// flushes it, and returns `code` unchanged. Nothing else happens, whatever the code.
int nfile_write_report(const char* where, int code, const char* detail);

// Writes "SocketError%d" with the calling thread's last socket error; not flushed.
void NFile_LogSocketError();

// Writes printf-style text to the error log with no date and no flush; used by the
// reconnection's messages and the closing text. Nothing happens while the log is closed.
void nfile_log_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens the error log for appending, when it is not open, in `folder` (a path ending in
// a separator, from the LOG_DIR setting) or, when that is empty, beside the host
// executable, and puts the trace log in the same folder. A folder where the log cannot
// be opened gets one line on standard error and the executable's folder instead. A
// failure there leaves the log closed, silently; the next NFile_Init tries again.
void nfile_open_error_log(const std::string& folder);

// Writes the closing text "NFile_Close,fsmode=%d" (no date, no line break) and closes
// the error log, when it is open.
void nfile_close_error_log(int mode);
