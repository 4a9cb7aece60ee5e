// Operating-system error numbers of the local file layer.
//
// Failures of local file operations are carried as Windows system error numbers, so
// that the library's code table and its error-log lines are the same on every
// platform. errno is translated into such a number in exactly one place,
// windows_error_from_errno(); nfile_map_os_error() then turns the number into the
// library's negative code. Both are pure functions with no library state, so a file
// server process can use them for all of its clients.
#pragma once

#include "proto/codes.h"

namespace gavo {

// The Windows system error numbers that the translation produces.
enum WinError : int {
    kWinNoError = -1,               // the failure has no OS error of its own
    kWinFileNotFound = 2,           // ERROR_FILE_NOT_FOUND
    kWinPathNotFound = 3,           // ERROR_PATH_NOT_FOUND
    kWinTooManyOpenFiles = 4,       // ERROR_TOO_MANY_OPEN_FILES
    kWinAccessDenied = 5,           // ERROR_ACCESS_DENIED
    kWinInvalidHandle = 6,          // ERROR_INVALID_HANDLE
    kWinNotEnoughMemory = 8,        // ERROR_NOT_ENOUGH_MEMORY
    kWinNotSameDevice = 17,         // ERROR_NOT_SAME_DEVICE
    kWinWriteProtect = 19,          // ERROR_WRITE_PROTECT
    kWinNotReady = 21,              // ERROR_NOT_READY
    kWinCrc = 23,                   // ERROR_CRC (data error)
    kWinGenFailure = 31,            // ERROR_GEN_FAILURE
    kWinSharingViolation = 32,      // ERROR_SHARING_VIOLATION
    kWinLockViolation = 33,         // ERROR_LOCK_VIOLATION
    kWinNetnameDeleted = 64,        // ERROR_NETNAME_DELETED
    kWinUnexpNetErr = 59,           // ERROR_UNEXP_NET_ERR
    kWinInvalidParameter = 87,      // ERROR_INVALID_PARAMETER
    kWinDiskFull = 112,             // ERROR_DISK_FULL
    kWinInvalidName = 123,          // ERROR_INVALID_NAME
    kWinNegativeSeek = 131,         // ERROR_NEGATIVE_SEEK
    kWinSeekOnDevice = 132,         // ERROR_SEEK_ON_DEVICE
    kWinDirNotEmpty = 145,          // ERROR_DIR_NOT_EMPTY
    kWinBusy = 170,                 // ERROR_BUSY
    kWinAlreadyExists = 183,        // ERROR_ALREADY_EXISTS
    kWinFilenameTooLong = 206,      // ERROR_FILENAME_EXCED_RANGE
    kWinOperationAborted = 995,     // ERROR_OPERATION_ABORTED
    kWinNotSupported = 50,          // ERROR_NOT_SUPPORTED
    kWinCantResolveFilename = 1921  // ERROR_CANT_RESOLVE_FILENAME
};

// The Windows system error number for `err` (an errno value).
//
// ENOENT has two meanings that Windows keeps apart, and folder creation depends on the
// difference: `folder_missing` tells whether a folder on the way to the entry is missing
// (ERROR_PATH_NOT_FOUND, 3) or only the entry itself (ERROR_FILE_NOT_FOUND, 2). The
// caller decides it, since only the caller knows how the path was resolved (for example
// relative to a directory descriptor). The parameter is ignored for every other errno.
int windows_error_from_errno(int err, bool folder_missing);

// A short description of a Windows system error number in English, e.g. "disk full" for
// 112; empty (never null) for a number without one.
const char* os_error_meaning(long os_error);

}  // namespace gavo

// The library code for a Windows system error number: -102 not found, -103 access
// denied, -104 directory full, -105 I/O error, -106 disk full, -107 bad path, and -1
// for every other number, -1 and 0 included. A pure lookup.
int nfile_map_os_error(int os_error);

// The library code for errno `err`: windows_error_from_errno (with `folder_missing`),
// then nfile_map_os_error. The one translation of errno into a code for both working modes.
inline int nfile_code_from_errno(int err, bool folder_missing = false) {
    return nfile_map_os_error(gavo::windows_error_from_errno(err, folder_missing));
}

// True when `os_error` lies in the bad-path row (-107): the one failure of an open that
// makes the local back end create the missing folders and try again.
inline bool nfile_is_path_failure(int os_error) {
    return nfile_map_os_error(os_error) == gavo::kCodeBadPath;
}
