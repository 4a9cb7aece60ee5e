// The stream primitives: bytes and big-endian integers through the connection's one
// buffer, which holds either received input (io_state 1) or output waiting to be sent
// (io_state 2). Output leaves when the buffer is full and a further byte must go in, when
// the connection is next read, or when it is closed.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "net/netconn.h"
#include "net/tls.h"
#include "port/platform.h"
#include "proto/codec.h"

namespace {

enum IoState { kEmpty = 0, kInput = 1, kOutput = 2 };

// size × count without overflow; a product that is not positive or does not fit in an
// int asks for nothing.
int byte_count(int size, int count) {
    int64_t n = int64_t{size} * int64_t{count};
    return (n <= 0 || n > INT_MAX) ? 0 : static_cast<int>(n);
}

// Sends `n` bytes, through the TLS session when the connection has one; the send's
// result, with the failure's errno noted.
ssize_t send_some(NetConn* conn, const unsigned char* src, int n) {
    ssize_t r = conn->tls != nullptr
                    ? net_tls_send(conn->tls, src, static_cast<size_t>(n), &conn->broken)
                    : gavo::platform().send(conn->sockfd, src, static_cast<size_t>(n));
    if (r < 0) gavo::note_socket_error(errno);
    return r;
}

// Writes the operation's trace line for the failure just noted and returns `code`.
int trace_failure(const char* trace_format, int code) {
    net_log(trace_format, gavo::last_socket_error());
    return code;
}

// Receives once into `dest` (the empty buffer, or a caller's buffer that the bytes go to
// straight). Returns the bytes received (0: the peer closed), -51 when the wait fails, or
// -53 after the operation's trace line.
ssize_t receive_once(NetConn* conn, unsigned char* dest, size_t room, const char* trace_format) {
    // Bytes that the TLS session already holds are ready: the socket would not show them.
    if (!net_tls_pending(conn->tls) && net_wait(conn->sockfd, conn->read_wait) < 0)
        return kNetWaitFailed;
    ssize_t r = conn->tls != nullptr ? net_tls_recv(conn->tls, dest, room, &conn->broken)
                                     : gavo::platform().recv(conn->sockfd, dest, room);
    if (r <= 0) conn->broken = 1;
    if (r < 0) {
        // The socket blocks, so "would block" only comes from an expired reply time-out:
        // note it as the time-out it is, as Winsock reports the same event.
        gavo::note_socket_error(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
        return trace_failure(trace_format, kNetRecvFailed);
    }
    return r;
}

// Receives once into the empty buffer; receive_once's result.
int refill(NetConn* conn, const char* trace_format) {
    const ssize_t r =
        receive_once(conn, conn->bufbase, static_cast<size_t>(conn->bufsize), trace_format);
    if (r < 0) return static_cast<int>(r);
    conn->bufcnt = static_cast<int32_t>(r);
    conn->bufptr = conn->bufbase;
    conn->io_state = kInput;
    return conn->bufcnt;
}

// Takes up to `n` bytes in stream order, serving from the buffer and refilling it when it
// runs dry. Returns the bytes delivered (fewer than `n` when the peer closed), or the
// refill's code. Pending output is sent first; when that fails, the request did not go
// out whole and no reply will come: waiting for one would never end, so the receive
// fails at once (-52) and the connection counts as broken, so that the next request
// reconnects instead of reading a stray reply.
int take_bytes(NetConn* conn, unsigned char* dest, int n, const char* trace_format) {
    if (conn->io_state == kOutput && net_flush(conn) < 0) {  // output dropped and traced
        conn->broken = 1;
        return kNetSendFailed;
    }
    int done = 0;
    while (done < n) {
        // Over TLS a record of a large transfer is decrypted straight into the caller's
        // memory instead of through the buffer: one copy of each byte less.
        if (conn->bufcnt == 0 && conn->tls != nullptr && n - done >= kNetTlsRecordSize) {
            conn->io_state = kInput;
            conn->bufptr = conn->bufbase;
            const ssize_t r =
                receive_once(conn, dest + done, static_cast<size_t>(n - done), trace_format);
            if (r <= 0) return r < 0 ? static_cast<int>(r) : done;
            done += static_cast<int>(r);
            continue;
        }
        if (conn->bufcnt == 0) {
            int r = refill(conn, trace_format);
            if (r <= 0) return r < 0 ? r : done;
        }
        int chunk = conn->bufcnt < n - done ? conn->bufcnt : n - done;
        std::memcpy(dest + done, conn->bufptr, static_cast<size_t>(chunk));
        conn->bufptr += chunk;
        conn->bufcnt -= chunk;
        done += chunk;
    }
    return done;
}

// Drops the first `sent` bytes of the pending output, keeping the rest in order.
void drop_sent(NetConn* conn, int sent) {
    std::memmove(conn->bufbase, conn->bufbase + sent, static_cast<size_t>(conn->bufcnt - sent));
    conn->bufcnt -= sent;
    conn->bufptr = conn->bufbase + conn->bufcnt;
}

// Sends the full output buffer before a further byte is appended. On failure the bytes
// already sent are dropped and the rest stay pending for a later flush or close, so no
// byte ever goes out twice. A send of no bytes counts as a failure: on a blocking socket
// it cannot happen, and retrying it would spin forever.
int send_full_buffer(NetConn* conn, const char* trace_format) {
    int sent = 0;
    while (sent < conn->bufcnt) {
        if (conn->write_wait > 0 && net_wait(conn->sockfd, conn->write_wait) < 0) {
            drop_sent(conn, sent);
            return kNetWaitFailed;
        }
        ssize_t r = send_some(conn, conn->bufbase + sent, conn->bufcnt - sent);
        if (r <= 0) {
            drop_sent(conn, sent);
            return trace_failure(trace_format, kNetSendFailed);
        }
        sent += static_cast<int>(r);
    }
    conn->bufptr = conn->bufbase;
    conn->bufcnt = 0;
    return 0;
}

// Received input is still unread: the bytes bypass the buffer and go out at once, which
// leaves the input untouched. A send result of 0 or less is returned unchanged.
int send_direct(NetConn* conn, const unsigned char* src, int n) {
    int sent = 0;
    while (sent < n) {
        if (net_wait(conn->sockfd, conn->write_wait) < 0) return kNetWaitFailed;
        ssize_t r = send_some(conn, src + sent, n - sent);
        if (r <= 0) return static_cast<int>(r);
        sent += static_cast<int>(r);
    }
    return n;
}

// Sends `n` bytes of the caller's memory whole, with the waits of a buffer's send; 0, or
// the failure code after the operation's trace line. Nothing is kept on failure: the
// bytes never entered the buffer.
int send_whole(NetConn* conn, const unsigned char* src, int n, const char* trace_format) {
    for (int sent = 0; sent < n;) {
        if (conn->write_wait > 0 && net_wait(conn->sockfd, conn->write_wait) < 0)
            return kNetWaitFailed;
        ssize_t r = send_some(conn, src + sent, n - sent);
        if (r <= 0) return trace_failure(trace_format, kNetSendFailed);
        sent += static_cast<int>(r);
    }
    return 0;
}

// Appends `n` bytes to the pending output, sending the buffer whenever it is full and
// another byte must go in.
int send_buffered(NetConn* conn, const unsigned char* src, int n, const char* trace_format) {
    if (conn->io_state != kOutput) {
        conn->io_state = kOutput;
        conn->bufptr = conn->bufbase;
        conn->bufcnt = 0;
    }
    int done = 0;
    while (done < n) {
        // Over TLS, once the buffer is empty, a buffer's worth or more is encrypted
        // straight from the caller's memory; the session still sends it in full buffers.
        if (conn->bufcnt == 0 && conn->tls != nullptr && n - done >= conn->bufsize) {
            const int r = send_whole(conn, src + done, n - done, trace_format);
            if (r < 0) return r;
            done = n;
            break;
        }
        if (conn->bufcnt == conn->bufsize) {
            int r = send_full_buffer(conn, trace_format);
            if (r < 0) return r;
        }
        int room = conn->bufsize - conn->bufcnt;
        int chunk = room < n - done ? room : n - done;
        std::memcpy(conn->bufptr, src + done, static_cast<size_t>(chunk));
        conn->bufptr += chunk;
        conn->bufcnt += chunk;
        done += chunk;
    }
    return n;
}

int put_bytes(NetConn* conn, const unsigned char* src, int n, const char* trace_format) {
    if (conn == nullptr) return kNetNoConnection;
    if (conn->broken) return kNetSendFailed;
    if (conn->io_state == kInput && conn->bufcnt > 0) return send_direct(conn, src, n);
    return send_buffered(conn, src, n, trace_format);
}

// Reads an integer of `width` bytes into `bytes`; 0, or the failure code (-54 when the
// peer closed before the integer was complete).
int get_integer(NetConn* conn, unsigned char* bytes, int width, const char* trace_format) {
    if (conn == nullptr) return kNetNoConnection;
    int r = take_bytes(conn, bytes, width, trace_format);
    if (r < 0) return r;
    return r < width ? kNetPeerClosed : 0;
}

}  // namespace

int net_flush(NetConn* conn) {
    if (conn->io_state != kOutput) return 0;
    int sent = 0;
    while (sent < conn->bufcnt) {
        ssize_t r = send_some(conn, conn->bufbase + sent, conn->bufcnt - sent);
        if (r <= 0) {
            conn->bufptr = conn->bufbase;
            conn->bufcnt = 0;
            return trace_failure("net_flush send error code %d", kNetSendFailed);
        }
        sent += static_cast<int>(r);
    }
    conn->bufptr = conn->bufbase;
    conn->bufcnt = 0;
    return 0;
}

int net_read(void* dest, int size, int count, NetConn* conn) {
    if (conn == nullptr) return kNetNoConnection;
    int n = byte_count(size, count);
    if (n == 0) {
        if (conn->io_state == kOutput) net_flush(conn);
        return 0;
    }
    return take_bytes(conn, static_cast<unsigned char*>(dest), n, "net_read recv errorcode %d");
}

int net_write(const void* src, int size, int count, NetConn* conn) {
    return put_bytes(conn, static_cast<const unsigned char*>(src), byte_count(size, count),
                     "net_write send errorcode %d");
}

int net_getshort(NetConn* conn) {
    unsigned char bytes[2];
    int r = get_integer(conn, bytes, 2, "net_getshort recv errorcode %d");
    return r < 0 ? r : gavo::codec::get16(bytes);
}

int net_putshort(int value, NetConn* conn) {
    unsigned char bytes[2];
    gavo::codec::put16(bytes, value);
    return put_bytes(conn, bytes, 2, "net_putshort send errorcode %d");
}

int net_getlong(NetConn* conn) {
    unsigned char bytes[4];
    int r = get_integer(conn, bytes, 4, "net_getlong recv errorcode %d");
    return r < 0 ? r : gavo::codec::get32(bytes);
}

int net_putlong(int value, NetConn* conn) {
    unsigned char bytes[4];
    gavo::codec::put32(bytes, value);
    return put_bytes(conn, bytes, 4, "net_putlong send errorcode %d");
}
