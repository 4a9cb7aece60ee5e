// The one seam between the library and the operating system.
//
// Every file, socket, clock, sleep and process call of net/, runtime/ and nfile/ goes
// through platform(). The POSIX implementation retries EINTR and otherwise behaves like
// the system call it wraps: -1 (or null) with errno set on failure. Tests install a
// derived Platform (see tests/test_support.h) to count calls and inject failures;
// nothing a user can configure reaches this seam.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

struct ssl_st;  // OpenSSL's connection object, for the TLS calls below

namespace gavo {

class Platform {
public:
    virtual ~Platform();

    // Files.
    virtual int open(const char* path, int flags, mode_t mode);
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buf, size_t n);
    virtual ssize_t write(int fd, const void* buf, size_t n);
    virtual off_t lseek(int fd, off_t offset, int whence);
    virtual int fstat(int fd, struct stat* st);
    virtual int stat(const char* path, struct stat* st);
    virtual int mkdir(const char* path, mode_t mode);
    virtual int unlink(const char* path);
    // Renames without ever replacing an existing entry (EEXIST when the target exists).
    virtual int rename_noreplace(const char* from, const char* to);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    // Text streams of the error log and the trace log, opened close-on-exec.
    virtual FILE* fopen(const char* path, const char* mode);

    // Sockets. send() never raises SIGPIPE.
    virtual int socket(int domain, int type, int protocol);
    virtual int connect(int fd, const struct sockaddr* addr, socklen_t len);
    virtual ssize_t send(int fd, const void* buf, size_t n);
    virtual ssize_t recv(int fd, void* buf, size_t n);
    // Waits until fd is readable: >0 ready, 0 time-out, <0 error.
    virtual int wait_readable(int fd, int seconds);
    virtual int shutdown(int fd, int how);
    // Sets one socket option, as setsockopt() does.
    virtual int setsockopt(int fd, int level, int name, const void* value, socklen_t len);
    virtual int close_socket(int fd);
    // Name lookups, thread-safe. Each returns 0 on success, -1 when not found.
    virtual int lookup_host(const char* name, struct in_addr* out);  // IPv4 by name
    virtual int lookup_service(const char* name, const char* proto, uint16_t* port_net);
    virtual int lookup_protocol(const char* name, int* number);
    // TLS over a connected socket: SSL_connect, SSL_read, SSL_write and SSL_shutdown,
    // with their results. OpenSSL writes to the socket without MSG_NOSIGNAL, so SIGPIPE
    // is held off the calling thread for the call; interrupted calls are retried; the
    // OpenSSL error queue is cleared before each call, so SSL_get_error can follow it.
    virtual int tls_connect(ssl_st* ssl);
    virtual int tls_read(ssl_st* ssl, void* buf, int n);
    virtual int tls_write(ssl_st* ssl, const void* buf, int n);
    virtual int tls_shutdown(ssl_st* ssl);

    // Memory: `count` zero-filled objects of `size` bytes, as calloc; null when memory is
    // exhausted. Freed with std::free.
    virtual void* allocate(size_t count, size_t size);
    // Initialises `mutex` with `attr`, as pthread_mutex_init: 0 or an error number.
    virtual int mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr);

    // Process.
    virtual time_t now();
    virtual void sleep_ms(int ms);
    // Folder of the host executable, ending in '/'; "" when it cannot be found.
    virtual std::string exe_dir();
};

// The platform in use: the POSIX one unless a test installed another.
Platform& platform();

// The errno of the calling thread's last failed socket call, as the transport noted it
// at the moment of the failure (errno itself is overwritten by later file calls).
int last_socket_error();
void note_socket_error(int err);

// Installs `p` (or the POSIX platform again when null). Test use only; not thread-safe:
// call before the threads that use the library start.
void set_platform(Platform* p);
// How often set_platform has run (0 for a process that never called it). Records kept
// once per process that depend on the platform, like the trace log's folder, are taken
// afresh when the platform changes.
unsigned platform_installs();

}  // namespace gavo
