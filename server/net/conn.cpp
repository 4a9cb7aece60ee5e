#include "server/net/conn.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

bool Conn::fail(const std::string& why) {
    if (error_.empty()) error_ = why;
    return false;
}

bool Conn::fail_instead(const std::string& why) {
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
        // Records read ahead count too: the socket no longer shows them.
        const bool here = ssl_ != nullptr && SSL_has_pending(ssl_) == 1;
        if (!wait_idle(here)) return false;
        budget_ns_ = int64_t{stall_ms_} * 1000000;  // a request begins
        if (ssl_ == nullptr || here) break;
        bool begun = false;
        if (!take_idle_record(&begun)) return false;
        if (in_pos_ < in_len_) return true;
        if (begun) break;
    }
    return fill_first();
}

bool Conn::fill_first() {
    if (fill()) return true;
    // A peer that closes between requests is the normal end of a connection.
    if (error_ == "peer closed mid-request" || error_ == "server stopping mid-request") {
        error_ = "peer closed";
    }
    return false;
}

bool Conn::request_ready(bool socket_ready) {
    if (failed()) return false;
    const bool held = ssl_ != nullptr && SSL_has_pending(ssl_) == 1;
    if (in_pos_ == in_len_ && !held && !socket_ready) return false;
    budget_ns_ = int64_t{stall_ms_} * 1000000;  // a request may begin
    if (in_pos_ < in_len_) return true;
    if (ssl_ != nullptr && !held) {
        bool begun = false;
        if (!take_idle_record(&begun)) return false;
        if (in_pos_ < in_len_) return true;
        if (!begun) return false;  // a record without data: still idle
    }
    if (ssl_ != nullptr) return fill_first();
    take_buffers();
    short wait = POLLIN;
    const ssize_t n = try_receive(in_, kBufferSize, &wait);
    if (n == kPeerClosed) return fail("peer closed");
    if (n <= 0) return false;  // nothing here after all, or failed (recorded)
    earn(static_cast<size_t>(n));
    received_ += static_cast<uint64_t>(n);
    in_pos_ = 0;
    in_len_ = static_cast<size_t>(n);
    return true;
}

bool Conn::leave_loop() {
    if (EventLoop::offload(Blocking::kPeer)) return true;
    return fail(kServerBusy);
}

bool Conn::wait_idle(bool here) {
    if (!here && !leave_loop()) return false;
    struct pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        const int n = poll(fds, stop_fd_ >= 0 ? 2 : 1, here ? 0 : -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(std::string("poll: ") + strerror(errno));
        if (here) fds[0].revents |= POLLIN;
        // A request that has begun to arrive is still served once the stop has come.
        if (fds[1].revents != 0 && (stop_seen_ || (fds[0].revents & POLLIN) == 0)) {
            return fail("server stopping");
        }
        stop_seen_ = stop_seen_ || fds[1].revents != 0;
        return true;
    }
}

// A client may send records without data while idle (TLS 1.3 key updates): reading them
// must not start the request's time limits. Data, or part of a record, does.
bool Conn::take_idle_record(bool* begun) {
    take_buffers();
    short wait = POLLIN;
    const ssize_t n = tls_receive(in_, kBufferSize, &wait);
    if (n > 0) {
        earn(static_cast<size_t>(n));
        received_ += static_cast<uint64_t>(n);
        in_pos_ = 0;
        in_len_ = static_cast<size_t>(n);
        return true;
    }
    if (n == kPeerClosed) return fail("peer closed");
    if (n == kFailed) return false;
    *begun = wait == POLLOUT || SSL_has_pending(ssl_) == 1;
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
            return fail("stalled (request not done within the time-out)");
        }
        if (n == 0 && by_rate) {
            return fail("stalled (request slower than " +
                        std::to_string(1000000000 / ns_per_byte_) + " bytes/s over the time-out)");
        }
        if (n == 0) return fail(std::string("stalled (no ") + what + " within the time-out)");
        if (errno != EINTR) return fail(std::string("poll: ") + strerror(errno));
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
        if (n == kPeerClosed) {
            return fail(stop_requested() ? "server stopping mid-request"
                                         : "peer closed mid-request"),
                   0;
        }
        if (n == kFailed) return -1;
        ack_now();  // the rest of the request may wait for this acknowledgement
        if (!wait_ready(wait, "data")) return -1;
    }
}

ssize_t Conn::try_receive(void* dest, size_t max, short* wait) {
    if (ssl_ != nullptr) return tls_receive(dest, max, wait);
    for (;;) {
        const ssize_t n = recv(fd_, dest, max, MSG_DONTWAIT);
        if (n > 0) return n;
        if (n == 0) return kPeerClosed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
        return fail(std::string("recv: ") + strerror(errno)), kFailed;
    }
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
    if (failed()) return false;
    unsigned char c;
    if (ssl_ == nullptr) return recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    if (SSL_pending(ssl_) > 0) return true;
    // Only data counts: a close_notify after the request is a close, as a FIN is.
    ERR_clear_error();
    const int n = SSL_peek(ssl_, &c, 1);
    if (n <= 0) tls_error(n);
    ERR_clear_error();
    return n > 0;
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
    // and its first bytes travel together, not as a packet of their own).
    if (ssl_ != nullptr) {
        // Over TLS, in one record: the buffer filled up from the data, then the rest.
        const size_t head = kBufferSize - out_len_;
        memcpy(out_ + out_len_, p, head);
        out_len_ = 0;
        return send_all(out_, kBufferSize) && send_all(p + head, n - head);
    }
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
        iovec parts[2] = {{const_cast<unsigned char*>(head), head_len},
                          {const_cast<unsigned char*>(body), body_len}};
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = 2;
        const ssize_t sent = sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(POLLOUT, "room to send")) return false;
            continue;
        }
        if (sent <= 0) return fail(std::string("send: ") + strerror(errno));
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

