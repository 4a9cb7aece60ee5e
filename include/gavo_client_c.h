/* GAVO_Client's plain C interface: the operations of CNFile (GAVO_Client.h) as C functions
 * with fixed-width types, for hosts built with any compiler and for other languages
 * (Python's ctypes, for one). The library behind them is the same: the same gavo.ini, the
 * same working modes, logs and codes.
 *
 * Needs only <stdint.h>; compiles as C89 (where the compiler provides <stdint.h>), C99 and
 * later, and C++11 and later. No exception ever leaves these functions.
 *
 * Functions and their C++ counterparts:
 *   gavo_init      NFile_Init              gavo_close     CNFile::Close
 *   gavo_shutdown  NFile_Close             gavo_seek      CNFile::Seek
 *   gavo_open      CNFile::Open            gavo_position  CNFile::GetPosition
 *   gavo_open_ex   CNFile::OpenEx          gavo_rename    CNFile::Rename
 *   gavo_read      CNFile::Read            gavo_remove    CNFile::Remove
 *   gavo_write     CNFile::WriteEx         gavo_exists    CNFile::IsExist
 *
 * Results: every function returns a 32-bit (gavo_seek and gavo_position a 64-bit) value
 * that is 0 or more on success and negative on failure: a GAVO_E_ code below, or a code of
 * the file server's own.
 * Failures are never thrown: where the C++ interface throws CNFileException* (the failure
 * rule) or, in working mode 1, CFileException* (a failing local read, write or close), the
 * C function returns the code, and the OS error number goes into the error record.
 *
 * Error record: every function but gavo_shutdown takes a gavo_error* as its last argument,
 * which may be NULL. When given, it is filled at every call: after a success code and
 * os_error are 0 and message is empty, after a failure they describe it.
 *
 * Handles: gavo_open and gavo_open_ex return a handle, a positive number, for the other
 * file functions. A handle that was never returned, was closed (a later open never gives
 * the same number back before its slot has been reused 32768 times), or belonged to a
 * library shut down since gives GAVO_E_BAD_HANDLE; so does every handle before the first
 * open. A handle is used by one thread at a time: a call on a handle that another thread is
 * in the middle of using returns GAVO_E_BUSY and does nothing. Different handles may be
 * used on different threads at once. At most 65535 handles are open at a time.
 *
 * Start and end: gavo_open, gavo_open_ex, gavo_rename, gavo_remove and gavo_exists start
 * the library with gavo.ini beside the host executable when it has not been started, so
 * gavo_init is needed only to name another INI file. Start-ups through these functions
 * never overlap, from any number of threads. Call gavo_shutdown after all other use: it
 * closes the handles still open, then the library.
 *
 * Logs: gavo_nfile_err.log and netf_Log.Log are written in the folder of the host
 * executable (for a Python host: the interpreter's own folder; run it from a virtual
 * environment made with "python3 -m venv --copies" to give it a folder of its own). Once
 * the library runs, this interface adds a line for each of its own refusals (for example
 * "gavo_read,-300,<handle>") and for each failed local read, write or close
 * ("gavo_write,112,<file>", with the OS error number).
 */
#ifndef GAVO_CLIENT_C_H
#define GAVO_CLIENT_C_H

#include <stdint.h>

/* The same definition as in GAVO_Client.h, so that either header may come first. */
#ifndef GAVO_API
#if defined(_WIN32)
#define GAVO_API __declspec(dllexport)
#else
#define GAVO_API __attribute__((visibility("default")))
#endif
#endif

/* The C calling convention, also for hosts whose compiler defaults to another one; the
 * DLL exports the functions under their plain names. */
#if defined(_WIN32)
#define GAVO_CALL __cdecl
#else
#define GAVO_CALL
#endif

/* Open flags; 0x01..0x80 may be combined. */
#define GAVO_READ 0x01u         /* the file may be read */
#define GAVO_WRITE 0x02u        /* the file may be written */
#define GAVO_APPEND 0x04u       /* write, position at the end of the file after the open */
#define GAVO_CREATE 0x08u       /* create a missing file (and its folders), truncate one */
#define GAVO_SHARE_NONE 0x10u   /* others may read and write the file */
#define GAVO_SHARE_EXCL 0x20u   /* others may neither read nor write */
#define GAVO_DENY_READ 0x40u    /* others may write */
#define GAVO_DENY_WRITE 0x80u   /* others may read */
#define GAVO_TABLE_WRITE 0x100u /* exactly this value: a server table written record by record */
#define GAVO_TABLE_OPEN 0x200u  /* exactly this value: a server table, neither read nor written */

/* Origins of gavo_seek. */
#define GAVO_SEEK_BEGIN 0u
#define GAVO_SEEK_CURRENT 1u
#define GAVO_SEEK_END 2u

/* Codes. Any other negative code is the file server's own. GAVO_E_REFUSED: refused (a NULL
 * pointer, a count over 2^31-1, the open mode, a zero count, table flags in working mode 1,
 * too many handles), or a local error without a code of its own. */
