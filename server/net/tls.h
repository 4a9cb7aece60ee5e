// TLS for the file port: the server's certificate, key and (optionally) the authorities
// whose client certificates it accepts, loaded from PEM files into one OpenSSL context
// that new connections take their TLS sessions from.
//
// The context speaks TLS 1.3 only (every peer is one of ours, built with the same
// OpenSSL), prefers AES-128-GCM (the cheapest suite on machines with AES instructions,
// and one the kernel can take over), asks OpenSSL for kernel TLS offload, and hands
// out session tickets so that a reconnecting client skips the full handshake. A reload
// builds a new context; connections keep the one they started with.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

#include "server/base/config.h"
#include "server/net/transport.h"

namespace gavo::server {

class TlsContext {
public:
    // Longest subject commonName taken as a client's name, in bytes.
    static constexpr size_t kMaxCertName = 255;

    // The context of config's tls_cert, tls_key and tls_client_ca; null with `error` set
    // when a file cannot be read or used, or the key does not match the certificate.
    static std::shared_ptr<TlsContext> load(const ServerConfig& config, std::string* error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* get() const { return ctx_; }
    // True when every client must present a certificate of a trusted authority.
    bool verifies_clients() const { return verifies_clients_; }
    // For the start and reload lines: "certificate CN=gavo.example (until Jan  1
    // 00:00:00 2027 GMT), client certificates required (ca.pem)".
    const std::string& summary() const { return summary_; }

private:
    TlsContext() = default;
    SSL_CTX* ctx_ = nullptr;
    bool verifies_clients_ = false;
    std::string summary_;
};

// A connection's TLS session, the server's side: the handshake in steps, then records
// over the socket without waiting. OpenSSL reads the socket itself, and writes it during
// the handshake (so the serving thread must not take SIGPIPE; the event loop's pool
// threads block it). After the handshake, unless the kernel encrypts, the records of a
// send are collected and leave together in one send(MSG_NOSIGNAL): a 64 KiB chunk of a
// reply is one socket write instead of one per 16 KiB record.
class TlsTransport final : public Transport {
public:
    // A session of `tls` on the socket `fd`, which is made non-blocking. Null with
    // `failure` when OpenSSL or the socket refuses.
    static std::unique_ptr<TlsTransport> open(const TlsContext& tls, int fd, Failure* failure);
    // Sends a close_notify, one attempt without waiting, when the session is still sound.
    ~TlsTransport() override;
    TlsTransport(const TlsTransport&) = delete;
    TlsTransport& operator=(const TlsTransport&) = delete;

    // One step of the handshake: 1 done, 0 to be called again once the socket shows
    // `*wait`, -1 failed with `failure` (its text for the log: "handshake refused").
    int accept(short* wait, Failure* failure);
    // Plaintext bytes one send takes at most: five records, so that a 64 KiB chunk and
    // the few bytes of a reply's count before it leave in one socket write.
    static constexpr size_t kBatchRecords = 5;
    // After the handshake: the client certificate's name (see cert_common_name).
    bool peer_name(std::string* name, std::string* why) const;

    ssize_t receive(void* dest, size_t max, short* wait, Failure* failure) override;
    ssize_t send(const unsigned char* src, size_t n, short* wait, Failure* failure) override;
    // Sends `head` and the first bytes of `body` as one full record, so that no record
    // of a large reply is small, and further records of `body` with it; the caller sends
    // the rest of `body`.
    ssize_t send_pair(const unsigned char* head, size_t head_len, const unsigned char* body,
                      size_t body_len, short* wait, Failure* failure) override;
    bool holds_input() const override;
    bool data_pending() override;
    bool encrypted() const override { return true; }
    std::string description() const override;
    bool ktls_send() const override;
    bool ktls_receive() const override;

    struct Outbox;

private:
    TlsTransport(SSL* ssl, int fd);
    // SSL_get_error of `ret`, remembering a fatal error (no close_notify may follow).
    int error_of(int ret);
    // The handshake's failure, from OpenSSL's error `e` and the errno of the failed call.
    Failure handshake_failure(int e, int saved_errno);
    // One SSL_read: at most one record's data, with receive()'s results.
    ssize_t receive_record(void* dest, size_t max, short* wait, Failure* failure);
    // One SSL_write straight to the socket (the handshake's layer, or the kernel's).
    ssize_t send_record(const unsigned char* src, size_t n, short* wait, Failure* failure);
    // Through the outbox: sends what an earlier call left there, or else encrypts up to
    // kBatchRecords records of `head` then `body` into it and sends them. The count of
    // plaintext bytes whose records are wholly on the socket; records still in the
    // outbox stand for the next bytes the caller offers, which it offers again.
    ssize_t send_batch(const unsigned char* head, size_t head_len, const unsigned char* body,
                       size_t body_len, short* wait, Failure* failure);
    // Puts what the outbox holds on the socket, as far as it takes it without waiting.
    // False with `failure` when the socket failed.
    bool flush(Failure* failure);
    // One flush attempt for what OpenSSL wrote on its own (an alert, a close_notify).
    void flush_once();

    SSL* const ssl_;
    const int fd_;
    std::unique_ptr<Outbox> outbox_;  // after the handshake, unless the kernel encrypts
    bool broken_ = false;             // a fatal TLS error came: no close_notify
    // A close or failure met after data in one receive, returned by the next one.
    ssize_t deferred_ = kWouldBlock;
    Failure deferred_failure_;
};

// The name a verified client certificate stands for: its subject's first commonName as
// UTF-8. False with `why` when it has none, or one that is empty, longer than
// kMaxCertName, or holds a control character (it becomes a key and a log field).
bool cert_common_name(X509* cert, std::string* name, std::string* why);

// The reason of the last OpenSSL error of this thread ("wrong version number"), or
// `fallback` when it has none; clears the thread's error queue.
std::string tls_error_reason(const std::string& fallback);

}  // namespace gavo::server
