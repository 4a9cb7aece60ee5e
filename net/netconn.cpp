// Opening and closing client connections, and the readiness wait.
//
// The socket library's start-up (Windows) is the platform's: its first socket call makes
// it. SIGPIPE cannot reach the host: every send goes out with MSG_NOSIGNAL in the
// platform layer on Linux, and Windows has no such signal.
#include "net/netconn.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/messages.h"
#include "net/tls.h"
#include "port/platform.h"

namespace {

// Socket error numbers noted for a failed look-up, which sets no errno: the numbers the
// socket library of Windows reports for them, outside the range of errno values.
constexpr int kHostNotFound = 11001;  // host: neither a known name nor dotted text
constexpr int kNoData = 11004;        // port or protocol: no such service or protocol

// The decimal integer at the start of `text` as atoi reads it (leading blanks, an
// optional sign, digits up to the first non-digit, none giving 0), reduced to its low 16
// bits. Overflow wraps instead of being undefined.
uint16_t decimal_low16(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p)) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    return static_cast<uint16_t>(value);
}

// The port by the low four bits of the flags; false when it cannot be resolved.
bool resolve_port(const char* port, const char* protocol, unsigned int flags, uint16_t* port_net) {
    switch (flags | 0xF0u) {
    case 0xF0:
        if (gavo::platform().lookup_service(port, protocol, port_net) == 0) return true;
        [[fallthrough]];
    case 0xF1: *port_net = htons(decimal_low16(port)); return *port_net != 0;
    case 0xF2: return gavo::platform().lookup_service(port, protocol, port_net) == 0;
    default: return true;  // the port stays 0
    }
}

// The IPv4 address by bits 4-7 of the flags; false when it cannot be resolved.
bool resolve_host(const char* host, unsigned int flags, struct in_addr* addr) {
    switch (flags | 0x0Fu) {
    case 0x0F:
        if (gavo::platform().lookup_host(host, addr) == 0) return true;
        [[fallthrough]];
    case 0x1F:
        // inet_addr parses text only; all bits set is its "not an address" answer.
        addr->s_addr = inet_addr(host);
        return addr->s_addr != INADDR_NONE;
    case 0x2F: return gavo::platform().lookup_host(host, addr) == 0;
    default: return true;  // the address stays 0
    }
}

// The number of the protocol named by `protocol`, false when it is unknown. Without a
// protocol database (a minimal container has no /etc/protocols) "tcp" and "udp" keep
// their fixed numbers rather than failing every connection.
bool protocol_number(const char* protocol, int* number) {
    if (gavo::platform().lookup_protocol(protocol, number) == 0) return true;
    if (std::strcmp(protocol, "tcp") == 0) *number = IPPROTO_TCP;
    else if (std::strcmp(protocol, "udp") == 0) *number = IPPROTO_UDP;
    else return false;
    return true;
}

// A socket of the protocol named by `protocol` (datagram for exactly "udp", stream
// otherwise); -1 when the protocol is unknown or the platform refuses.
int create_socket(const char* protocol) {
    int number = 0;
    if (!protocol_number(protocol, &number)) {
        gavo::note_socket_error(kNoData);
        return -1;
    }
    int type = std::strcmp(protocol, "udp") == 0 ? SOCK_DGRAM : SOCK_STREAM;
    int fd = gavo::platform().socket(AF_INET, type, number);
    if (fd < 0) gavo::note_socket_error(errno);
    return fd;
}

// Waits as asked and connects `fd`; false on any failure.
bool connect_socket(int fd, const struct sockaddr_in& addr, int connect_wait) {
    if (net_wait(fd, connect_wait) < 0) return false;
    if (gavo::platform().connect(fd, reinterpret_cast<const struct sockaddr*>(&addr),
                                 sizeof addr) != 0) {
        gavo::note_socket_error(errno);
        return false;
    }
    return true;
}

