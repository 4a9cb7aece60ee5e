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

// The name a verified client certificate stands for: its subject's first commonName as
// UTF-8. False with `why` when it has none, or one that is empty, longer than
// kMaxCertName, or holds a control character (it becomes a key and a log field).
bool cert_common_name(X509* cert, std::string* name, std::string* why);

// The reason of the last OpenSSL error of this thread ("wrong version number"), or
// `fallback` when it has none; clears the thread's error queue.
std::string tls_error_reason(const std::string& fallback);

}  // namespace gavo::server
