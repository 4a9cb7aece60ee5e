#include "server/net/tls.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

namespace gavo::server {

namespace {

// Suites in the server's order of preference (TLS 1.3 names).
constexpr const char* kSuites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
// Ties a resumed session to this server's contexts; OpenSSL refuses to resume a session
// with client verification on unless one is set.
constexpr unsigned char kSessionContext[] = "gavo-server";

// OpenSSL's messages for an unreadable file are vague; say which file and why.
bool readable(const char* what, const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    *error = std::string("cannot read the TLS ") + what + " " + path + ": " + strerror(errno);
    return false;
}

std::string time_text(const ASN1_TIME* t) {
    BIO* mem = BIO_new(BIO_s_mem());
    if (mem == nullptr) return "?";
    ASN1_TIME_print(mem, t);
    char* data = nullptr;
    const long n = BIO_get_mem_data(mem, &data);
    std::string text(data != nullptr && n > 0 ? data : "?", n > 0 ? static_cast<size_t>(n) : 1);
    BIO_free(mem);
    return text;
}

// The certificate, its key, and that they belong together.
bool use_identity(SSL_CTX* ctx, const ServerConfig& config, std::string* error) {
    if (!readable("certificate", config.tls_cert, error) ||
        !readable("key", config.tls_key, error)) {
        return false;
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, config.tls_cert.c_str()) != 1) {
        *error = "cannot use the TLS certificate " + config.tls_cert + ": " +
                 tls_error_reason("no certificate in it");
        return false;
    }
    const bool used =
        SSL_CTX_use_PrivateKey_file(ctx, config.tls_key.c_str(), SSL_FILETYPE_PEM) == 1;
    const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    if (!used && !mismatch) {
        *error =
            "cannot use the TLS key " + config.tls_key + ": " + tls_error_reason("no key in it");
        return false;
    }
    if (mismatch || SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        *error =
            "the TLS key " + config.tls_key + " does not match the certificate " + config.tls_cert;
        return false;
    }
    return true;
}

// The authorities whose client certificates are accepted; without them none is asked for.
bool use_client_ca(SSL_CTX* ctx, const std::string& path, std::string* error) {
    if (!readable("client authority file", path, error)) return false;
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(path.c_str());
    if (names == nullptr || SSL_CTX_load_verify_locations(ctx, path.c_str(), nullptr) != 1) {
        if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
        *error = "cannot use the TLS client authority file " + path + ": " +
                 tls_error_reason("no certificate in it");
        return false;
    }
    SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return true;
}

std::string describe(SSL_CTX* ctx, const ServerConfig& config) {
    X509* cert = SSL_CTX_get0_certificate(ctx);
    std::string name, why;
    if (!cert_common_name(cert, &name, &why)) name = "(no commonName)";
    std::string text =
        "certificate CN=" + name + " (until " + time_text(X509_get0_notAfter(cert)) + "), ";
    return text + (config.tls_client_ca.empty()
                       ? "no client certificates"
                       : "client certificates required (" + config.tls_client_ca + ")");
}

// The outbox's room: a batch of records at their largest, and the few messages OpenSSL
// may add of its own (a key update before them, an alert after them).
constexpr size_t kOutboxSize =
    TlsTransport::kBatchRecords *
        (SSL3_RT_HEADER_LENGTH + SSL3_RT_MAX_PLAIN_LENGTH + SSL3_RT_MAX_ENCRYPTED_OVERHEAD) +
    4096;

// An outbox buffer given back by a connection this thread served, for the next one: an
// idle connection holds none, and taking one costs no allocation.
thread_local std::unique_ptr<unsigned char[]> tl_spare_outbox;

}  // namespace

// Encrypted bytes on their way to the socket, and where the record of each piece of
// plaintext ends among them. It holds a buffer only while bytes wait.
struct TlsTransport::Outbox {
    struct Record {
        size_t end;    // offset just past the record in `bytes`
        size_t plain;  // plaintext bytes it carries
    };
    std::unique_ptr<unsigned char[]> bytes;
    size_t len = 0;   // bytes written by OpenSSL
    size_t sent = 0;  // of them, on the socket
    Record records[kBatchRecords] = {};
    size_t first = 0;  // records[first, count) not yet wholly sent
    size_t count = 0;

