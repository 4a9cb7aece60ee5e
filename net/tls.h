// TLS under the stream primitives: one client context built from the host's [TLS]
// settings, and on each connection a TLS session over its socket. A connection without a
// session (NetConn::tls null) is plain TCP and never reaches this code. This layer knows
// sockets and sessions only, not the connection record that holds them (net/netconn.h).
//
// The transport takes no lock here either: a connection's session is used under the
// channel lock of its connection, and the context is built at NFile_Init and freed at
// NFile_Close, when no other thread uses the library.
//
// A build without TLS (GAVO_WITH_TLS off: net/tls_none.cpp) has the same interface:
// net_tls_available() is false there and nothing below makes a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "port/system.h"

struct ssl_st;
struct ssl_session_st;

// Socket error number noted when TLS itself refuses or breaks a connection (a certificate
// that does not verify, a wrong name, a protocol alert, a record that does not decrypt),
// as opposed to a failed socket call, which notes its errno. It is the Windows number for
// a failed secure channel (ERROR_WINHTTP_SECURE_FAILURE), outside the range of errno.
constexpr int kTlsFailed = 12175;

// The plaintext a full record carries: a receive of at least this much takes a whole
// record, so the stream decrypts straight into a caller's memory from this size on.
constexpr int kNetTlsRecordSize = 16384;

struct NetTlsSettings {
    std::string ca_file;      // authorities the server is verified by; empty: the system's
    std::string cert_file;    // the host's certificate (chain) to present; empty: none
    std::string key_file;     // its private key; empty: read from cert_file
    std::string server_name;  // the name or IP address the server's certificate must carry
};

// Why a context could not be built: the [TLS] key at fault and OpenSSL's reason.
struct NetTlsError {
    const char* key = "";       // "CA_FILE", "CERT_FILE" or "KEY_FILE"
    bool key_mismatch = false;  // the key does not belong to the certificate
    std::string reason;
};

// True when the library was built with TLS; false where [TLS] ENABLE=1 must be refused.
bool net_tls_available();

// The client context: TLS 1.3 at least, the server's certificate verified against
// ca_file (or the system store) and server_name (an IP address matches an IP entry of the
// certificate, a name its DNS entries, and is sent as SNI), the host's certificate
// presented when cert_file is set, kernel TLS offload asked for, sessions kept for
// resumption. Null when a file cannot be read or loaded, or the key does not match the
// certificate; *error then says which. The caller frees it with net_tls_destroy.
struct NetTls;
NetTls* net_tls_create(const NetTlsSettings& settings, NetTlsError* error);
void net_tls_destroy(NetTls* tls);

// The last session a channel's server offered, kept across reconnections so that the
// next connection of the channel resumes it. TLS 1.3 servers send their sessions after
// the handshake: a connection's slot is filled when its first reply is read. The slot
// must outlive every connection started with it; net_tls_forget empties it.
struct NetTlsResume {
    ssl_session_st* session = nullptr;
};
void net_tls_forget(NetTlsResume* resume);

// Runs the TLS handshake over the fresh connected socket `fd`, resuming the session in
// `resume` (may be null) when it holds one. 0 on success, with the new session in
// *session, and a trace line with the protocol version, the cipher, the server
// certificate's subject, whether the session was resumed and the kernel offload state.
// -1 on failure, after a trace line with the reason and with the socket error noted (the
// errno of a failed socket call, kTlsFailed when TLS refused); *session stays null and
// the socket is left open for the caller to close. Unless the kernel took a direction of
// the session over, its records then travel through the platform's send() and recv().
int net_tls_start(int fd, NetTls* tls, NetTlsResume* resume, ssl_st** session);

// As send() and recv() on the session's socket, through the session: a count, 0 from a
// receive when the peer closed, or -1 with errno set (kTlsFailed for a TLS error, EAGAIN
// for an expired receive time-out). When TLS broke the connection, *broken is set to 1.
ssize_t net_tls_send(ssl_st* session, const void* buf, size_t n, int32_t* broken);
ssize_t net_tls_recv(ssl_st* session, void* buf, size_t n, int32_t* broken);
// True when `session` (may be null) holds received bytes that a readiness wait would not
// see.
bool net_tls_pending(const ssl_st* session);

// Ends the session in *session (close_notify, without waiting for the peer's, unless the
// connection is `broken`), frees it and sets *session to null; nothing when it is null.
// net_close calls it before the socket closes.
void net_tls_end(ssl_st** session, bool broken);
