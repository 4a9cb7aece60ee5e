// The process-wide library state. Zero, null or empty at load; filled by NFile_Init and
// released by NFile_Close. NFile_Init and NFile_Close take no lock: the host runs the
// first initialisation before other use and NFile_Close after it.
#pragma once

#include <atomic>
#include <cstdio>

struct NetConn;
struct NFileLock;

// Working mode: 0 not initialised, 1 local, 2 remote, other values as read from the INI
// file. Read by every operation and lowered from 2 to 1 by the reconnection on any
// thread, hence atomic.
extern std::atomic<int> fsmode;
// The error log; null while not open.
extern FILE* err_log;
// The two server connections. Guarded by archive_lock and log_lock respectively, except
// at start-up and shutdown.
extern NetConn* archive_conn;
extern NetConn* log_conn;
extern NFileLock* archive_lock;
extern NFileLock* log_lock;
// Settings from the INI file.
extern char host_name[256];
extern char host_port[256];
extern char base_dir[260];
extern char proto_name[256];
// Seconds that one receive of a reply may wait, from REPLY_TIMEOUT; 0: no limit.
extern int reply_timeout;
