#include "runtime/channels.h"

#include <cstring>

#include "net/netconn.h"
#include "runtime/error_log.h"
#include "runtime/lock.h"
#include "net/messages.h"
#include "proto/codes.h"
#include "runtime/state.h"

namespace {

// Creates the lock in `slot` unless it exists; false when it cannot be created.
bool ensure_lock(NFileLock*& slot) {
    if (slot == nullptr) slot = nfile_lock_create();
    return slot != nullptr;
}

void release_both() {
    nfile_unlock(archive_lock);
    nfile_unlock(log_lock);
}


// A log connection can outlive the archive one: the reconnection may reopen only the log
// channel before it falls back to working mode 1, and the shutdown leaves connections of
// a library not in working mode 2 alone. Close it before a new one takes its place, so
// that its socket and buffer are not lost.
void drop_stale_log_connection() {
    if (log_conn == nullptr) return;
    net_close(log_conn);
    log_conn = nullptr;
}

// Reports a channel that failed to open and gives up the start-up.
int fail_start(const char* where) {
    nfile_write_report(where, 0, gavo::msg::kFailed);
    NFile_LogSocketError();
    fsmode = 0;
    release_both();
    return 0;
}

}  // namespace

NetConn* nfile_connect_channel() {
    NetConn* conn = net_open_client(host_name, host_port, proto_name, 0, 0);
    if (conn == nullptr) return nullptr;
    net_keepalive(conn);
    if (net_reply_timeout(conn, reply_timeout) == 0) return conn;
    // The host asked for bounded waits: a channel that could wait for ever is refused.
    net_close(conn);
    return nullptr;
}

int nfile_open_channels() {
    // Without its lock a channel could not keep requests apart: refuse to start.
    if (!ensure_lock(archive_lock) || !ensure_lock(log_lock)) {
        fsmode = 0;
        nfile_write_report("NFile_Init", gavo::kCodeRefused, gavo::msg::kLockCreateFailed);
        return 0;
    }
    nfile_lock(archive_lock);
    nfile_lock(log_lock);
    std::strcpy(proto_name, "tcp");
    if (archive_conn == nullptr) {
        archive_conn = nfile_connect_channel();
        if (archive_conn == nullptr) return fail_start(gavo::msg::kOpenArchiveChannel);
        nfile_write_report(gavo::msg::kOpenArchiveChannel, 0, gavo::msg::kSucceeded);
        drop_stale_log_connection();
        log_conn = nfile_connect_channel();
        if (log_conn == nullptr) return fail_start(gavo::msg::kOpenLogChannel);
        nfile_write_report(gavo::msg::kOpenLogChannel, 0, gavo::msg::kSucceeded);
    }
    release_both();
    return 1;
}

void nfile_close_channels() {
    if (fsmode.load() == 2) {
        if (archive_conn != nullptr) {
            net_close(archive_conn);
            archive_conn = nullptr;
            fsmode = 0;
        }
        if (log_conn != nullptr) {
            net_close(log_conn);
            log_conn = nullptr;
            fsmode = 0;
        }
    }
    if (archive_lock != nullptr) {
        nfile_lock_destroy(archive_lock);
        nfile_lock_destroy(log_lock);
        archive_lock = nullptr;
        log_lock = nullptr;
    }
}
