#include "server/net/conn.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "server/net/event_loop.h"
#include "server/net/tls.h"

namespace gavo::server {

namespace {

// Why a connection ends when it would wait for its peer with every thread for blocking
// work taken (see EventLoop::offload).
const char* const kServerBusy =
    "server busy (every thread for blocking work is taken: --max-threads), not waiting";

// The first byte of every TLS connection: a handshake record.
constexpr unsigned char kTlsHandshakeRecord = 0x16;

// Buffers of connections gone idle, kept for the next connection this thread serves:
// an idle connection holds none, and taking one costs no allocation.
constexpr size_t kSpareBuffers = 8;
thread_local std::vector<std::unique_ptr<unsigned char[]>> tl_spare_buffers;

}  // namespace

bool Conn::fail(ConnFailure kind, const std::string& why) {
    if (failed()) return false;
    return fail_instead(kind, why);
}

bool Conn::fail_instead(ConnFailure kind, const std::string& why) {
    failure_ = kind;
    error_ = why;
    return false;
}

void Conn::take_buffers() {
    if (buffers_) return;
    if (tl_spare_buffers.empty()) {
        buffers_.reset(new unsigned char[2 * kBufferSize]);
    } else {
        buffers_ = std::move(tl_spare_buffers.back());
        tl_spare_buffers.pop_back();
    }
    in_ = buffers_.get();
    out_ = in_ + kBufferSize;
}

void Conn::release_buffers() {
    if (!buffers_ || in_pos_ < in_len_ || out_len_ > 0) return;
    in_pos_ = in_len_ = 0;
    in_ = out_ = nullptr;
    if (tl_spare_buffers.size() < kSpareBuffers) tl_spare_buffers.push_back(std::move(buffers_));
    buffers_.reset();
}

bool Conn::stop_requested() const {
    struct pollfd pfd = {stop_fd_, POLLIN, 0};
    return stop_fd_ >= 0 && poll(&pfd, 1, 0) > 0;
}

void Conn::earn(size_t n) {
    const int64_t stall_ns = int64_t{stall_ms_} * 1000000;
    const int64_t gained = ns_per_byte_ * static_cast<int64_t>(std::min<size_t>(n, 1u << 30));
    budget_ns_ = std::min(stall_ns, budget_ns_ + gained);
}

bool Conn::wait_request() {
    if (failed()) return false;
    if (in_pos_ < in_len_) return true;
    for (;;) {
        // Bytes read ahead by the transport count too: the socket no longer shows them.
        const bool here = transport_->holds_input();
        if (!wait_idle(here)) return false;
        budget_ns_ = int64_t{stall_ms_} * 1000000;  // a request begins
        if (here) break;
        bool begun = false;
        if (!take_idle_bytes(&begun)) return false;
        if (in_pos_ < in_len_) return true;
        if (begun) break;
    }
    return fill_first();
}

bool Conn::fill_first() {
    if (fill()) return true;
    // A peer that closes between requests is the normal end of a connection: the close
    // (or the stop that cut it) is no failure mid-request.
    if (failure_ == ConnFailure::kPeerClosed || failure_ == ConnFailure::kStopping) {
        fail_instead(ConnFailure::kPeerClosed, "peer closed");
    }
    return false;
}

bool Conn::request_ready(bool socket_ready) {
    if (failed()) return false;
    const bool held = transport_->holds_input();
    if (in_pos_ == in_len_ && !held && !socket_ready) return false;
    budget_ns_ = int64_t{stall_ms_} * 1000000;  // a request may begin
    if (in_pos_ < in_len_) return true;
    if (!held) {
        bool begun = false;
        if (!take_idle_bytes(&begun)) return false;
        if (in_pos_ < in_len_) return true;
        if (!begun) return false;  // nothing here after all, or a record without data
    }
    return fill_first();
}

bool Conn::leave_loop() {
    if (EventLoop::offload(Blocking::kPeer)) return true;
    return fail(ConnFailure::kBusy, kServerBusy);
}

bool Conn::wait_idle(bool here) {
    if (!here && !leave_loop()) return false;
    struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, stop_fd_ >= 0 ? 2 : 1, here ? 0 : -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(ConnFailure::kIo, std::string("poll: ") + strerror(errno));
        if (here) fds[0].revents |= POLLIN;
        // A request that has begun to arrive is still served once the stop has come.
        if (fds[1].revents != 0 && (stop_seen_ || (fds[0].revents & POLLIN) == 0)) {
            return fail(ConnFailure::kStopping, "server stopping");
        }
        stop_seen_ = stop_seen_ || fds[1].revents != 0;
        return true;
    }
}

