// The one seam between the library and the operating system.
//
// Every file, socket, clock, sleep, lock and process call of net/, runtime/ and nfile/ goes
// through this header. One interface, one implementation per system, chosen by the build:
// port/platform_posix.cpp (Linux) and port/platform_windows.cpp (Windows, built with
// MinGW-w64); port/platform_tls_openssl.cpp or port/platform_tls_none.cpp add the TLS calls.
// Only the headers named in port/system.h differ between them.
//
// Every call behaves like the POSIX call it is named after: -1 (or null) with errno set on
// failure, interrupted calls retried. On Windows errno carries, for a socket call, the
// socket library's own number (WSAGetLastError), so that the trace log and the error log
// show the reference platform's numbers; for a file call, the errno whose Windows number
// (proto/os_error.h) is the one the system gave, or one of the same meaning. Tests install a
// derived Platform (see tests/test_support.h) to count calls and inject failures; nothing
// a user can configure reaches this seam.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "port/system.h"

struct ssl_st;  // OpenSSL's connection object, for the TLS calls below

namespace gavo {

// What other opens of a file may do while an open holds it: the share modes of Windows.
enum class FileShare {
    kNone,      // nobody else may read or write
    kRead,      // others may read
    kWrite,     // others may write
    kReadWrite  // others may read and write
};

// A recursive mutex of the system (see mutex_lock below).
struct PlatformMutex;

class Platform {
public:
    virtual ~Platform();

    // Files, always in binary mode: bytes pass unchanged. `share` holds off other opens of
    // the file where the system enforces sharing (sharing_is_system_wide()); elsewhere it
    // is not enforced here.
    virtual int open(const char* path, int flags, mode_t mode,
                     FileShare share = FileShare::kReadWrite);
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buf, size_t n);
    virtual ssize_t write(int fd, const void* buf, size_t n);
    virtual off_t lseek(int fd, off_t offset, int whence);
    // st_mode (file or folder) and st_size are filled everywhere; st_dev and st_ino
    // identify a file only where sharing is not system-wide.
    virtual int fstat(int fd, struct stat* st);
    virtual int stat(const char* path, struct stat* st);
    virtual int mkdir(const char* path, mode_t mode);
    virtual int unlink(const char* path);
    // Renames without ever replacing an existing entry (EEXIST when the target exists).
    virtual int rename_noreplace(const char* from, const char* to);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    // Byte-range locks of an open file that stay with its open file description (Linux
    // F_OFD_SETLK): they go with its last descriptor, and two descriptors of one process
    // hold each other off as two processes do. The library holds the sharing rules with
    // them where the system does not (sharing_is_system_wide() false). `exclusive` asks
    // for a write lock (the file must be open for writing), else a read lock (open for
    // reading). -1 with errno EAGAIN when another lock is in the way; ENOSYS on Windows.
    virtual int lock_range(int fd, bool exclusive, int64_t start, int64_t len);
    virtual int unlock_range(int fd, int64_t start, int64_t len);
    // 1 when a lock of another open file description lies in the range, 0 when none, -1
    // with errno set on failure.
    virtual int range_locked_elsewhere(int fd, int64_t start, int64_t len);
    // Text streams of the error log and the trace log, opened close-on-exec ("a+": line
    // ends as the system's text files have them, CR LF on Windows).
    virtual FILE* fopen(const char* path, const char* mode);

