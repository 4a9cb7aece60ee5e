// Start-up and shutdown of the two server channels of working mode 2.
#pragma once

#include "runtime/state.h"

// Creates the channel locks when missing, then, holding both, opens the archive channel
// and after it the log channel, each with its report line ("成功" or "失败", code 0)
// and, after a failure, the socket-error line. Opens nothing when archive_conn is
// already set. Returns 1 on success; 0 when a lock could not be created (report line
// "NFile_Init", -1) or a channel failed to open. On 0, fsmode is 0 and no lock is held;
// an archive connection opened before the log channel failed stays open.
int nfile_open_channels();

// Opens one server channel with host_name, host_port and proto_name, turns keepalive on
// (a refusal leaves the channel without it, as it always was), when reply_timeout is set
// bounds its receives, and with TLS runs the handshake, resuming the session in `resume`
// (the channel's slot). Null when the connection, the time-out or the handshake cannot be
// made, with the socket error noted: the caller reports it as a channel that failed to
// open. The caller holds both locks.
NetConn* nfile_connect_channel(NetTlsResume* resume)
    GAVO_REQUIRES(gavo::lib::archive_lock, gavo::lib::log_lock);

// When fsmode is 2, closes both connections (without their locks: the host calls this
// after all other use) and sets fsmode to 0; then destroys the locks when they exist,
// frees the TLS context and forgets the channels' TLS sessions.
void nfile_close_channels();