// The record for the connected `fd`, in its fresh state; null (after the trace line and
// the closing of the socket) when memory is exhausted.
NetConn* make_conn(int fd) {
    NetConn* conn = static_cast<NetConn*>(gavo::platform().allocate(1, sizeof(NetConn)));
    unsigned char* buffer =
        conn ? static_cast<unsigned char*>(gavo::platform().allocate(kNetBufferSize, 1)) : nullptr;
    if (buffer == nullptr) {
        gavo::note_socket_error(ENOMEM);
        net_log("%s", gavo::msg::kNetOpenNoMemory);
        gavo::platform().shutdown(fd, SHUT_RDWR);
        gavo::platform().close_socket(fd);
        std::free(conn);
        return nullptr;
    }
    conn->sockfd = fd;
    conn->bufbase = buffer;
    conn->bufptr = buffer;
    conn->bufsize = kNetBufferSize;
    return conn;
}

// A TLS connection moves its bytes in buffers of four full records (64 KiB) instead of
// 4 KiB: each buffer sent is four full records, encrypted and sent by one call, and each
// receive takes a whole record. The bytes inside are the same. Where memory is short the
// connection keeps its 4 KiB buffer.
void grow_buffer(NetConn* conn) {
    constexpr int kRecordSize = 64 * 1024;
    void* bigger = gavo::platform().allocate(kRecordSize, 1);
    if (bigger == nullptr || conn->bufcnt != 0) return std::free(bigger);
    std::free(conn->bufbase);
    conn->bufbase = static_cast<unsigned char*>(bigger);
    conn->bufptr = conn->bufbase;
    conn->bufsize = kRecordSize;
}

}  // namespace

int net_keepalive(NetConn* conn) {
    if (gavo::platform().set_keepalive(conn->sockfd, kKeepIdleSeconds, kKeepIntervalSeconds,
                                       kKeepProbes, kKeepDeadMs) == 0)
        return 0;
    gavo::note_socket_error(errno);
    return -1;
}

int net_reply_timeout(NetConn* conn, int seconds) {
    if (seconds <= 0) return 0;
    if (gavo::platform().set_receive_timeout(conn->sockfd, seconds) == 0) return 0;
    gavo::note_socket_error(errno);
    return -1;
}

int net_start_tls(NetConn* conn, NetTls* tls, NetTlsResume* resume) {
    if (net_tls_start(conn->sockfd, tls, resume, &conn->tls) != 0) return -1;
    grow_buffer(conn);
    return 0;
}

NetConn* net_open_client(const char* host, const char* port, const char* protocol, int connect_wait,
                         unsigned int resolve_flags) {
    if (host == nullptr || port == nullptr || protocol == nullptr) return nullptr;
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    // A failed look-up notes its own number, so the socket-error line that follows a
    // failed channel opening never repeats an earlier failure's.
    if (!resolve_port(port, protocol, resolve_flags, &addr.sin_port)) {
        gavo::note_socket_error(kNoData);
        return nullptr;
    }
    if (!resolve_host(host, resolve_flags, &addr.sin_addr)) {
        gavo::note_socket_error(kHostNotFound);
        return nullptr;
    }
    int fd = create_socket(protocol);
    if (fd < 0) return nullptr;
    if (!connect_socket(fd, addr, connect_wait)) {
        gavo::platform().close_socket(fd);
        return nullptr;
    }
    return make_conn(fd);
}

int net_close(NetConn* conn) {
    if (conn == nullptr) return kNetNoConnection;
    net_flush(conn);  // output that cannot be sent is dropped; net_flush traced it
    net_tls_end(&conn->tls, conn->broken != 0);
    gavo::platform().shutdown(conn->sockfd, SHUT_RDWR);
    gavo::platform().close_socket(conn->sockfd);
    std::free(conn->bufbase);
    std::free(conn);
    return 0;
}

int net_wait(int fd, int seconds) {
    if (seconds <= 0) return 0;
    int r = gavo::platform().wait_readable(fd, seconds);
    if (r > 0) return 0;
    if (r < 0) gavo::note_socket_error(errno);
    return kNetTimeout;
}
