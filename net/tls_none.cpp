// The TLS layer of a build without TLS (GAVO_WITH_TLS off, as on Windows, where Debian has
// no MinGW build of OpenSSL): the same interface, no session is ever made. NFile_Init
// refuses [TLS] ENABLE=1 (runtime/tls_config.cpp), so the channels stay plain TCP.
#include <cerrno>

#include "net/tls.h"

struct NetTls {};

bool net_tls_available() { return false; }

NetTls* net_tls_create(const NetTlsSettings&, NetTlsError* error) {
    error->reason = "this build has no TLS";
    return nullptr;
}

void net_tls_destroy(NetTls* tls) { delete tls; }

void net_tls_forget(NetTlsResume* resume) { resume->session = nullptr; }

int net_tls_start(int, NetTls*, NetTlsResume*, ssl_st**) { return -1; }

ssize_t net_tls_send(ssl_st*, const void*, size_t, int32_t* broken) {
    *broken = 1;
    errno = ENOSYS;
    return -1;
}

ssize_t net_tls_recv(ssl_st*, void*, size_t, int32_t* broken) {
    *broken = 1;
    errno = ENOSYS;
    return -1;
}

bool net_tls_pending(const ssl_st*) { return false; }

void net_tls_end(ssl_st** session, bool) { *session = nullptr; }
