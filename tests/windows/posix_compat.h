// Force-included into the library's tests on Windows (MinGW-w64): the few POSIX calls and
// names the Linux tests use directly, in Windows terms, so that the test sources stay as
// they are. Test cases that pin Linux-only behaviour are skipped by name (tests.cmake).
#pragma once

#include "port/system.h"

// After port/system.h, which brings <winsock2.h> before <windows.h>.
#include <direct.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

inline int mkdir(const char* path, int) { return _mkdir(path); }

// MinGW's truncate takes 32 bits.
#define truncate gavo_test_truncate
inline int gavo_test_truncate(const char* path, long long length) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ENOENT;
        return -1;
    }
    LARGE_INTEGER at;
    at.QuadPart = length;
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return ok ? 0 : -1;
}

inline struct tm* localtime_r(const time_t* t, struct tm* out) {
    return localtime_s(out, t) == 0 ? out : nullptr;
}

inline int link(const char* from, const char* to) {
    return CreateHardLinkA(to, from, nullptr) ? 0 : -1;
}

inline int getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
    return ::getsockopt(static_cast<SOCKET>(static_cast<intptr_t>(fd)), level, name,
                        static_cast<char*>(value), len);
}

// Names Windows lacks, for test cases skipped there: the Linux numbers.
#ifndef EDQUOT
#define EDQUOT 122
#endif
#ifndef F_GETFD
#define F_GETFD 1
#define FD_CLOEXEC 1
inline int fcntl(int, int) { return 0; }
#endif