    bool empty() const { return sent == len; }
    // The plaintext of the records that have left whole since the last call.
    size_t sent_records() {
        size_t plain = 0;
        for (; first < count && records[first].end <= sent; ++first) plain += records[first].plain;
        return plain;
    }
    // OpenSSL's write: appends, taking a buffer first if none is held. Never asks to be
    // retried; more than the room is an error (the sends never batch more than fits).
    bool append(const void* data, size_t n) {
        if (!bytes)
            bytes = tl_spare_outbox ? std::move(tl_spare_outbox)
                                    : std::make_unique<unsigned char[]>(kOutboxSize);
        if (n > kOutboxSize - len) return false;
        memcpy(bytes.get() + len, data, n);
        len += n;
        return true;
    }
    // Once everything is sent and counted, starts over and gives the buffer back.
    void drained() {
        len = sent = first = count = 0;
        if (!bytes) return;
        if (!tl_spare_outbox) tl_spare_outbox = std::move(bytes);
        bytes.reset();
    }
};

namespace {

int outbox_write(BIO* bio, const char* data, int n) {
    BIO_clear_retry_flags(bio);
    if (n <= 0) return 0;
    auto* box = static_cast<TlsTransport::Outbox*>(BIO_get_data(bio));
    return box->append(data, static_cast<size_t>(n)) ? n : -1;
}

long outbox_ctrl(BIO* bio, int cmd, long, void*) {
    switch (cmd) {
    case BIO_CTRL_FLUSH: return 1;  // the transport sends, when it chooses
    case BIO_CTRL_WPENDING: {
        const auto* box = static_cast<TlsTransport::Outbox*>(BIO_get_data(bio));
        return static_cast<long>(box->len - box->sent);
    }
    default: return 0;
    }
}

// The outbox's BIO method, made once for the life of the process.
const BIO_METHOD* outbox_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "gavo outbox");
        if (m != nullptr &&
            (BIO_meth_set_write(m, outbox_write) != 1 || BIO_meth_set_ctrl(m, outbox_ctrl) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

}  // namespace

std::string tls_error_reason(const std::string& fallback) {
    const unsigned long e = ERR_peek_last_error();
    const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : fallback;
}

std::shared_ptr<TlsContext> TlsContext::load(const ServerConfig& config, std::string* error) {
    if (config.tls_cert.empty() || config.tls_key.empty()) {
        *error = "TLS needs both a certificate and its key";
        return nullptr;
    }
    ERR_clear_error();
    std::shared_ptr<TlsContext> tls(new TlsContext());
    tls->ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX* ctx = tls->ctx_;
    if (ctx == nullptr) {
        *error = "cannot make a TLS context: " + tls_error_reason("out of memory");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(ctx, kSuites);
    SSL_CTX_set_options(ctx, SSL_OP_ENABLE_KTLS | SSL_OP_CIPHER_SERVER_PREFERENCE);
    // The connection resends a write cut short by a full socket, and sends record by
    // record as the socket takes them, like a plain send(). An idle connection gives its
    // record buffers (about 35 KiB) back.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_id_context(ctx, kSessionContext, sizeof kSessionContext - 1);
    // A receive takes what the socket holds instead of a record's header and then its
    // body. The read buffer keeps OpenSSL's size, one full record: before each record
    // OpenSSL moves every byte read ahead behind it to the front of the buffer, so a
    // buffer of four records copied each byte of a bulk write 1.5 times more, which cost
    // more than the receives a larger buffer saves. receive() still takes the records
    // of a bulk write one after another, up to the caller's room.
    SSL_CTX_set_read_ahead(ctx, 1);
    if (!use_identity(ctx, config, error)) return nullptr;
    if (!config.tls_client_ca.empty() && !use_client_ca(ctx, config.tls_client_ca, error)) {
        return nullptr;
    }
    tls->verifies_clients_ = !config.tls_client_ca.empty();
    tls->summary_ = describe(ctx, config);
    return tls;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

std::unique_ptr<TlsTransport> TlsTransport::open(const TlsContext& tls, int fd, Failure* failure) {
    ERR_clear_error();
    SSL* ssl = SSL_new(tls.get());
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
        *failure = {ConnFailure::kTls, tls_error_reason("no TLS session")};
        SSL_free(ssl);
        return nullptr;
    }
    std::unique_ptr<TlsTransport> session(new TlsTransport(ssl, fd));
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        *failure = {ConnFailure::kIo, std::string("fcntl: ") + strerror(errno)};
        return nullptr;
    }
    return session;
}

TlsTransport::TlsTransport(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}

TlsTransport::~TlsTransport() {
    // One attempt, without waiting: a peer that does not read gets no close_notify.
    if (!broken_ && SSL_is_init_finished(ssl_)) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
        flush_once();
    }
    ERR_clear_error();
    SSL_free(ssl_);
}

