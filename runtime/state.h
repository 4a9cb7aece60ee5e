// The process-wide library state. Zero, null or empty at load; filled by NFile_Init and
// released by NFile_Close. NFile_Init and NFile_Close take no lock: the host runs the
// first initialisation before any other use and NFile_Close after all of it, so these
// two may touch every item below without its lock.
#pragma once

#include <atomic>
#include <cstdio>

#include "net/tls.h"
#include "proto/thread_safety.h"
#include "runtime/lock.h"

struct NetConn;

namespace gavo::lib {

// The working modes, the values of fsmode (CTRL_MODE in the INI file). The numbers are
// the ones the log lines print.
constexpr int kModeNone = 0;    // not initialised
constexpr int kModeLocal = 1;   // files on the local disk, under base_dir
constexpr int kModeRemote = 2;  // files on the file server, through the two channels

// Working mode: one of the above, or any other value as read from the INI file. No lock:
// read by every operation and lowered from remote to local by the reconnection on any
// thread, hence atomic.
extern std::atomic<int> fsmode;
// The error log; null while not open. Guarded by the error log's own writer lock,
// private to runtime/error_log.cpp, which is the only code that touches it.
extern FILE* err_log;
// The channel locks. Created by the first start-up in working mode 2 and destroyed by
// the shutdown, never while other threads use the library: the pointers need no lock.
// Wherever both are held, archive_lock is taken first.
extern NFileLock* archive_lock;
extern NFileLock* log_lock;
// The two server connections, each guarded by its channel's lock. The channel start-up
// and the reconnection hold both locks.
extern NetConn* archive_conn GAVO_GUARDED_BY(archive_lock);
extern NetConn* log_conn GAVO_GUARDED_BY(log_lock);
// The protocol of the channels, set by the channel start-up under both locks.
extern char proto_name[256] GAVO_GUARDED_BY(archive_lock);
// Settings from the INI file, written by NFile_Init only, then only read: no lock.
extern char host_name[256];
extern char host_port[256];
extern char base_dir[260];
// Seconds that one receive of a reply may wait, from REPLY_TIMEOUT; 0: no limit.
extern int reply_timeout;
// The TLS context of both channels, built by NFile_Init from [TLS] when ENABLE is 1 in
// working mode 2 and freed by the channel shutdown; null: the channels are plain TCP.
extern NetTls* tls;
// Each channel's last TLS session, so that a reconnection resumes it. Filled by the
// channel's own replies under its lock; emptied by the channel shutdown.
extern NetTlsResume archive_resume GAVO_GUARDED_BY(archive_lock);
extern NetTlsResume log_resume GAVO_GUARDED_BY(log_lock);

}  // namespace gavo::lib
