// The client's TLS: the context, the handshake with session resumption, and sending and
// receiving through a connection's session.
#include "net/tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "net/trace_log.h"
#include "port/platform.h"

struct NetTls {
    SSL_CTX* ctx = nullptr;
    std::string server_name;
    bool name_is_address = false;
};

namespace {

// OpenSSL's reason for the last failure, or `fallback` when it gave none.
std::string openssl_reason(const char* fallback) {
    unsigned long e = ERR_peek_last_error();
    const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : fallback;
}

bool fail(NetTlsError* error, const char* key, const char* fallback) {
    error->key = key;
    error->reason = openssl_reason(fallback);
    return false;
}

bool is_address(const std::string& name) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, name.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

// Keeps the session a server just offered in the slot of the connection's channel; the
// slot then holds the reference (1). Without a slot OpenSSL frees it (0).
int keep_session(SSL* ssl, SSL_SESSION* session) {
    auto* resume = static_cast<NetTlsResume*>(SSL_get_app_data(ssl));
    if (resume == nullptr) return 0;
    if (resume->session != nullptr) SSL_SESSION_free(resume->session);
    resume->session = session;
    return 1;
}

// Protocol floor, verification, kernel offload and the client session cache.
bool configure(SSL_CTX* ctx) {
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1) return false;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    // A peer that closes without close_notify reads as a closed connection, as on plain
    // TCP: every request and reply has its own length, so a cut shows as a short reply.
    SSL_CTX_set_options(ctx, SSL_OP_ENABLE_KTLS | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, keep_session);
    // Reads take what the socket holds, several records at once, instead of a record's
    // header and then its body: half the receive calls on a bulk read.
    SSL_CTX_set_read_ahead(ctx, 1);
    // Room for four full records, so that one receive takes a bulk reply's 64 KiB chunk.
    SSL_CTX_set_default_read_buffer_len(ctx, 4 * SSL3_RT_MAX_PLAIN_LENGTH);
    return true;
}

bool load_trust(SSL_CTX* ctx, const NetTlsSettings& s, NetTlsError* error) {
    int ok = s.ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                               : SSL_CTX_load_verify_locations(ctx, s.ca_file.c_str(), nullptr);
    return ok == 1 || fail(error, "CA_FILE", "cannot load the authorities");
}

// The host's certificate and key; the key file defaults to the certificate file.
bool load_identity(SSL_CTX* ctx, const NetTlsSettings& s, NetTlsError* error) {
    if (s.cert_file.empty()) {
        return s.key_file.empty() || fail(error, "CERT_FILE", "key without a certificate");
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, s.cert_file.c_str()) != 1)
        return fail(error, "CERT_FILE", "cannot load the certificate");
    const std::string& key = s.key_file.empty() ? s.cert_file : s.key_file;
    if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        // OpenSSL checks the pair while loading the key, too.
        bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
        error->key_mismatch = mismatch;
        return fail(error, "KEY_FILE", "cannot load the key");
    }
    if (SSL_CTX_check_private_key(ctx) == 1) return true;
    error->key_mismatch = true;
    return fail(error, "KEY_FILE", "key does not match the certificate");
}

// The name the server's certificate must carry: an IP entry for an address, a DNS entry
// (and SNI) for a name.
bool set_peer_name(SSL* ssl, const NetTls* tls) {
    const char* name = tls->server_name.c_str();
    if (tls->name_is_address) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name) == 1;
    return SSL_set_tlsext_host_name(ssl, name) == 1 && SSL_set1_host(ssl, name) == 1;
}

// Notes the socket error of a failed TLS call and marks what it left behind in *broken. A
// failed socket call keeps its errno; an expired receive time-out keeps EAGAIN; anything
// else is TLS refusing or breaking the connection. OpenSSL's error queue is left for the
// caller.
int note_failure(SSL* ssl, int result, int32_t* broken) {
    int saved = errno;
    int kind = SSL_get_error(ssl, result);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) return saved;
    *broken = 1;
    return kind == SSL_ERROR_SYSCALL && saved != 0 ? saved : kTlsFailed;
}

// The socket error of a failed send or receive. When TLS broke the connection (an alert
// from the server, such as its refusal of the host's certificate, which TLS 1.3 sends
// after the host's handshake is done), the reason gets a trace line of its own before
// the primitive's line.
int io_failure(SSL* ssl, int result, int32_t* broken) {
    int err = note_failure(ssl, result, broken);
    if (err == kTlsFailed) net_log("net_tls connection broken: %s", openssl_reason("TLS").c_str());
    ERR_clear_error();
    return err;
}

