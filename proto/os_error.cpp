#include "proto/os_error.h"

#include <cerrno>

namespace gavo {

// errno -> Windows system error number. Each errno goes to the number whose row of the
// library's code table (see nfile_map_os_error) has the same meaning:
//
//   errno                     Windows number                      library code
//   ENOENT, folder missing    3   ERROR_PATH_NOT_FOUND            -107 bad path
//   ENOENT, entry missing     2   ERROR_FILE_NOT_FOUND            -102 not found
//   ENOTDIR                   3   ERROR_PATH_NOT_FOUND            -107 (a file where a folder should be)
//   ENAMETOOLONG              206 ERROR_FILENAME_EXCED_RANGE      -107
//   EACCES, EPERM, EISDIR     5   ERROR_ACCESS_DENIED             -103 (EISDIR: a folder opened or removed as a file)
//   EEXIST                    183 ERROR_ALREADY_EXISTS            -103 (what MoveFile gives for an existing target)
//   EROFS                     19  ERROR_WRITE_PROTECT             -103
//   EBUSY                     170 ERROR_BUSY                      -103
//   ESTALE                    64  ERROR_NETNAME_DELETED           -103
//   ENOSPC, EDQUOT, EFBIG     112 ERROR_DISK_FULL                 -106 (no room left for the data)
//   EIO                       23  ERROR_CRC (data error)          -105 hardware I/O error
//   ENXIO, ENODEV             21  ERROR_NOT_READY                 -105
//   ENETDOWN, ENOLINK,
//   EREMOTEIO, ECONNRESET     59  ERROR_UNEXP_NET_ERR             -105
//   ECANCELED, EINTR          995 ERROR_OPERATION_ABORTED         -105
//   EXDEV                     17  ERROR_NOT_SAME_DEVICE           -107
//   EBADF                     6   ERROR_INVALID_HANDLE            -102
//   EMFILE, ENFILE            4   ERROR_TOO_MANY_OPEN_FILES       -1
//   ETXTBSY                   32  ERROR_SHARING_VIOLATION         -1 (a running program opened for writing)
//   EAGAIN                    33  ERROR_LOCK_VIOLATION            -1
//   ENOMEM                    8   ERROR_NOT_ENOUGH_MEMORY         -1
//   EINVAL                    87  ERROR_INVALID_PARAMETER         -1
//   ESPIPE                    132 ERROR_SEEK_ON_DEVICE            -1
//   ENOTEMPTY                 145 ERROR_DIR_NOT_EMPTY             -1
//   ELOOP                     1921 ERROR_CANT_RESOLVE_FILENAME    -1 (not a missing folder: no folder creation)
//   EOPNOTSUPP, ENOSYS        50  ERROR_NOT_SUPPORTED             -1
//   0                         -1  (no OS error)                   -1
//   anything else             31  ERROR_GEN_FAILURE               -1
int windows_error_from_errno(int err, bool folder_missing) {
    // Linux errno values that Windows (MinGW-w64) lacks; its file calls never give them.
#if defined(ESTALE) && defined(EDQUOT) && defined(EREMOTEIO)
    if (err == ESTALE) return kWinNetnameDeleted;
    if (err == EDQUOT) return kWinDiskFull;
    if (err == EREMOTEIO) return kWinUnexpNetErr;
#endif
    switch (err) {
    case 0: return kWinNoError;
    case ENOENT: return folder_missing ? kWinPathNotFound : kWinFileNotFound;
    case ENOTDIR: return kWinPathNotFound;
    case ENAMETOOLONG: return kWinFilenameTooLong;
    case EACCES:
    case EPERM:
    case EISDIR: return kWinAccessDenied;
    case EEXIST: return kWinAlreadyExists;
    case EROFS: return kWinWriteProtect;
    case EBUSY: return kWinBusy;
    case ENOSPC:
    case EFBIG: return kWinDiskFull;
    case EIO: return kWinCrc;
    case ENXIO:
    case ENODEV: return kWinNotReady;
    case ENETDOWN:
    case ENOLINK:
    case ECONNRESET: return kWinUnexpNetErr;
    case ECANCELED:
    case EINTR: return kWinOperationAborted;
    case EXDEV: return kWinNotSameDevice;
    case EBADF: return kWinInvalidHandle;
    case EMFILE:
    case ENFILE: return kWinTooManyOpenFiles;
    case ETXTBSY: return kWinSharingViolation;
    case EAGAIN: return kWinLockViolation;
    case ENOMEM: return kWinNotEnoughMemory;
    case EINVAL: return kWinInvalidParameter;
    case ESPIPE: return kWinSeekOnDevice;
    case ENOTEMPTY: return kWinDirNotEmpty;
    case ELOOP: return kWinCantResolveFilename;
    case EOPNOTSUPP:
    case ENOSYS: return kWinNotSupported;
    default: return kWinGenFailure;
    }
}

namespace {

constexpr Meaning kOsErrorMeanings[] = {
    {kWinFileNotFound, "file not found"},
    {kWinPathNotFound, "path not found"},
    {kWinTooManyOpenFiles, "too many open files"},
    {kWinAccessDenied, "access denied"},
    {kWinNotEnoughMemory, "out of memory"},
    {kWinWriteProtect, "read-only file system"},
    {kWinNotReady, "device not ready"},
    {kWinCrc, "data error"},
    {kWinSharingViolation, "sharing violation"},
    {kWinLockViolation, "lock violation"},
    {kWinInvalidParameter, "invalid argument"},
    {kWinDiskFull, "disk full"},
    {kWinAlreadyExists, "already exists"},
    {kWinFilenameTooLong, "name too long"},
};

}  // namespace

const char* os_error_meaning(long os_error) { return meaning_in(kOsErrorMeanings, os_error, ""); }

}  // namespace gavo

// Windows system error number -> library code; every number not listed gives -1.
int nfile_map_os_error(int os_error) {
    switch (os_error) {
    case 2:
    case 6:
    case 18:
    case 107: return gavo::kCodeNotFound;
    case 5:
    case 12:
    case 19:
    case 29:
    case 54:
    case 58:
    case 64:
    case 65:
    case 71:
    case 80:
    case 82:
    case 86:
    case 170:
    case 183:
    case 999: return gavo::kCodeAccessDenied;
    case 62: return gavo::kCodeDirFull;
    case 20:
    case 21:
    case 22:
    case 23:
    case 57:
    case 59:
    case 88:
    case 117:
    case 995:
    case 996:
    case 997: return gavo::kCodeIoError;  // hardware
    case 39:
    case 112: return gavo::kCodeDiskFull;
    case 3:
    case 15:
    case 17:
    case 34:
    case 52:
    case 53:
    case 55:
    case 67:
    case 70:
    case 85:
    case 111:
    case 123:
    case 124:
    case 125:
    case 144:
    case 154:
    case 161:
    case 206:
    case 208:
    case 267: return gavo::kCodeBadPath;
    default: return gavo::kCodeRefused;  // among them 4, 32, 33, 38 and -1
    }
}
