// The system headers behind the platform seam: the types its interface names (files,
// sockets, addresses) and the socket constants the transport uses (AF_INET, SOCK_STREAM,
// SHUT_RDWR, htons, inet_addr, INADDR_NONE). The only file outside the seam's
// implementations that knows which system it is built for.
#pragma once

#if defined(_WIN32)
// Windows, built with MinGW-w64 (sys/types.h gives ssize_t, off_t and mode_t; the build
// sets _FILE_OFFSET_BITS=64 so that off_t and st_size have 64 bits). With it, MinGW's
// headers rename stat, fstat, lseek and ftruncate to their 64-bit calls by macro, the
// seam's methods of those names included: all three headers come first here, so that
// every file that sees the seam sees the same names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#ifndef SHUT_RDWR
#define SHUT_RD SD_RECEIVE
#define SHUT_WR SD_SEND
#define SHUT_RDWR SD_BOTH
#endif
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#endif
