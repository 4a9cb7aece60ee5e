// The TLS calls of the platform seam in a build without TLS (GAVO_WITH_TLS off): the
// library refuses [TLS] ENABLE=1 at NFile_Init and never makes these calls.
#include <cerrno>

#include "port/platform.h"

namespace gavo {

namespace {

int no_tls() {
    errno = ENOSYS;
    return -1;
}

}  // namespace

int Platform::tls_connect(ssl_st*) { return no_tls(); }
int Platform::tls_read(ssl_st*, void*, int) { return no_tls(); }
int Platform::tls_write(ssl_st*, const void*, int) { return no_tls(); }
int Platform::tls_shutdown(ssl_st*) { return no_tls(); }

}  // namespace gavo
