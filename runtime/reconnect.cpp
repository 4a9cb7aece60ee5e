#include "runtime/reconnect.h"

#include "net/messages.h"
#include "net/netconn.h"
#include "port/platform.h"
#include "runtime/channels.h"
#include "runtime/error_log.h"
#include "runtime/lock.h"
#include "runtime/state.h"

namespace lib = gavo::lib;

namespace {

constexpr int kAttempts = 10;
constexpr int kPauseMs = 300;

// Closes the connection in `slot`, writing `closing_message` first, when there is one.
void drop_connection(NetConn*& slot, const char* closing_message) {
    if (slot == nullptr) return;
    nfile_log_text("%s", closing_message);
    net_close(slot);
    slot = nullptr;
}

// Up to ten connection attempts into `slot`, pausing after every failed one. On success
// writes `success_format` with the number of failed attempts before it. With TLS each
// attempt resumes the channel's last session from `resume`.
void reopen_connection(NetConn*& slot, const char* success_format, NetTlsResume* resume)
    GAVO_REQUIRES(lib::archive_lock, lib::log_lock) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        slot = nfile_connect_channel(resume);
        if (slot != nullptr) {
            nfile_log_text(success_format, attempt);
            return;
        }
        gavo::platform().sleep_ms(kPauseMs);
    }
}

}  // namespace

void nfile_reconnect() {
    nfile_lock(lib::archive_lock);
    nfile_lock(lib::log_lock);
    drop_connection(lib::archive_conn, gavo::msg::kReconnectCloseArchive);
    reopen_connection(lib::archive_conn, gavo::msg::kReconnectedArchive, &lib::archive_resume);
    drop_connection(lib::log_conn, gavo::msg::kReconnectCloseLog);
    reopen_connection(lib::log_conn, gavo::msg::kReconnectedLog, &lib::log_resume);
    if (lib::archive_conn == nullptr) {
        nfile_log_text("%s", gavo::msg::kFallbackToLocal);
        lib::fsmode = lib::kModeLocal;
    }
    nfile_unlock(lib::log_lock);
    nfile_unlock(lib::archive_lock);
}
