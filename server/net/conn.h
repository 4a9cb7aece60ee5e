// One client connection's byte stream: a receive buffer and a send buffer of 4096 bytes
// each over a socket. It moves bytes only; the session decodes them. An idle connection
// gives its buffers back (release_buffers()) and takes them again when a request begins.
//
// Time limits: waiting for the first byte of a request has none (clients hold their
// connections idle for hours), but once a request has begun, every receive and send
// must make progress within the stall time-out, and the request as a whole must keep a
// minimum rate: it starts with a waiting budget of the stall time-out, every wait for
// the peer spends from it, and every byte moved adds back 1/`min_rate` s (up to the
// stall time-out again). A request trickling below the rate thus ends within about one
// stall time-out, however often single bytes arrive; `min_rate` 0 bounds the waiting of
// a whole request by the stall time-out. Time the server spends on its own work
// (disk, database) does not count. The first failure is sticky: every later call
// returns false, failure() says what kind it was and error() says it for the log.
//
// The bytes move through a transport (transport.h): plain text, or after start_tls()
// a TLS session, for whose records the same holds: the handshake runs within one stall
// time-out, and every receive and send has the same waits. Records that carry no data
// (a key update) between requests do not begin a request; a record that has begun to
// arrive does.
// Not thread-safe: one connection is served by one thread at a time. Before any wait
// for the peer it leaves the event loop (EventLoop::offload), so that a loop thread
// never waits for one peer; at the loop's bound the connection fails instead ("server
// busy").
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "server/net/transport.h"

namespace gavo::server {

class TlsContext;

class Conn {
public:
    static constexpr size_t kBufferSize = 4096;

    // `fd` stays owned by the caller. `stop_fd` becomes readable when the server stops.
    // `min_rate` in bytes per second.
    Conn(int fd, std::chrono::milliseconds stall, int min_rate, int stop_fd)
        : fd_(fd),
          stall_ms_(static_cast<int>(stall.count())),
          ns_per_byte_(min_rate > 0 ? 1000000000 / min_rate : 0),
          stop_fd_(stop_fd),
          transport_(std::make_unique<PlainTransport>(fd)) {}
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    // Runs the server side of a TLS handshake with a session of `tls`, within the stall
    // time-out; every later receive and send goes through it. When `tls` verifies
    // clients, the client's certificate must name it (see cert_common_name). False with
    // error() "TLS handshake failed: why".
    bool start_tls(const TlsContext& tls);
    // After start_tls(): the client certificate's name (empty without one) and
    // "TLSv1.3 TLS_AES_128_GCM_SHA256" (", resumed" added for a resumed session).
    const std::string& cert_name() const { return cert_name_; }
    std::string tls_description() const { return transport_->description(); }
    // Whether the kernel encrypts what is sent (and decrypts what is received).
    bool ktls_send() const { return transport_->ktls_send(); }
    bool ktls_receive() const { return transport_->ktls_receive(); }

    // Waits, without a time limit, until the next request's first byte is here. False
    // when the peer closed, the connection failed, or the server is stopping (a request
    // whose bytes are already here when the stop comes is still served, no later one).
    bool wait_request();
    // Without waiting: true when a request has begun, its first bytes taken (from the
    // buffer, the TLS session, or, with `socket_ready`, one receive from the socket);
    // false when none is here, or the connection ended (failed() then says so).
    bool request_ready(bool socket_ready);
    // Gives the buffers back when nothing is in them (between requests).
    void release_buffers();

    // The received bytes not yet consumed, and how many there are.
    const unsigned char* buffered() const { return in_ + in_pos_; }
    size_t buffered_size() const { return in_len_ - in_pos_; }
    // Marks the first `n` (<= buffered_size()) of them as used.
    void consume(size_t n) { in_pos_ += n; }
    // With nothing buffered: one receive into the buffer (what is there, up to its size).
    // False on failure.
    bool receive_more();
    // With nothing buffered: one receive of up to `max` bytes straight into `dest`, for
    // large bodies that need not pass through the buffer. The count, 0 on failure.
    size_t receive_into(void* dest, size_t max);
    // True when bytes beyond those consumed are here already (buffered, held by the TLS
    // session, or waiting in the socket). A client that waits for each reply sends none
    // before it, so such bytes mean the request was longer than the server took it to be.
    bool input_pending();

