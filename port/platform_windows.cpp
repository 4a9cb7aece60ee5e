// Windows implementation of the platform seam, built with MinGW-w64: Win32 files with the
// system's share modes, Winsock 2, Win32 mutexes, the profile of the reference platform.
//
// File descriptors are C runtime descriptors around Win32 handles (_open_osfhandle), in
// binary mode; reads, writes, seeks and the rest go to the handle itself. Socket handles
// are kept in an int, as NetConn holds them: they are kernel handles, whose significant
// bits fit in 32 bits on 64-bit Windows too, and INVALID_SOCKET becomes -1.
#include "port/platform.h"

// After port/platform.h, which brings <winsock2.h>: <mstcpip.h> needs it first.
#include <fcntl.h>
#include <io.h>
#include <mstcpip.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

namespace gavo {

namespace {

Platform windows_platform;

// An errno that the translation to Windows numbers (proto/os_error.h) does not know, so
// that it becomes 31 (ERROR_GEN_FAILURE): a failure of no listed meaning.
constexpr int kOtherError = EDOM;

// The errno of a failed file call: the one whose Windows number is the system's, or,
// where no errno leads back to the number, one whose number lies in the same row of the
// library's code table (proto/os_error.cpp), so that the library code stays the same.
int errno_from_windows(DWORD err) {
    switch (err) {
    case ERROR_FILE_NOT_FOUND:  // 2 or 3: the caller looks at the folder to tell them apart
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME: return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_INVALID_HANDLE:
    case 18:  // no more files, and 107: the -102 row
    case 107: return EBADF;
    case ERROR_ACCESS_DENIED:
    case 12:  // invalid access, and the rest of the -103 row without an errno of its own
    case 29:
    case 54:
    case 58:
    case 64:
    case 65:
    case 71:
    case 82:
    case 86:
    case 999: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_READY: return ENXIO;
    case ERROR_CRC:
    case 20:  // bad unit, and the rest of the -105 row
    case 22:
    case 57:
    case 88:
    case 117: return EIO;
    case ERROR_SHARING_VIOLATION: return ETXTBSY;
    case ERROR_LOCK_VIOLATION: return EAGAIN;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_NOT_SUPPORTED: return ENOSYS;
    case ERROR_UNEXP_NET_ERR: return ECONNRESET;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK: return EINVAL;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case 34:  // wrong disk, and the rest of the -107 row
    case 52:
    case 55:
    case 70:
    case 85:
    case 111:
    case 124:
    case 125:
    case 144:
    case 154:
    case 208: return ENAMETOOLONG;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_SEEK_ON_DEVICE: return ESPIPE;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_BUSY: return EBUSY;
    case ERROR_OPERATION_ABORTED:
    case 996:
    case 997: return ECANCELED;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    default: return kOtherError;
    }
}

// Sets errno from the calling thread's last Windows error; -1.
int file_failure() {
    errno = errno_from_windows(GetLastError());
    return -1;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Sets errno from the calling thread's last socket error; -1.
int socket_failure() {
    errno = WSAGetLastError();
    return -1;
}

SOCKET socket_of(int fd) { return static_cast<SOCKET>(static_cast<intptr_t>(fd)); }

// The socket library, started with version 2.0 by the first socket call of the process
// and never shut down.
void start_winsock() {
    static const bool started = [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 0), &data);
        return true;
    }();
    (void)started;
}

DWORD share_mode(FileShare share) {
    switch (share) {
    case FileShare::kNone: return 0;
    case FileShare::kRead: return FILE_SHARE_READ;
    case FileShare::kWrite: return FILE_SHARE_WRITE;
    case FileShare::kReadWrite: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
    return 0;
}

DWORD disposition(int flags) {
    if (flags & O_CREAT) {
        if (flags & O_EXCL) return CREATE_NEW;
        return (flags & O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS;
    }
    return (flags & O_TRUNC) ? TRUNCATE_EXISTING : OPEN_EXISTING;
}

void fill_stat(struct stat* st, DWORD attributes, DWORD size_high, DWORD size_low) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = static_cast<mode_t>((attributes & FILE_ATTRIBUTE_DIRECTORY) ? (_S_IFDIR | 0755)
                                                                              : (_S_IFREG | 0644));
    st->st_size = static_cast<off_t>((static_cast<uint64_t>(size_high) << 32) | size_low);
    st->st_nlink = 1;
}

bool set_position(HANDLE h, off_t offset, DWORD method, off_t* result) {
    LARGE_INTEGER distance, moved;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(h, distance, &moved, method)) return false;
    if (result != nullptr) *result = static_cast<off_t>(moved.QuadPart);
    return true;
}

}  // namespace

struct PlatformMutex {
    HANDLE handle;
};