ssize_t Conn::try_send(const unsigned char* p, size_t n, short* wait) {
    if (ssl_ != nullptr) return tls_send(p, n, wait);
    for (;;) {
        const ssize_t sent = send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) return sent;
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kWouldBlock;
        return fail(std::string("send: ") + strerror(errno)), kFailed;
    }
}

// --- TLS ---

Conn::~Conn() {
    if (ssl_ == nullptr) return;
    // One attempt, without waiting: a peer that does not read gets no close_notify.
    if (!tls_broken_ && SSL_is_init_finished(ssl_)) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
    }
    ERR_clear_error();
    SSL_free(ssl_);
}

int Conn::tls_error(int ret) {
    const int e = SSL_get_error(ssl_, ret);
    if (e == SSL_ERROR_SSL || e == SSL_ERROR_SYSCALL) tls_broken_ = true;
    return e;
}

ssize_t Conn::tls_receive(void* dest, size_t max, short* wait) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, dest, static_cast<int>(std::min<size_t>(max, INT_MAX)));
    if (n > 0) return n;
    const int saved_errno = errno;
    switch (tls_error(n)) {
    case SSL_ERROR_WANT_READ: *wait = POLLIN; return kWouldBlock;
    case SSL_ERROR_WANT_WRITE: *wait = POLLOUT; return kWouldBlock;
    case SSL_ERROR_ZERO_RETURN: return kPeerClosed;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0 && saved_errno != 0) {
            return fail(std::string("recv: ") + strerror(saved_errno)), kFailed;
        }
        return kPeerClosed;
    }
    // A close without close_notify is how most clients end: a close like a plain one.
    if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return kPeerClosed;
    }
    return fail("TLS: " + tls_error_reason("receive failed")), kFailed;
}

ssize_t Conn::tls_send(const unsigned char* p, size_t n, short* wait) {
    ERR_clear_error();
    const int sent = SSL_write(ssl_, p, static_cast<int>(std::min<size_t>(n, INT_MAX)));
    if (sent > 0) return sent;
    const int saved_errno = errno;
    switch (tls_error(sent)) {
    case SSL_ERROR_WANT_WRITE: *wait = POLLOUT; return kWouldBlock;
    case SSL_ERROR_WANT_READ: *wait = POLLIN; return kWouldBlock;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0) {
            return fail(std::string("send: ") + strerror(saved_errno)), kFailed;
        }
        break;
    }
    return fail("TLS: " + tls_error_reason("send failed")), kFailed;
}

bool Conn::start_tls(SSL_CTX* ctx, bool want_cert_name) {
    const std::string failed = "TLS handshake failed: ";
    ERR_clear_error();
    ssl_ = SSL_new(ctx);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) {
        tls_broken_ = true;
        return fail(failed + tls_error_reason("no TLS session"));
    }
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail(failed + "fcntl: " + strerror(errno));
    }
    budget_ns_ = int64_t{stall_ms_} * 1000000;  // the whole handshake within one stall
    if (!expect_tls_record()) return false;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_accept(ssl_);
        if (r == 1) break;
        const int saved_errno = errno;
        const int e = tls_error(r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
            return fail(failed + handshake_error(e, saved_errno));
        }
        if (!wait_ready(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, "TLS handshake")) {
            return fail_instead(failed + handshake_wait_error());
        }
    }
    std::string why;
    if (want_cert_name && !cert_common_name(SSL_get0_peer_certificate(ssl_), &cert_name_, &why)) {
        return fail(failed + "client certificate refused: " + why);
    }
    return true;
}

bool Conn::expect_tls_record() {
    unsigned char first = 0;
    for (;;) {
        const ssize_t n = recv(fd_, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 1) break;
        if (n == 0) return fail("TLS handshake failed: peer closed before the handshake");
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return fail(std::string("TLS handshake failed: recv: ") + strerror(errno));
        }
        if (!wait_ready(POLLIN, "TLS handshake")) {
            return fail_instead("TLS handshake failed: " + handshake_wait_error());
        }
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
    return fail(text);
}

std::string Conn::handshake_wait_error() const {
    return error_ == kServerBusy ? error_ : "not done within the stall time-out";
}

std::string Conn::handshake_error(int e, int saved_errno) {
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
        ERR_clear_error();
        return std::string("client certificate refused: ") +
               X509_verify_cert_error_string(verified);
    }
    if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        return saved_errno != 0 ? std::string(strerror(saved_errno))
                                : "peer closed during the handshake";
    }
    if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return "peer closed during the handshake";
    }
    return tls_error_reason("handshake refused");
}

std::string Conn::tls_description() const {
    if (ssl_ == nullptr) return "plain text";
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    return std::string(SSL_get_version(ssl_)) + " " +
           (cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "?") +
           (SSL_session_reused(ssl_) == 1 ? ", resumed" : "");
}

bool Conn::ktls_send() const {
    return ssl_ != nullptr && BIO_get_ktls_send(SSL_get_wbio(ssl_)) == 1;
}

bool Conn::ktls_receive() const {
    return ssl_ != nullptr && BIO_get_ktls_recv(SSL_get_rbio(ssl_)) == 1;
}

}  // namespace gavo::server