int TlsTransport::error_of(int ret) {
    const int e = SSL_get_error(ssl_, ret);
    if (e == SSL_ERROR_SSL || e == SSL_ERROR_SYSCALL) {
        broken_ = true;
        flush_once();  // the alert OpenSSL wrote about it
    }
    return e;
}

int TlsTransport::accept(short* wait, Failure* failure) {
    ERR_clear_error();
    const int r = SSL_accept(ssl_);
    if (r == 1) {
        // From here on records go to the outbox, unless the kernel encrypts them (its
        // offload lives in OpenSSL's socket layer) or no outbox can be made.
        const BIO_METHOD* method = outbox_method();
        BIO* bio = ktls_send() || method == nullptr ? nullptr : BIO_new(method);
        if (bio != nullptr) {
            outbox_ = std::make_unique<Outbox>();
            BIO_set_data(bio, outbox_.get());
            BIO_set_init(bio, 1);
            SSL_set0_wbio(ssl_, bio);  // the socket layer stays for reading
        }
        ERR_clear_error();
        return 1;
    }
    const int saved_errno = errno;
    const int e = error_of(r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        *wait = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        return 0;
    }
    *failure = handshake_failure(e, saved_errno);
    return -1;
}

TlsTransport::Failure TlsTransport::handshake_failure(int e, int saved_errno) {
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
        ERR_clear_error();
        return {ConnFailure::kTls, std::string("client certificate refused: ") +
                                       X509_verify_cert_error_string(verified)};
    }
    if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        if (saved_errno != 0) return {ConnFailure::kIo, strerror(saved_errno)};
        return {ConnFailure::kPeerClosed, "peer closed during the handshake"};
    }
    if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return {ConnFailure::kPeerClosed, "peer closed during the handshake"};
    }
    return {ConnFailure::kTls, tls_error_reason("handshake refused")};
}

bool TlsTransport::peer_name(std::string* name, std::string* why) const {
    return cert_common_name(SSL_get0_peer_certificate(ssl_), name, why);
}

ssize_t TlsTransport::receive(void* dest, size_t max, short* wait, Failure* failure) {
    if (deferred_ != kWouldBlock) {
        *failure = deferred_failure_;
        return std::exchange(deferred_, kWouldBlock);
    }
    ssize_t got = receive_record(dest, max, wait, failure);
    // Records already read ahead come along, so that a large body arrives in pieces as
    // large as a plain receive's rather than a record each. After a full record more of a
    // bulk transfer has usually reached the socket while it was decrypted: that is asked
    // for too (a small request's record asks for nothing more). A failure among them is
    // the next call's result.
    ssize_t last = got;
    while (got > 0 && static_cast<size_t>(got) < max &&
           (SSL_has_pending(ssl_) == 1 || last == SSL3_RT_MAX_PLAIN_LENGTH)) {
        short more_wait = POLLIN;
        last = receive_record(static_cast<unsigned char*>(dest) + got,
                              max - static_cast<size_t>(got), &more_wait, &deferred_failure_);
        if (last <= 0) {
            deferred_ = last;
            break;
        }
        got += last;
    }
    return got;
}

