// How a connection's bytes travel: in plain text over its socket (PlainTransport), or
// through a TLS session on it (TlsTransport, tls.h). A transport moves bytes without
// waiting and says which socket event would let it go on; the connection (conn.h) owns
// it and keeps the buffers, the waits and their time limits, and the failure.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace gavo::server {

// Why a connection ended, for the callers that act on it; the text beside it is for the
// log. The first failure of a connection is the one kept.
enum class ConnFailure {
    kNone,
    kPeerClosed,  // the peer closed (between requests: the normal end)
    kIo,          // a socket, poll or epoll call failed, or the server's file mid-reply
    kStalled,     // the peer too slow: the stall time-out or the minimum rate
    kStopping,    // the server is stopping
    kBusy,        // every thread for blocking work taken: no wait for the peer
    kTls,         // the TLS handshake, or a TLS record, failed
    kRequest,     // the request broke the protocol or its session refused it
};

class Transport {
public:
    // What a receive or send attempt returns besides a byte count: nothing moved (wait
    // for the events in `*wait`, then try again), the connection failed (`*failure` says
    // why), or the peer closed.
    static constexpr ssize_t kWouldBlock = 0;
    static constexpr ssize_t kFailed = -1;
    static constexpr ssize_t kPeerClosed = -2;

    struct Failure {
        ConnFailure kind = ConnFailure::kNone;
        std::string why;
    };

    virtual ~Transport() = default;

    // One receive of up to `max` bytes into `dest`, without waiting; `*wait` comes in as
    // POLLIN and may be changed to the event the transport needs first.
    virtual ssize_t receive(void* dest, size_t max, short* wait, Failure* failure) = 0;
    // One send of up to `n` bytes, without waiting; `*wait` as for receive() (POLLOUT).
    virtual ssize_t send(const unsigned char* src, size_t n, short* wait, Failure* failure) = 0;
    // One send of `head` then `body` as one stream, without waiting: the count sent from
    // both together (over TLS, one record of `head` and the start of `body`).
    virtual ssize_t send_pair(const unsigned char* head, size_t head_len, const unsigned char* body,
                              size_t body_len, short* wait, Failure* failure) = 0;
    // True when received bytes wait inside the transport (read ahead), where the socket
    // no longer shows them.
    virtual bool holds_input() const = 0;
    // True when data (not a close) waits beyond what was received: in the transport or
    // in the socket.
    virtual bool data_pending() = 0;

    // Whether the bytes are encrypted; a close then sends bytes of its own.
    virtual bool encrypted() const = 0;
    // For the log: "plain text", or "TLSv1.3 TLS_AES_128_GCM_SHA256[, resumed]".
    virtual std::string description() const = 0;
    // Whether the kernel encrypts what is sent (and decrypts what is received).
    virtual bool ktls_send() const { return false; }
    virtual bool ktls_receive() const { return false; }
};

// Plain text: non-blocking calls on a socket that itself may block.
class PlainTransport final : public Transport {
public:
    explicit PlainTransport(int fd) : fd_(fd) {}

    ssize_t receive(void* dest, size_t max, short* wait, Failure* failure) override;
    ssize_t send(const unsigned char* src, size_t n, short* wait, Failure* failure) override;
    ssize_t send_pair(const unsigned char* head, size_t head_len, const unsigned char* body,
                      size_t body_len, short* wait, Failure* failure) override;
    bool holds_input() const override { return false; }
    bool data_pending() override;
    bool encrypted() const override { return false; }
    std::string description() const override { return "plain text"; }

private:
    const int fd_;
};

}  // namespace gavo::server