// The trace line of a failed handshake: the verification result when the certificate was
// refused, else OpenSSL's reason.
void trace_refusal(SSL* ssl, int err) {
    long verify = SSL_get_verify_result(ssl);
    std::string why = verify != X509_V_OK ? X509_verify_cert_error_string(verify)
                                          : openssl_reason(std::strerror(err));
    net_log("net_tls handshake failed code %d: %s", err, why.c_str());
}

int ktls_state(BIO* bio, bool send) {
#ifdef BIO_get_ktls_send
    return send ? BIO_get_ktls_send(bio) : BIO_get_ktls_recv(bio);
#else
    (void)bio;
    (void)send;
    return 0;
#endif
}

void trace_handshake(SSL* ssl) {
    char subject[256] = "(none)";
    X509* cert = SSL_get0_peer_certificate(ssl);
    if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    net_log("net_tls %s %s subject=%s resumed=%d ktls_send=%d ktls_recv=%d", SSL_get_version(ssl),
            SSL_get_cipher_name(ssl), subject, SSL_session_reused(ssl),
            ktls_state(SSL_get_wbio(ssl), true), ktls_state(SSL_get_rbio(ssl), false));
}

// The socket layer of an established session that the kernel does not encrypt: send()
// with MSG_NOSIGNAL and recv() through the platform seam. OpenSSL's own socket layer
// writes with write(), which raises SIGPIPE on a connection the peer closed, so every
// TLS call over it must hold SIGPIPE off the thread; over this one no call needs to.
// The records of one send are collected and leave in one send() when it ends (or when
// OpenSSL flushes, as it does after an alert): a 64 KiB buffer is one socket write
// instead of four.
struct SocketLayer {
    // A buffer's records at their largest, and a key update before them.
    static constexpr size_t kRoom =
        4 * (SSL3_RT_HEADER_LENGTH + SSL3_RT_MAX_PLAIN_LENGTH + SSL3_RT_MAX_ENCRYPTED_OVERHEAD) +
        1024;
    int fd;
    size_t held = 0;  // encrypted bytes not yet sent
    unsigned char out[kRoom];
};

SocketLayer* layer_of(BIO* bio) { return static_cast<SocketLayer*>(BIO_get_data(bio)); }

