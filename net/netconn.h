// The client side of the transport: one connected socket with one 4096-byte buffer used
// for one direction at a time, and the stream primitives that move bytes and big-endian
// 16/32-bit integers through it. The transport takes no lock: the caller holds the
// channel lock of the connection for a whole request and its reply.
#pragma once

#include <cstdint>

constexpr int kNetBufferSize = 4096;

// Result codes of the transport.
constexpr int kNetNoConnection = -50;  // the connection is null
constexpr int kNetWaitFailed = -51;    // the readiness wait before a receive or send failed
constexpr int kNetSendFailed = -52;    // a send of buffered output failed
constexpr int kNetRecvFailed = -53;    // a receive failed
constexpr int kNetPeerClosed = -54;    // the peer closed before the integer was complete
constexpr int kNetTimeout = -55;       // no readiness within the time (net_wait)

struct NetConn {
    unsigned char* bufptr;   // next unread byte (input) or next free place (output)
    int32_t bufcnt;          // unread bytes (input) or bytes waiting to be sent (output)
    unsigned char* bufbase;  // the 4096-byte buffer, owned
    int32_t bufsize;         // 4096
    int32_t io_state;        // 0 nothing yet, 1 received input, 2 output waiting
    int sockfd;
    int32_t read_wait;       // seconds of readiness wait before each receive; <= 0 none
    int32_t write_wait;      // seconds of readiness wait before each send; <= 0 none
};

// Resolves host and port text, connects, and returns a new connection; null on failure.
NetConn* net_open_client(const char* host, const char* port, const char* protocol,
                         int connect_wait, unsigned int resolve_flags);
// Sends pending output, shuts the socket down, closes it and frees the record; 0, or -50
// for a null connection.
int net_close(NetConn* conn);
// 0 when `fd` is readable within `seconds` or no wait was asked for; -55 otherwise.
int net_wait(int fd, int seconds);

int net_read(void* dest, int size, int count, NetConn* conn);
int net_write(const void* src, int size, int count, NetConn* conn);
int net_getshort(NetConn* conn);
int net_putshort(int value, NetConn* conn);
int net_getlong(NetConn* conn);
int net_putlong(int value, NetConn* conn);
int net_flush(NetConn* conn);

// Appends a time-stamped line to "netf_Log.Log" beside the host executable.
void net_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