Platform& system_platform() { return windows_platform; }

// The handle is not inherited by child processes.
int Platform::open(const char* path, int flags, mode_t, FileShare share) {
    DWORD access = (flags & O_RDWR)     ? GENERIC_READ | GENERIC_WRITE
                   : (flags & O_WRONLY) ? GENERIC_WRITE
                                        : GENERIC_READ;
    HANDLE h = CreateFileA(path, access, share_mode(share), nullptr, disposition(flags),
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return file_failure();
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

int Platform::close(int fd) { return _close(fd); }

ssize_t Platform::read(int fd, void* buf, size_t n) {
    DWORD want = n > INT_MAX ? INT_MAX : static_cast<DWORD>(n), got = 0;
    if (ReadFile(handle_of(fd), buf, want, &got, nullptr)) return static_cast<ssize_t>(got);
    DWORD err = GetLastError();
    if (err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF) return 0;  // end of the data
    return file_failure();
}

ssize_t Platform::write(int fd, const void* buf, size_t n) {
    DWORD want = n > INT_MAX ? INT_MAX : static_cast<DWORD>(n), done = 0;
    if (!WriteFile(handle_of(fd), buf, want, &done, nullptr)) return file_failure();
    return static_cast<ssize_t>(done);
}

off_t Platform::lseek(int fd, off_t offset, int whence) {
    off_t position = -1;
    if (!set_position(handle_of(fd), offset, static_cast<DWORD>(whence), &position))
        return file_failure();
    return position;
}

int Platform::fstat(int fd, struct stat* st) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    if (GetFileType(h) != FILE_TYPE_DISK) {  // a pipe or a device: no length
        std::memset(st, 0, sizeof *st);
        st->st_mode = _S_IFCHR;
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return file_failure();
    fill_stat(st, info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow);
    st->st_nlink = static_cast<short>(info.nNumberOfLinks);
    return 0;
}

int Platform::stat(const char* path, struct stat* st) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return file_failure();
    fill_stat(st, data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
    return 0;
}

int Platform::mkdir(const char* path, mode_t) {
    return CreateDirectoryA(path, nullptr) ? 0 : file_failure();
}

int Platform::unlink(const char* path) { return DeleteFileA(path) ? 0 : file_failure(); }

// MoveFile never replaces an existing entry (ERROR_ALREADY_EXISTS) and moves a file to
// another volume by itself; a folder cannot go there (ERROR_NOT_SAME_DEVICE).
int Platform::rename_noreplace(const char* from, const char* to) {
    return MoveFileA(from, to) ? 0 : file_failure();
}

// The system holds the share modes itself (sharing_is_system_wide()): no range locks.
int Platform::lock_range(int, bool, int64_t, int64_t) {
    errno = ENOSYS;
    return -1;
}
int Platform::unlock_range(int, int64_t, int64_t) {
    errno = ENOSYS;
    return -1;
}
int Platform::range_locked_elsewhere(int, int64_t, int64_t) {
    errno = ENOSYS;
    return -1;
}

int Platform::fsync(int fd) { return FlushFileBuffers(handle_of(fd)) ? 0 : file_failure(); }

// Cuts or extends the file at `length`; the position stays where it was.
int Platform::ftruncate(int fd, off_t length) {
    HANDLE h = handle_of(fd);
    off_t here = 0;
    if (!set_position(h, 0, FILE_CURRENT, &here) || !set_position(h, length, FILE_BEGIN, nullptr))
        return file_failure();
    bool ok = SetEndOfFile(h) != 0;
    int r = ok ? 0 : file_failure();
    set_position(h, here, FILE_BEGIN, nullptr);
    return r;
}

// Text mode, as the mode asks (CR LF line ends); "N": the handle is not inherited.
FILE* Platform::fopen(const char* path, const char* mode) {
    std::string m = std::string(mode) + "N";
    return ::fopen(path, m.c_str());
}

// The handle is not inherited by child processes.
int Platform::socket(int domain, int type, int protocol) {
    start_winsock();
    SOCKET s = ::socket(domain, type, protocol);
    if (s == INVALID_SOCKET) return socket_failure();
    if (s > static_cast<SOCKET>(INT_MAX)) {  // never seen: handles are small numbers
        closesocket(s);
        errno = WSAEMFILE;
        return -1;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(s);
}

int Platform::connect(int fd, const struct sockaddr* addr, socklen_t len) {
    return ::connect(socket_of(fd), addr, len) == 0 ? 0 : socket_failure();
}

ssize_t Platform::send(int fd, const void* buf, size_t n) {
    int want = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    int r = ::send(socket_of(fd), static_cast<const char*>(buf), want, 0);
    return r == SOCKET_ERROR ? socket_failure() : r;
}

ssize_t Platform::recv(int fd, void* buf, size_t n) {
    int want = n > INT_MAX ? INT_MAX : static_cast<int>(n);
    int r = ::recv(socket_of(fd), static_cast<char*>(buf), want, 0);
    return r == SOCKET_ERROR ? socket_failure() : r;
}

// Winsock's fd_set is a list of handles, not a bit mask: any socket fits.
int Platform::wait_readable(int fd, int seconds) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(socket_of(fd), &rd);
    struct timeval tv = {seconds, 0};
    int r = ::select(0, &rd, nullptr, nullptr, &tv);
    return r == SOCKET_ERROR ? socket_failure() : r;
}

int Platform::shutdown(int fd, int how) {
    return ::shutdown(socket_of(fd), how) == 0 ? 0 : socket_failure();
}

// SIO_KEEPALIVE_VALS sets the idle time and the interval; the number of probes (10) is the
// system's, and there is no bound on unacknowledged data to set (Wine refuses TCP_KEEPIDLE,
// TCP_KEEPCNT and TCP_KEEPINTVL).
int Platform::set_keepalive(int fd, int idle_s, int interval_s, int, int) {
    SOCKET s = socket_of(fd);
    BOOL on = TRUE;
    if (::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on))
        return socket_failure();
    struct tcp_keepalive values = {1, static_cast<ULONG>(idle_s) * 1000u,
                                   static_cast<ULONG>(interval_s) * 1000u};
    DWORD returned = 0;
    if (WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                 nullptr) != 0)
        return socket_failure();
    return 0;
}