// Sends `n` bytes whole over the blocking socket; false with errno set when it fails.
bool send_whole(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t r = gavo::platform().send(fd, p, n);
        if (r <= 0) {
            if (r == 0) errno = EPIPE;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Sends what is held. On failure the bytes are dropped: part of a record went, so the
// session is broken either way.
bool send_held(SocketLayer* layer) {
    const size_t n = std::exchange(layer->held, 0);
    return send_whole(layer->fd, layer->out, n);
}

int bio_write(BIO* bio, const char* data, int n) {
    BIO_clear_retry_flags(bio);
    SocketLayer* layer = layer_of(bio);
    const auto size = static_cast<size_t>(n);
    if (size > SocketLayer::kRoom - layer->held && !send_held(layer)) return -1;
    if (size > SocketLayer::kRoom) {
        return send_whole(layer->fd, reinterpret_cast<const unsigned char*>(data), size) ? n : -1;
    }
    std::memcpy(layer->out + layer->held, data, size);
    layer->held += size;
    return n;
}

int bio_read(BIO* bio, char* data, int n) {
    BIO_clear_retry_flags(bio);
    ssize_t r = gavo::platform().recv(layer_of(bio)->fd, data, static_cast<size_t>(n));
    // An expired receive time-out reads as "try again", as on OpenSSL's socket layer.
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
    if (r == 0) BIO_set_flags(bio, BIO_FLAGS_IN_EOF);  // the peer closed
    return static_cast<int>(r);
}

long bio_ctrl(BIO* bio, int cmd, long, void* ptr) {
    switch (cmd) {
    case BIO_CTRL_FLUSH: return send_held(layer_of(bio)) ? 1 : 0;
    case BIO_CTRL_WPENDING: return static_cast<long>(layer_of(bio)->held);
    case BIO_CTRL_EOF: return BIO_test_flags(bio, BIO_FLAGS_IN_EOF) != 0 ? 1 : 0;
    case BIO_C_GET_FD:
        if (ptr != nullptr) *static_cast<int*>(ptr) = layer_of(bio)->fd;
        return layer_of(bio)->fd;
    default: return 0;
    }
}

int bio_destroy(BIO* bio) {
    delete layer_of(bio);
    BIO_set_data(bio, nullptr);
    return 1;
}

// The layer's method, made once and kept for the life of the process (sessions may
// outlive any one context).
const BIO_METHOD* socket_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(
            BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "gavo socket");
        if (m != nullptr &&
            (BIO_meth_set_write(m, bio_write) != 1 || BIO_meth_set_read(m, bio_read) != 1 ||
             BIO_meth_set_ctrl(m, bio_ctrl) != 1 || BIO_meth_set_destroy(m, bio_destroy) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

// After the handshake: moves the session onto the layer above unless the kernel took
// a direction over (its offload lives in OpenSSL's socket layer). When no layer can be
// made the session stays where it is, which works too, with SIGPIPE held off each call.
void use_own_socket_layer(SSL* ssl, int fd) {
    if (ktls_state(SSL_get_wbio(ssl), true) == 1 || ktls_state(SSL_get_rbio(ssl), false) == 1)
        return;
    const BIO_METHOD* method = socket_method();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    auto* layer = bio != nullptr ? new (std::nothrow) SocketLayer : nullptr;
    if (layer == nullptr) {
        BIO_free(bio);
        ERR_clear_error();
        return;
    }
    layer->fd = fd;
    BIO_set_data(bio, layer);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);  // frees OpenSSL's socket layer; the socket stays open
}

}  // namespace

bool net_tls_available() { return true; }

NetTls* net_tls_create(const NetTlsSettings& settings, NetTlsError* error) {
    ERR_clear_error();
    auto* tls = new NetTls;
    tls->ctx = SSL_CTX_new(TLS_client_method());
    tls->server_name = settings.server_name;
    tls->name_is_address = is_address(settings.server_name);
    bool ok = tls->ctx != nullptr && configure(tls->ctx);
    if (!ok) fail(error, "", "cannot make a TLS context");
    ok = ok && load_trust(tls->ctx, settings, error) && load_identity(tls->ctx, settings, error);
    if (ok) return tls;
    net_tls_destroy(tls);
    return nullptr;
}

void net_tls_destroy(NetTls* tls) {
    if (tls == nullptr) return;
    SSL_CTX_free(tls->ctx);
    delete tls;
}

void net_tls_forget(NetTlsResume* resume) {
    if (resume->session != nullptr) SSL_SESSION_free(resume->session);
    resume->session = nullptr;
}

int net_tls_start(int fd, NetTls* tls, NetTlsResume* resume, ssl_st** session) {
    ERR_clear_error();
    SSL* ssl = SSL_new(tls->ctx);
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || !set_peer_name(ssl, tls)) {
        gavo::note_socket_error(ENOMEM);
        net_log("net_tls handshake failed code %d: %s", ENOMEM, openssl_reason("setup").c_str());
        SSL_free(ssl);
        return -1;
    }
    SSL_set_app_data(ssl, resume);
    if (resume != nullptr && resume->session != nullptr) SSL_set_session(ssl, resume->session);
    int r = gavo::platform().tls_connect(ssl);
    if (r == 1) {
        trace_handshake(ssl);
        use_own_socket_layer(ssl, fd);
        *session = ssl;
        return 0;
    }
    int32_t broken = 0;  // the connection is closed by the caller either way
    int err = note_failure(ssl, r, &broken);
    if (err == EAGAIN || err == EWOULDBLOCK) err = ETIMEDOUT;  // the receive time-out expired
    gavo::note_socket_error(err);
    trace_refusal(ssl, err);
    SSL_free(ssl);
    return -1;
}

ssize_t net_tls_send(ssl_st* session, const void* buf, size_t n, int32_t* broken) {
    int want = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    int r = gavo::platform().tls_write(session, buf, want);
    // The records collected by the session's own socket layer leave now.
    if (r > 0 && BIO_flush(SSL_get_wbio(session)) != 1) {
        *broken = 1;
        return -1;
    }
    if (r > 0) return r;
    errno = io_failure(session, r, broken);
    return -1;
}

ssize_t net_tls_recv(ssl_st* session, void* buf, size_t n, int32_t* broken) {
    int want = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    int r = gavo::platform().tls_read(session, buf, want);
    if (r > 0) return r;
    if (SSL_get_error(session, r) == SSL_ERROR_ZERO_RETURN) return 0;
    errno = io_failure(session, r, broken);
    return -1;
}

bool net_tls_pending(const ssl_st* session) {
    // Records read ahead but not yet decrypted count too: the socket no longer shows them.
    return session != nullptr && SSL_has_pending(session) == 1;
}

void net_tls_end(ssl_st** session, bool broken) {
    if (*session == nullptr) return;
    // OpenSSL spoils the session of a connection freed without close_notify, so that it
    // cannot be resumed. A connection broken by its socket (the peer gone, a time-out)
    // leaves a sound session: mark the shutdown as done so that the next connection can
    // resume it. One broken by TLS itself had its session spoilt when the alert went.
    if (broken) SSL_set_shutdown(*session, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    else gavo::platform().tls_shutdown(*session);
    SSL_free(*session);
    *session = nullptr;
}