    bool put_bytes(const void* src, size_t n);
    // Sends everything buffered.
    bool flush();
    // Sends `n` bytes (nothing buffered before them) as far as the socket takes them now,
    // never waiting: for a thread that must not block. True when all went out; otherwise
    // the rest is buffered for the next flush(), or the connection failed.
    bool send_now(const unsigned char* src, size_t n);

    int fd() const { return fd_; }
    bool tls() const { return transport_->encrypted(); }
    // The bytes received and sent since the last call (for the server's counters).
    std::pair<uint64_t, uint64_t> take_counts() {
        const std::pair<uint64_t, uint64_t> counts{received_, sent_};
        received_ = sent_ = 0;
        return counts;
    }
    bool failed() const { return failure_ != ConnFailure::kNone; }
    ConnFailure failure() const { return failure_; }
    const std::string& error() const { return error_; }
    // Marks the connection failed with `kind` and `why` (for the log), if it has not
    // failed yet. Returns false, for `return conn.fail(...)`.
    bool fail(ConnFailure kind, const std::string& why);
    // Replaces a failure already recorded (or records it): for a failure whose real
    // cause the caller knows better than the socket does.
    bool fail_instead(ConnFailure kind, const std::string& why);

private:
    static constexpr ssize_t kWouldBlock = Transport::kWouldBlock;
    static constexpr ssize_t kFailed = Transport::kFailed;
    static constexpr ssize_t kPeerClosed = Transport::kPeerClosed;

    // EventLoop::offload() before a wait for the peer; false (failed) at its bound.
    bool leave_loop();
    // Records why a wait in the handshake ended: the stall time-out, or the loop's bound.
    bool handshake_wait_failed();
    // Waits without a time limit until the socket (or, `here`, the TLS session) has
    // bytes, or the stop; false when the connection ends instead.
    bool wait_idle(bool here);
    // Takes what arrived between requests, without waiting: false when the connection
    // ended; true with bytes in `in_`, or with `*begun` when part of a request is here
    // but no data yet (part of a TLS record), or neither (a TLS record without data).
    bool take_idle_bytes(bool* begun);
    // One receive or send without waiting, through the transport; a failure recorded.
    ssize_t try_receive(void* dest, size_t max, short* wait);
    ssize_t try_send(const unsigned char* p, size_t n, short* wait);
    // Waits for the client's first byte and checks it opens a TLS handshake, so that
    // plain text at a TLS port gets a clear reason.
    bool expect_tls_record();
    bool fill();  // one receive into the empty buffer, within the stall time-out
    // fill() for a request's first bytes: a close then is the normal end.
    bool fill_first();
    void take_buffers();
    // One receive of up to `max` bytes into `dest`, within the stall time-out; the count,
    // or 0 / -1 after the connection has been marked failed.
    ssize_t receive(void* dest, size_t max);
    void ack_now();  // acknowledge received data without delay
    bool send_all(const unsigned char* p, size_t n);
    // Sends `head` then `body` as one stream, with as few sends as the socket allows.
    bool send_pair(const unsigned char* head, size_t head_len, const unsigned char* body,
                   size_t body_len);
    // Waits for `events` on the socket within the stall time-out and the request's
    // budget.
    bool wait_ready(short events, const char* what);
    // Adds the budget earned by `n` bytes moved.
    void earn(size_t n);
    // True once the server has begun to stop.
    bool stop_requested() const;

    const int fd_;
    const int stall_ms_;
    const int64_t ns_per_byte_;
    const int stop_fd_;
    int64_t budget_ns_ = 0;  // what the request in progress may still spend waiting
    std::unique_ptr<unsigned char[]> buffers_;  // in_ then out_, while serving
    unsigned char* in_ = nullptr;
    size_t in_pos_ = 0;
    size_t in_len_ = 0;
    unsigned char* out_ = nullptr;
    size_t out_len_ = 0;
    ConnFailure failure_ = ConnFailure::kNone;
    std::string error_;
    bool stop_seen_ = false;  // the stop has come; only the request then arriving is served
    // The last receive left the socket empty (it took fewer bytes than it asked for).
    bool drained_ = false;
    uint64_t received_ = 0;  // bytes since take_counts()
    uint64_t sent_ = 0;
    std::unique_ptr<Transport> transport_;  // plain text, or TLS after start_tls()
    std::string cert_name_;
};

}  // namespace gavo::server
