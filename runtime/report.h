// The report entry of the library: every failure and start-up step is reported here.
// Writing is the error log's job (runtime/error_log.h); this entry adds the one reaction
// a report can trigger, the automatic reconnection after a send failure.
#pragma once

// Writes the report line "Y-M-D h:m:s,where,code,detail" (a null detail as "(null)"),
// flushes it, and returns `code` unchanged. Code -100 first runs the automatic
// reconnection in working mode 2, or writes the no-reconnection note otherwise.
int NFile_LogError(const char* where, int code, const char* detail);