// Winsock takes the receive time-out in milliseconds, as a DWORD.
int Platform::set_receive_timeout(int fd, int seconds) {
    DWORD ms = static_cast<DWORD>(seconds) * 1000u;
    if (::setsockopt(socket_of(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                     sizeof ms) != 0)
        return socket_failure();
    return 0;
}

int Platform::close_socket(int fd) {
    return closesocket(socket_of(fd)) == 0 ? 0 : socket_failure();
}

int Platform::lookup_host(const char* name, struct in_addr* out) {
    start_winsock();
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    struct addrinfo* res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) return -1;
    *out = reinterpret_cast<struct sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
    return 0;
}

// Winsock keeps the look-up results of each thread apart, so these are thread-safe.
int Platform::lookup_service(const char* name, const char* proto, uint16_t* port_net) {
    start_winsock();
    const struct servent* found = ::getservbyname(name, proto);
    if (found == nullptr) return -1;
    *port_net = static_cast<uint16_t>(found->s_port);
    return 0;
}

int Platform::lookup_protocol(const char* name, int* number) {
    start_winsock();
    if (const struct protoent* found = ::getprotobyname(name)) {
        *number = found->p_proto;
        return 0;
    }
    std::string text(name);
    if (text == "tcp") *number = IPPROTO_TCP;
    else if (text == "udp") *number = IPPROTO_UDP;
    else return -1;
    return 0;
}

void* Platform::allocate(size_t count, size_t size) { return std::calloc(count, size); }

// An unnamed Win32 mutex, created not owned, with default security: recursive by nature.
PlatformMutex* Platform::mutex_create() {
    HANDLE h = CreateMutexA(nullptr, FALSE, nullptr);
    if (h == nullptr) {
        file_failure();
        return nullptr;
    }
    PlatformMutex* m = new (std::nothrow) PlatformMutex{h};
    if (m == nullptr) {
        CloseHandle(h);
        errno = ENOMEM;
    }
    return m;
}

time_t Platform::now() { return ::time(nullptr); }

void Platform::sleep_ms(int ms) { Sleep(static_cast<DWORD>(ms)); }

std::string Platform::exe_dir() {
    char module[MAX_PATH], full[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    DWORD m = GetFullPathNameA(module, MAX_PATH, full, nullptr);
    if (m == 0 || m >= MAX_PATH) return std::string();
    std::string path(full, m);
    size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

// A mutex left by a thread that ended while owning it is handed over (WAIT_ABANDONED).
int mutex_lock(PlatformMutex* mutex) {
    switch (WaitForSingleObject(mutex->handle, INFINITE)) {
    case WAIT_OBJECT_0: return 0;
    case WAIT_ABANDONED: return 1;
    default: return -1;
    }
}

int mutex_unlock(PlatformMutex* mutex) { return ReleaseMutex(mutex->handle) ? 0 : -1; }

void mutex_destroy(PlatformMutex* mutex) {
    if (mutex != nullptr) CloseHandle(mutex->handle);
    delete mutex;
}

bool sharing_is_system_wide() { return true; }

bool local_time(time_t t, struct tm* out) { return localtime_s(out, &t) == 0; }

void debug_output(const char* line) { OutputDebugStringA(line); }

}  // namespace gavo