#define GAVO_OK 0
#define GAVO_E_REFUSED (-1)
#define GAVO_E_NO_CONNECTION (-50) /* -50..-54: no reply from the server */
#define GAVO_E_WAIT_FAILED (-51)
#define GAVO_E_SEND_FAILED (-52)
#define GAVO_E_RECV_FAILED (-53)
#define GAVO_E_PEER_CLOSED (-54)
#define GAVO_E_NOT_SENT (-100) /* sending to the server failed; the library reconnected */
#define GAVO_E_NOT_FOUND (-102)
#define GAVO_E_ACCESS_DENIED (-103)
#define GAVO_E_DIR_FULL (-104)
#define GAVO_E_IO (-105)
#define GAVO_E_DISK_FULL (-106)
#define GAVO_E_BAD_PATH (-107)
#define GAVO_E_MAKE_DIRS (-108)    /* the folders of a new file could not be created */
#define GAVO_E_INIT_FAILED (-200)  /* the library could not start */
#define GAVO_E_UNKNOWN_MODE (-201) /* CTRL_MODE is neither 1 nor 2 */
#define GAVO_E_BAD_HANDLE (-300)   /* not a handle that is open now */
#define GAVO_E_BUSY (-301)         /* the handle is in use on another thread */

/* What a failed call reports besides its code. Its layout stays as it is in every 1.x
 * library. */
typedef struct gavo_error {
    /* The code returned; 0 after a success. */
    int32_t code;
    /* For a failure of the local file layer (working mode 1): the operating system's error,
     * as a Windows system error number on every platform (2 not found, 5 access denied,
     * 112 disk full, ...), -1 when it gave none (a short write). 0 for other failures. */
    int32_t os_error;
    /* The function and the failure in English, NUL-terminated. */
    char message[256];
} gavo_error;

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the library with the INI file `ini_path` (NULL: gavo.ini beside the host
 * executable). Returns 0, also when the library already runs (the file is then not read
 * again), or GAVO_E_INIT_FAILED (working mode 2 without a server, a setting that does not
 * fit: the error log says which). */
GAVO_API int32_t GAVO_CALL gavo_init(const char* ini_path, gavo_error* error);

/* Closes every handle still open, then shuts the library down (closing text in the error
 * log, server connections closed). Returns 0, or GAVO_E_BUSY, doing nothing, while a handle
 * is in use on another thread. Harmless before any start and when called twice. */
GAVO_API int32_t GAVO_CALL gavo_shutdown(void);

/* Opens `name` with `flags`. Returns a handle (positive) or a negative code. */
GAVO_API int32_t GAVO_CALL gavo_open(const char* name, uint32_t flags, gavo_error* error);

/* As gavo_open, and stores the file's length in *length: its low 32 bits, as the server
 * sends it (0 for the table flags). `length` must not be NULL. */
GAVO_API int32_t GAVO_CALL gavo_open_ex(const char* name, uint32_t flags, uint32_t* length,
                                        gavo_error* error);

/* Reads up to `count` bytes (at most 2^31-1) into `buffer`. Returns the number read, fewer
 * than asked only at the end of the file, or a negative code. */
GAVO_API int32_t GAVO_CALL gavo_read(int32_t file, void* buffer, uint32_t count, gavo_error* error);

/* Writes `count` bytes (at most 2^31-1) from `buffer`; on a GAVO_TABLE_WRITE handle, one
 * record. Returns the number written or a negative code. */
GAVO_API int32_t GAVO_CALL gavo_write(int32_t file, const void* buffer, uint32_t count,
                                      gavo_error* error);

/* The library offers no positioning (as CNFile): both return 0 for an open handle and
 * change nothing; gavo_seek refuses an origin other than GAVO_SEEK_BEGIN, _CURRENT, _END. */
GAVO_API int64_t GAVO_CALL gavo_seek(int32_t file, int64_t offset, uint32_t origin,
                                     gavo_error* error);
GAVO_API int64_t GAVO_CALL gavo_position(int32_t file, gavo_error* error);

/* Closes the file and releases the handle, whatever the outcome. Returns 0 or the code of
 * a failed close (a failed server close is tried once more as the handle is released). */
GAVO_API int32_t GAVO_CALL gavo_close(int32_t file, gavo_error* error);

/* Operations on named files: 0 or a negative code; gavo_exists 1 (exists), 0 or a code. */
GAVO_API int32_t GAVO_CALL gavo_rename(const char* old_name, const char* new_name,
                                       gavo_error* error);
GAVO_API int32_t GAVO_CALL gavo_remove(const char* name, gavo_error* error);
GAVO_API int32_t GAVO_CALL gavo_exists(const char* name, gavo_error* error);

#ifdef __cplusplus
}
#endif

#endif /* GAVO_CLIENT_C_H */
