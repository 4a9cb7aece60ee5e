// Windows stand-in for <netinet/tcp.h>, for the library's tests built with MinGW-w64. The
// keepalive option names have no Winsock counterpart that Wine accepts (the library uses
// SIO_KEEPALIVE_VALS there); the numbers are Linux's, for tests skipped on Windows.
#pragma once
#include "port/system.h"
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE 4
#define TCP_KEEPINTVL 5
#define TCP_KEEPCNT 6
#endif
#ifndef TCP_USER_TIMEOUT
#define TCP_USER_TIMEOUT 18
#endif