// A TLS client may send records without data while idle (TLS 1.3 key updates): reading
// them must not start the request's time limits. Data, or part of a record, does.
bool Conn::take_idle_bytes(bool* begun) {
    take_buffers();
    short wait = POLLIN;
    const ssize_t n = try_receive(in_, kBufferSize, &wait);
    if (n > 0) {
        earn(static_cast<size_t>(n));
        received_ += static_cast<uint64_t>(n);
        in_pos_ = 0;
        in_len_ = static_cast<size_t>(n);
        return true;
    }
    if (n == kPeerClosed) return fail(ConnFailure::kPeerClosed, "peer closed");
    if (n == kFailed) return false;
    *begun = wait == POLLOUT || transport_->holds_input();
    return true;
}

bool Conn::wait_ready(short events, const char* what) {
    if (!leave_loop()) return false;
    struct pollfd pfd = {fd_, events, 0};
    for (;;) {
        const bool by_rate = budget_ns_ < int64_t{stall_ms_} * 1000000;
        const int wait_ms =
            by_rate ? static_cast<int>(std::max<int64_t>(0, budget_ns_ + 999999) / 1000000)
                    : stall_ms_;
        const auto began = std::chrono::steady_clock::now();
        const int n = poll(&pfd, 1, wait_ms);
        budget_ns_ -= std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now() - began)
                          .count();
        if (n > 0) return true;
        if (n == 0 && by_rate && ns_per_byte_ == 0) {
            return fail(ConnFailure::kStalled, "stalled (request not done within the time-out)");
        }
        if (n == 0 && by_rate) {
            return fail(ConnFailure::kStalled, "stalled (request slower than " +
                                                   std::to_string(1000000000 / ns_per_byte_) +
                                                   " bytes/s over the time-out)");
        }
        if (n == 0) {
            return fail(ConnFailure::kStalled,
                        std::string("stalled (no ") + what + " within the time-out)");
        }
        if (errno != EINTR) return fail(ConnFailure::kIo, std::string("poll: ") + strerror(errno));
    }
}

bool Conn::fill() {
    take_buffers();
    const ssize_t n = receive(in_, kBufferSize);
    if (n <= 0) return false;
    in_pos_ = 0;
    in_len_ = static_cast<size_t>(n);
    return true;
}

// Asks for what is there first and waits (within the stall time-out) only when nothing
// is: a request usually arrives whole, so its bytes come without a readiness wait.
ssize_t Conn::receive(void* dest, size_t max) {
    for (;;) {
        short wait = POLLIN;
        const ssize_t n = try_receive(dest, max, &wait);
        if (n > 0) {
            earn(static_cast<size_t>(n));
            received_ += static_cast<uint64_t>(n);
            return n;
        }
        // At a stop, the server cuts the connections still mid-request after a grace.
        if (n == kPeerClosed && stop_requested()) {
            return fail(ConnFailure::kStopping, "server stopping mid-request"), 0;
        }
        if (n == kPeerClosed) return fail(ConnFailure::kPeerClosed, "peer closed mid-request"), 0;
        if (n == kFailed) return -1;
        ack_now();  // the rest of the request may wait for this acknowledgement
        if (!wait_ready(wait, "data")) return -1;
    }
}

ssize_t Conn::try_receive(void* dest, size_t max, short* wait) {
    Transport::Failure failure;
    const ssize_t n = transport_->receive(dest, max, wait, &failure);
    if (n == kFailed) fail(failure.kind, failure.why);
    drained_ = n == kWouldBlock || (n > 0 && static_cast<size_t>(n) < max);
    return n;
}

bool Conn::receive_more() { return !failed() && fill(); }