ssize_t TlsTransport::receive_record(void* dest, size_t max, short* wait, Failure* failure) {
    ERR_clear_error();
    const int n = SSL_read(ssl_, dest, static_cast<int>(std::min<size_t>(max, INT_MAX)));
    if (n > 0) return n;
    const int saved_errno = errno;
    switch (error_of(n)) {
    case SSL_ERROR_WANT_READ: *wait = POLLIN; return kWouldBlock;
    case SSL_ERROR_WANT_WRITE: *wait = POLLOUT; return kWouldBlock;
    case SSL_ERROR_ZERO_RETURN: return kPeerClosed;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0 && saved_errno != 0) {
            *failure = {ConnFailure::kIo, std::string("recv: ") + strerror(saved_errno)};
            return kFailed;
        }
        return kPeerClosed;
    }
    // A close without close_notify is how most clients end: a close like a plain one.
    if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return kPeerClosed;
    }
    *failure = {ConnFailure::kTls, "TLS: " + tls_error_reason("receive failed")};
    return kFailed;
}

ssize_t TlsTransport::send(const unsigned char* src, size_t n, short* wait, Failure* failure) {
    if (outbox_) return send_batch(src, n, nullptr, 0, wait, failure);
    return send_record(src, n, wait, failure);
}

ssize_t TlsTransport::send_record(const unsigned char* src, size_t n, short* wait,
                                  Failure* failure) {
    ERR_clear_error();
    const int sent = SSL_write(ssl_, src, static_cast<int>(std::min<size_t>(n, INT_MAX)));
    if (sent > 0) return sent;
    const int saved_errno = errno;
    switch (error_of(sent)) {
    case SSL_ERROR_WANT_WRITE: *wait = POLLOUT; return kWouldBlock;
    case SSL_ERROR_WANT_READ: *wait = POLLIN; return kWouldBlock;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0) {
            *failure = {ConnFailure::kIo, std::string("send: ") + strerror(saved_errno)};
            return kFailed;
        }
        break;
    }
    *failure = {ConnFailure::kTls, "TLS: " + tls_error_reason("send failed")};
    return kFailed;
}

ssize_t TlsTransport::send_pair(const unsigned char* head, size_t head_len,
                                const unsigned char* body, size_t body_len, short* wait,
                                Failure* failure) {
    if (outbox_) return send_batch(head, head_len, body, body_len, wait, failure);
    // The record is put together in a buffer of the thread. A send the socket had no room
    // for is tried again with the same bytes put together anew, which OpenSSL takes (the
    // context lets the write buffer move).
    thread_local unsigned char record[SSL3_RT_MAX_PLAIN_LENGTH];
    if (head_len >= sizeof record) return send_record(head, head_len, wait, failure);
    const size_t take = std::min(body_len, sizeof record - head_len);
    memcpy(record, head, head_len);
    memcpy(record + head_len, body, take);
    return send_record(record, head_len + take, wait, failure);
}