    // Sockets. send() never raises SIGPIPE. The socket library is started (once per
    // process, never shut down) by the first of these calls where the system needs that.
    virtual int socket(int domain, int type, int protocol);
    virtual int connect(int fd, const struct sockaddr* addr, socklen_t len);
    virtual ssize_t send(int fd, const void* buf, size_t n);
    virtual ssize_t recv(int fd, void* buf, size_t n);
    // Waits until fd is readable: >0 ready, 0 time-out, <0 error. Any socket the calls
    // above made can be waited for, whatever its number.
    virtual int wait_readable(int fd, int seconds);
    virtual int shutdown(int fd, int how);
    // TCP keepalive: probes after `idle_s` seconds without traffic, then every
    // `interval_s`; the connection is dead after `probes` unanswered ones or when sent
    // data stays unacknowledged for `dead_ms`, where the system lets these be set. Stops
    // at the first option refused: -1 with errno set.
    virtual int set_keepalive(int fd, int idle_s, int interval_s, int probes, int dead_ms);
    // Bounds every receive on fd to `seconds`; an expired receive fails.
    virtual int set_receive_timeout(int fd, int seconds);
    virtual int close_socket(int fd);
    // Name lookups, thread-safe. Each returns 0 on success, -1 when not found.
    virtual int lookup_host(const char* name, struct in_addr* out);  // IPv4 by name
    virtual int lookup_service(const char* name, const char* proto, uint16_t* port_net);
    virtual int lookup_protocol(const char* name, int* number);
    // TLS over a connected socket: SSL_connect, SSL_read, SSL_write and SSL_shutdown,
    // with their results. OpenSSL's own socket layer writes without MSG_NOSIGNAL, so while
    // the session uses it SIGPIPE is held off the calling thread for the call (a session
    // moved onto a layer that sends with send() above needs no hold); interrupted calls
    // are retried; the OpenSSL error queue is cleared before each call, so SSL_get_error
    // can follow it.
    // A build without TLS fails them (ENOSYS); the library never calls them there.
    virtual int tls_connect(ssl_st* ssl);
    virtual int tls_read(ssl_st* ssl, void* buf, int n);
    virtual int tls_write(ssl_st* ssl, const void* buf, int n);
    virtual int tls_shutdown(ssl_st* ssl);

    // Memory: `count` zero-filled objects of `size` bytes, as calloc; null when memory is
    // exhausted. Freed with std::free.
    virtual void* allocate(size_t count, size_t size);
    // A new recursive mutex (unnamed, not owned); null when the system cannot make one.
    virtual PlatformMutex* mutex_create();

    // Process.
    virtual time_t now();
    virtual void sleep_ms(int ms);
    // Folder of the host executable, ending in its separator ('/' or '\'); "" when it
    // cannot be found.
    virtual std::string exe_dir();
};

// The platform in use: the system's own unless a test installed another.
Platform& platform();

// Takes `mutex` without time limit: 0 once the calling thread owns it (it may take it
// again, and must release it as often), 1 when it owns it because the thread that owned
// it ended while holding it (it then owns it once), -1 when the wait failed.
int mutex_lock(PlatformMutex* mutex);
// Releases one hold of `mutex`: 0, or -1 when the calling thread does not hold it.
int mutex_unlock(PlatformMutex* mutex);
// Frees `mutex` (null is allowed); no thread may hold or wait for it.
void mutex_destroy(PlatformMutex* mutex);

// True where the system itself holds off conflicting opens (Platform::open's `share`) in
// every process, as Windows does; false where the library must keep its own table.
bool sharing_is_system_wide();
// `t` as local calendar time; false when it cannot be converted.
bool local_time(time_t t, struct tm* out);
// Hands one line of the trace log to the system's debugger output (OutputDebugStringA on
// Windows); nothing where the system has no such output.
void debug_output(const char* line);

// The calling thread's last socket error, as the transport noted it at the moment of the
// failure (errno itself is overwritten by later file calls): the errno of the failed
// socket call, WSAGetLastError's number on Windows.
int last_socket_error();
void note_socket_error(int err);

// Installs `p` (or the system's platform again when null). Test use only; not
// thread-safe: call before the threads that use the library start.
void set_platform(Platform* p);
// How often set_platform has run (0 for a process that never called it). Records kept
// once per process that depend on the platform, like the trace log's folder, are taken
// afresh when the platform changes.
unsigned platform_installs();

}  // namespace gavo
