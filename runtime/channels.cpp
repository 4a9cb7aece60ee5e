#include "runtime/channels.h"

#include <cstring>

#include "net/messages.h"
#include "net/netconn.h"
#include "net/tls.h"
#include "proto/codes.h"
#include "runtime/error_log.h"
#include "runtime/lock.h"
#include "runtime/state.h"

namespace lib = gavo::lib;

namespace {

// Creates the lock in `slot` unless it exists; false when it cannot be created.
bool ensure_lock(NFileLock*& slot) {
    if (slot == nullptr) slot = nfile_lock_create();
    return slot != nullptr;
}

void release_both() GAVO_RELEASE(lib::archive_lock, lib::log_lock) {
    nfile_unlock(lib::archive_lock);
    nfile_unlock(lib::log_lock);
}

// A log connection can outlive the archive one: the reconnection may reopen only the log
// channel before it falls back to working mode 1, and the shutdown leaves connections of
// a library not in working mode 2 alone. Close it before a new one takes its place, so
// that its socket and buffer are not lost.
void drop_stale_log_connection() GAVO_REQUIRES(lib::log_lock) {
    if (lib::log_conn == nullptr) return;
    net_close(lib::log_conn);
    lib::log_conn = nullptr;
}

// Reports a channel that failed to open and gives up the start-up.
int fail_start(const char* where) GAVO_RELEASE(lib::archive_lock, lib::log_lock) {
    nfile_write_report(where, 0, gavo::msg::kFailed);
    NFile_LogSocketError();
    lib::fsmode = lib::kModeNone;
    release_both();
    return 0;
}

}  // namespace

NetConn* nfile_connect_channel(NetTlsResume* resume) {
    NetConn* conn = net_open_client(lib::host_name, lib::host_port, lib::proto_name, 0, 0);
    if (conn == nullptr) return nullptr;
    net_keepalive(conn);
    // The host asked for bounded waits: a channel that could wait for ever is refused.
    // The handshake comes after the time-out, so that it bounds the handshake's receives
    // as it bounds a reply's.
    if (net_reply_timeout(conn, lib::reply_timeout) == 0 &&
        (lib::tls == nullptr || net_start_tls(conn, lib::tls, resume) == 0))
        return conn;
    net_close(conn);  // leaves the socket error of the failure noted
    return nullptr;
}

int nfile_open_channels() {
    // Without its lock a channel could not keep requests apart: refuse to start.
    if (!ensure_lock(lib::archive_lock) || !ensure_lock(lib::log_lock)) {
        lib::fsmode = lib::kModeNone;
        nfile_write_report("NFile_Init", gavo::kCodeRefused, gavo::msg::kLockCreateFailed);
        return 0;
    }
    nfile_lock(lib::archive_lock);
    nfile_lock(lib::log_lock);
    std::strcpy(lib::proto_name, "tcp");
    if (lib::archive_conn == nullptr) {
        lib::archive_conn = nfile_connect_channel(&lib::archive_resume);
        if (lib::archive_conn == nullptr) return fail_start(gavo::msg::kOpenArchiveChannel);
        nfile_write_report(gavo::msg::kOpenArchiveChannel, 0, gavo::msg::kSucceeded);
        drop_stale_log_connection();
        lib::log_conn = nfile_connect_channel(&lib::log_resume);
        if (lib::log_conn == nullptr) return fail_start(gavo::msg::kOpenLogChannel);
        nfile_write_report(gavo::msg::kOpenLogChannel, 0, gavo::msg::kSucceeded);
    }
    release_both();
    return 1;
}

// Runs after all other use of the library: touches the connections without their locks.
void nfile_close_channels() GAVO_NO_THREAD_SAFETY_ANALYSIS {
    if (lib::fsmode.load() == lib::kModeRemote) {
        if (lib::archive_conn != nullptr) {
            net_close(lib::archive_conn);
            lib::archive_conn = nullptr;
            lib::fsmode = lib::kModeNone;
        }
        if (lib::log_conn != nullptr) {
            net_close(lib::log_conn);
            lib::log_conn = nullptr;
            lib::fsmode = lib::kModeNone;
        }
    }
    if (lib::archive_lock != nullptr) {
        nfile_lock_destroy(lib::archive_lock);
        nfile_lock_destroy(lib::log_lock);
        lib::archive_lock = nullptr;
        lib::log_lock = nullptr;
    }
    // A connection left open outside working mode 2 keeps its own reference to the
    // context; its session slot stays valid, being process-wide.
    net_tls_destroy(lib::tls);
    lib::tls = nullptr;
    net_tls_forget(&lib::archive_resume);
    net_tls_forget(&lib::log_resume);
}
