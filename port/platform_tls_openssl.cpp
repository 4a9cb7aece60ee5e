// The TLS calls of the platform seam on POSIX, with OpenSSL: a call over OpenSSL's own
// socket layer runs with SIGPIPE held off the calling thread (that layer writes without
// MSG_NOSIGNAL); every call runs again while a signal interrupts the socket call beneath
// it.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>

#include <cerrno>
#include <optional>

#include "port/platform.h"

namespace gavo {

namespace {

// Holds SIGPIPE off the calling thread for one TLS call. A SIGPIPE that the call raised is
// taken off the thread before its mask is restored, so the host never sees it; one that
// was already pending stays for the host.
class SigpipeHold {
public:
    SigpipeHold() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeHold() {
        int saved = errno;
        sigset_t pending;
        sigpending(&pending);
        if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
            struct timespec zero = {0, 0};
            sigtimedwait(&pipe_, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    SigpipeHold(const SigpipeHold&) = delete;
    SigpipeHold& operator=(const SigpipeHold&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool was_pending_ = false;
};

// Runs one TLS call, again while a signal interrupts the socket call beneath it. The
// hold costs four system calls, so it is taken only where OpenSSL writes: over its own
// socket layer (the handshake, kernel TLS). The library's own layer sends with
// MSG_NOSIGNAL.
template <typename Call>
int retry_tls(ssl_st* ssl, Call call) {
    std::optional<SigpipeHold> hold;
    if (BIO_method_type(SSL_get_wbio(ssl)) == BIO_TYPE_SOCKET) hold.emplace();
    int r;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        r = call();
        if (r > 0 || errno != EINTR) return r;
        int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_SYSCALL)
            return r;
    }
}

}  // namespace

int Platform::tls_connect(ssl_st* ssl) {
    return retry_tls(ssl, [&] { return SSL_connect(ssl); });
}

int Platform::tls_read(ssl_st* ssl, void* buf, int n) {
    return retry_tls(ssl, [&] { return SSL_read(ssl, buf, n); });
}

int Platform::tls_write(ssl_st* ssl, const void* buf, int n) {
    return retry_tls(ssl, [&] { return SSL_write(ssl, buf, n); });
}

int Platform::tls_shutdown(ssl_st* ssl) {
    return retry_tls(ssl, [&] { return SSL_shutdown(ssl); });
}

}  // namespace gavo
