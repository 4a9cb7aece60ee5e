// The client side of the transport: one connected socket with one 4096-byte buffer (64
// KiB, four full records, over TLS) used for one direction at a time, and the stream
// primitives that move bytes and big-endian 16/32-bit integers through it. The transport
// takes no lock: the caller holds the channel lock of the connection for a whole request
// and its reply.
#pragma once

#include <cstdint>

#include "net/trace_log.h"
#include "proto/codes.h"

struct ssl_st;
struct NetTls;
struct NetTlsResume;

constexpr int kNetBufferSize = 4096;

// Result codes of the transport.
constexpr int kNetNoConnection = gavo::kCodeNoConnection;  // the connection is null
constexpr int kNetWaitFailed = gavo::kCodeWaitFailed;  // the wait before a receive or send failed
constexpr int kNetSendFailed = gavo::kCodeSendFailed;  // a send of buffered output failed
constexpr int kNetRecvFailed = gavo::kCodeRecvFailed;  // a receive failed
constexpr int kNetPeerClosed = gavo::kCodePeerClosed;  // the peer closed mid-integer
constexpr int kNetTimeout = -55;                       // no readiness within the time (net_wait)

struct NetConn {
    unsigned char* bufptr;   // next unread byte (input) or next free place (output)
    int32_t bufcnt;          // unread bytes (input) or bytes waiting to be sent (output)
    unsigned char* bufbase;  // the 4096-byte buffer, owned
    int32_t bufsize;         // 4096 (65536 over TLS: four full records)
    int32_t io_state;        // 0 nothing yet, 1 received input, 2 output waiting
    int sockfd;              // on Windows a SOCKET, whose significant bits fit in an int
    int32_t read_wait;       // seconds of readiness wait before each receive; <= 0 none
    int32_t write_wait;      // seconds of readiness wait before each send; <= 0 none
    // Set once a receive has failed or found the peer gone. With buffered output a broken
    // connection rarely shows as a failed send; from then on every send primitive fails
    // at once (-52), so the next request fails at its first step and the channel is
    // reconnected instead of failing for the rest of the process.
    int32_t broken;
    // The TLS session over `sockfd` (net/tls.h), owned; null for a plain connection, whose
    // bytes then go to the socket as they are.
    ssl_st* tls;
};

// Resolves `host` (name lookup, then dotted IPv4 text) and `port` (service name for
// `protocol`, then decimal text), creates a socket ("udp": datagram, otherwise stream),
// waits `connect_wait` seconds for readiness (0: no wait), connects and returns a new
// connection in state 0. Bits 0-3 of `resolve_flags` choose the port lookups (0 both,
// 1 decimal only, 2 service only, other: port 0), bits 4-7 the host lookups (0 both,
// 1 dotted only, 2 name only, other: address 0). Null on any failure, with the socket
// closed and the calling thread's socket error (last_socket_error) set: the errno of the
// failed call, 11001 for the host look-up, 11004 for the port or protocol look-up, ENOMEM
// for memory; only memory exhaustion writes a trace line. The caller owns the result and
// frees it with net_close.
NetConn* net_open_client(const char* host, const char* port, const char* protocol, int connect_wait,
                         unsigned int resolve_flags);
// Keepalive of the server channels. A peer that vanishes (host down, network cut) sends
// nothing, not even a reset, and a blocking receive would wait for it for ever. With these
// settings the first probe goes out after 60 s without traffic and then every 10 s; after
// 6 unanswered probes, or when sent data stays unacknowledged for 120 s (the case that
// probes do not cover), the connection counts as dead and its pending and later receives
// and sends fail. A peer whose machine is alive but whose program no longer answers still
// acknowledges the probes: only a reply time-out (net_reply_timeout) bounds that wait.
constexpr int kKeepIdleSeconds = 60;
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepProbes = 6;
constexpr int kKeepDeadMs = (kKeepIdleSeconds + kKeepIntervalSeconds * kKeepProbes) * 1000;

// Turns keepalive on for `conn` with the settings above. 0, or -1 with the socket error
// noted when the platform refused an option; the connection stays usable either way.
int net_keepalive(NetConn* conn);
// Bounds every receive on `conn` to `seconds` (0 or less: no bound, nothing is set). A
// receive that expires fails like any failed receive: -53, the primitive's trace line
// with the time-out's error number (ETIMEDOUT), and the connection marked broken. 0, or
// -1 with the socket error noted when the platform refused the option.
int net_reply_timeout(NetConn* conn, int seconds);

// Runs the TLS handshake (net/tls.h) on the fresh connection `conn`, resuming the session
// in `resume` (may be null) when it holds one. 0 on success: from then on the stream
// primitives send and receive through TLS, in buffers of a full TLS record. -1 on
// failure, with the trace line and the socket error noted; the connection is left plain
// and open for the caller to close.
int net_start_tls(NetConn* conn, NetTls* tls, NetTlsResume* resume);

// Sends pending output (as net_flush: a failure drops it after its trace line), ends and
// frees the TLS session when there is one, shuts the socket down, closes it and frees the
// record. 0, or -50 for a null connection.
int net_close(NetConn* conn);
// 0 when `seconds` <= 0 (without asking the platform) or when `fd` becomes readable
// within `seconds`; -55 on time-out or when the wait itself fails.
int net_wait(int fd, int seconds);

// Receiving primitives. Pending output is sent first (as net_flush); when that fails, the
// output is dropped, the connection marked broken and the receive fails with -52 without
// waiting for a reply that cannot come. Each receive from the socket asks for a whole buffer; later reads
// are served from it. A receive error writes the primitive's trace line.
//
// net_read: size * count bytes into `dest`; the number delivered, fewer when the peer
// closed (0 at end of stream); 0 when size * count is not positive or overflows an int.
// -50, -51, -52, -53.
int net_read(void* dest, int size, int count, NetConn* conn);
// net_getshort: the next 2 bytes as 0..65535; net_getlong: the next 4 as a signed 32-bit
// value (so a negative result may be a value). -50, -51, -52, -53, -54 (peer closed
// mid-value).
int net_getshort(NetConn* conn);
int net_getlong(NetConn* conn);

// Sending primitives. While received input is unread the bytes are sent at once, leaving
// the input untouched, and a send result of 0 or less is returned as it is. Otherwise
// they are appended to the output buffer, which is sent whole (at 4096 bytes) only when a
// further byte must go in; a failed send of it returns -52 after the trace line and keeps
// the unsent bytes pending. Results: the byte count (size * count, 2 or 4), -50, -51, -52.
int net_write(const void* src, int size, int count, NetConn* conn);
int net_putshort(int value, NetConn* conn);  // the low 16 bits of `value`
int net_putlong(int value, NetConn* conn);

// Sends the pending output without any readiness wait. 0 (also when nothing is pending or
// the buffer holds input); -52 after a failed send, the pending output being dropped and
// the trace line written. `conn` must not be null.
int net_flush(NetConn* conn);