ssize_t TlsTransport::send_batch(const unsigned char* head, size_t head_len,
                                 const unsigned char* body, size_t body_len, short* wait,
                                 Failure* failure) {
    Outbox& box = *outbox_;
    size_t done = 0;
    if (!flush(failure)) return kFailed;
    if (box.empty()) {
        done = box.sent_records();
        box.drained();
        if (done > 0) return static_cast<ssize_t>(done);
        // Full records, the first made of the rest of `head` and the start of `body` when
        // both are there, so that no record but a reply's last is small. Each SSL_write
        // makes one record (partial writes are on), which the outbox takes whole. It is
        // offered all the plaintext that follows, not one record's worth: OpenSSL gives
        // its write buffer back after a write that took everything it was offered, so
        // offering one record at a time freed and allocated that buffer for every record.
        thread_local unsigned char joined[SSL3_RT_MAX_PLAIN_LENGTH];
        const size_t total = head_len + body_len;
        ERR_clear_error();
        for (size_t at = 0; at < total && box.count < kBatchRecords;) {
            size_t n = total - at;
            const unsigned char* p = at < head_len ? head + at : body + (at - head_len);
            if (at < head_len && head_len - at < std::min(n, sizeof joined)) {
                n = std::min(n, sizeof joined);
                memcpy(joined, head + at, head_len - at);
                memcpy(joined + (head_len - at), body, n - (head_len - at));
                p = joined;
            } else if (at < head_len) {
                n = head_len - at;
            }
            const int w = SSL_write(ssl_, p, static_cast<int>(std::min<size_t>(n, INT_MAX)));
            if (w <= 0) {
                error_of(w);
                *failure = {ConnFailure::kTls, "TLS: " + tls_error_reason("send failed")};
                return kFailed;
            }
            box.records[box.count++] = {box.len, static_cast<size_t>(w)};
            at += static_cast<size_t>(w);
        }
        if (!flush(failure)) return kFailed;
    }
    done = box.sent_records();
    if (box.empty()) box.drained();
    if (done > 0) return static_cast<ssize_t>(done);
    *wait = POLLOUT;
    return kWouldBlock;
}

bool TlsTransport::flush(Failure* failure) {
    Outbox& box = *outbox_;
    while (!box.empty()) {
        const size_t want = box.len - box.sent;
        const ssize_t n =
            ::send(fd_, box.bytes.get() + box.sent, want, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            broken_ = true;  // no close_notify on a socket that failed
            *failure = {ConnFailure::kIo, std::string("send: ") + strerror(errno)};
            return false;
        }
        if (n > 0) box.sent += static_cast<size_t>(n);
        if (n <= 0 || static_cast<size_t>(n) < want) break;  // the socket is full
    }
    return true;
}

void TlsTransport::flush_once() {
    Failure ignored;
    if (outbox_) flush(&ignored);
}

bool TlsTransport::holds_input() const {
    return deferred_ != kWouldBlock || SSL_has_pending(ssl_) == 1;
}

bool TlsTransport::data_pending() {
    if (SSL_pending(ssl_) > 0) return true;
    // Only data counts: a close_notify after the request is a close, as a FIN is.
    unsigned char c;
    ERR_clear_error();
    const int n = SSL_peek(ssl_, &c, 1);
    if (n <= 0) error_of(n);
    ERR_clear_error();
    return n > 0;
}

std::string TlsTransport::description() const {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
    return std::string(SSL_get_version(ssl_)) + " " +
           (cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "?") +
           (SSL_session_reused(ssl_) == 1 ? ", resumed" : "");
}

bool TlsTransport::ktls_send() const { return BIO_get_ktls_send(SSL_get_wbio(ssl_)) == 1; }

bool TlsTransport::ktls_receive() const { return BIO_get_ktls_recv(SSL_get_rbio(ssl_)) == 1; }

bool cert_common_name(X509* cert, std::string* name, std::string* why) {
    X509_NAME* subject = cert != nullptr ? X509_get_subject_name(cert) : nullptr;
    const int at =
        subject != nullptr ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
    if (at < 0) {
        *why = "the certificate's subject has no commonName";
        return false;
    }
    unsigned char* utf8 = nullptr;
    const int n =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
    if (n < 0) {
        ERR_clear_error();
        *why = "the certificate's commonName is not valid text";
        return false;
    }
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    bool control = false;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        control = control || byte < 0x20 || byte == 0x7F;
    }
    if (text.empty() || text.size() > TlsContext::kMaxCertName || control) {
        *why = "the certificate's commonName is empty, longer than " +
               std::to_string(TlsContext::kMaxCertName) + " bytes or holds a control character";
        return false;
    }
    *name = std::move(text);
    return true;
}

}  // namespace gavo::server