size_t Conn::receive_into(void* dest, size_t max) {
    if (failed()) return 0;
    const ssize_t n = receive(dest, max);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// A client sends a request larger than its 4 KiB buffer in pieces, and its last piece,
// under Nagle's algorithm, leaves only once everything before it is acknowledged. A
// delayed acknowledgement would stall every such request by up to 40 ms, so before the
// server waits for more bytes of a request it acknowledges what it has (Linux clears the
// flag by itself, hence each time).
void Conn::ack_now() {
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool Conn::input_pending() {
    if (in_pos_ < in_len_) return true;
    // A plain socket that a receive left empty had nothing more then: bytes sent after
    // it belong to a later send, and a peek would only race with them.
    if (drained_ && !tls()) return false;
    return !failed() && transport_->data_pending();
}

bool Conn::put_bytes(const void* src, size_t n) {
    if (failed()) return false;
    take_buffers();
    const unsigned char* p = static_cast<const unsigned char*>(src);
    if (out_len_ + n <= kBufferSize) {
        memcpy(out_ + out_len_, p, n);
        out_len_ += n;
        return true;
    }
    // Large data go out directly, in one send with what is buffered (a read's count
    // and its first bytes travel together, not as a packet or record of their own).
    const size_t buffered = out_len_;
    out_len_ = 0;
    return send_pair(out_, buffered, p, n);
}

bool Conn::flush() {
    if (failed()) return false;
    const size_t n = out_len_;
    out_len_ = 0;
    return send_all(out_, n);
}

bool Conn::send_pair(const unsigned char* head, size_t head_len, const unsigned char* body,
                     size_t body_len) {
    while (head_len > 0) {
        short wait = POLLOUT;
        Transport::Failure failure;
        const ssize_t sent = transport_->send_pair(head, head_len, body, body_len, &wait, &failure);
        if (sent == kFailed) return fail(failure.kind, failure.why);
        if (sent == kWouldBlock) {
            if (!wait_ready(wait, "room to send")) return false;
            continue;
        }
        const size_t done = static_cast<size_t>(sent);
        earn(done);
        sent_ += done;
        if (done < head_len) {
            head += done;
            head_len -= done;
            continue;
        }
        body += done - head_len;
        body_len -= done - head_len;
        head_len = 0;
    }
    return send_all(body, body_len);
}

// Sends at once while the socket has room and waits (within the stall time-out) only
// when it has none.
bool Conn::send_all(const unsigned char* p, size_t n) {
    while (n > 0) {
        short wait = POLLOUT;
        const ssize_t sent = try_send(p, n, &wait);
        if (sent == kFailed) return false;
        if (sent == kWouldBlock) {
            if (!wait_ready(wait, "room to send")) return false;
            continue;
        }
        earn(static_cast<size_t>(sent));
        sent_ += static_cast<uint64_t>(sent);
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool Conn::send_now(const unsigned char* src, size_t n) {
    if (failed()) return false;
    short wait = POLLOUT;
    const ssize_t sent = n > 0 ? try_send(src, n, &wait) : 0;
    if (sent == kFailed) return false;
    const size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
    earn(done);
    sent_ += done;
    if (done == n) return true;
    put_bytes(src + done, n - done);
    return false;
}

ssize_t Conn::try_send(const unsigned char* p, size_t n, short* wait) {
    Transport::Failure failure;
    const ssize_t sent = transport_->send(p, n, wait, &failure);
    if (sent == kFailed) fail(failure.kind, failure.why);
    return sent;
}

// --- TLS ---

bool Conn::start_tls(const TlsContext& tls) {
    const std::string failed = "TLS handshake failed: ";
    Transport::Failure failure;
    std::unique_ptr<TlsTransport> session = TlsTransport::open(tls, fd_, &failure);
    if (!session) return fail(failure.kind, failed + failure.why);
    TlsTransport& handshake = *session;
    transport_ = std::move(session);
    budget_ns_ = int64_t{stall_ms_} * 1000000;  // the whole handshake within one stall
    if (!expect_tls_record()) return false;
    for (;;) {
        short wait = POLLIN;
        const int r = handshake.accept(&wait, &failure);
        if (r > 0) break;
        if (r < 0) return fail(failure.kind, failed + failure.why);
        if (!wait_ready(wait, "TLS handshake")) return handshake_wait_failed();
    }
    std::string why;
    if (tls.verifies_clients() && !handshake.peer_name(&cert_name_, &why)) {
        return fail(ConnFailure::kTls, failed + "client certificate refused: " + why);
    }
    return true;
}

bool Conn::expect_tls_record() {
    unsigned char first = 0;
    for (;;) {
        const ssize_t n = recv(fd_, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 1) break;
        if (n == 0) {
            return fail(ConnFailure::kPeerClosed,
                        "TLS handshake failed: peer closed before the handshake");
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return fail(ConnFailure::kIo,
                        std::string("TLS handshake failed: recv: ") + strerror(errno));
        }
        if (!wait_ready(POLLIN, "TLS handshake")) return handshake_wait_failed();
    }
    if (first == kTlsHandshakeRecord) return true;
    // Read what came, so that the close is a FIN rather than a reset that may destroy
    // the client's view of it.
    unsigned char drop[4096];
    for (int i = 0; i < 16 && recv(fd_, drop, sizeof drop, MSG_DONTWAIT) > 0; ++i) {
    }
    char text[96];
    snprintf(text, sizeof text,
             "TLS handshake failed: not a TLS client (first byte 0x%02x; plain text?)", first);
    return fail(ConnFailure::kTls, text);
}

bool Conn::handshake_wait_failed() {
    if (failure_ == ConnFailure::kBusy) {
        return fail_instead(ConnFailure::kBusy, "TLS handshake failed: " + error_);
    }
    return fail_instead(ConnFailure::kStalled,
                        "TLS handshake failed: not done within the stall time-out");
}

}  // namespace gavo::server
