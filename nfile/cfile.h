// The local file layer of working mode 1: one open local file (CFile), the full-local-
// path rule, folder creation. Internal to the library (hidden symbols); hosts only ever
// see the CFileException pointers that CFile throws.
//
// Paths are zero-terminated byte strings passed to the file system unchanged except
// that '\' becomes '/': both separate components. Failures carry Windows system error
// numbers (proto/os_error.h) in CFileException::m_lOsError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "include/GAVO_Client.h"
#include "proto/names.h"
#include "proto/share_table.h"

// Full local paths are built in buffers of this size: a name's longest and the terminator.
constexpr size_t kFullPathSize = gavo::kMaxNameBytes + 1;

// Builds the full local path of `name` into `out` (`size` bytes): the name as given
// when `base` is empty, else `base` followed by the name less one leading '\' or '/'.
// Returns false, leaving `out` an empty string, when the path does not fit in size - 1
// characters; never writes past `out`.
bool nfile_full_path(const char* base, const char* name, char* out, size_t size);

// Creates every missing folder on the way to the last component of `path` (which is the
// file's own name and is never created). A component right after one that ends in ':'
// is a drive and is skipped; a prefix that exists as any kind of entry counts as
// existing. Returns 0 when every folder exists afterwards, -1 when one could not be
// created (folders created before the failure stay). Logs nothing.
int nfile_make_dirs(const char* path);

// `path` with every '\' turned into '/', as it is handed to the file system.
std::string nfile_posix_path(const char* path);

// The registry that holds off conflicting opens of the same file among this process's
// CFile objects. Other processes are not held off.
gavo::ShareTable& nfile_local_shares();

// One open local file. Not thread-safe: used by the thread that uses its CNFile.
class CFile {
public:
    enum SeekPosition : unsigned int { begin = 0, current = 1, end = 2 };

    CFile();
    // Closes the file when this object opened it; errors are dropped.
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens `path` with the mode word of proto/open_mode.h (access, sharing, create).
    // The object must be closed. On failure returns false and, when `error` is given,
    // stores the Windows error number and `path` in it; never throws. A path of 500
    // characters or more fails with 206 before the file system is asked; an open that
    // the sharing rules refuse fails with 32 and changes nothing; a folder fails with 5.
    // Create cuts an existing file to length 0 once the open is admitted.
    bool Open(const char* path, unsigned int mode, CFileException* error);
    // Reads up to `count` bytes at the current position; fewer only at the end of the
    // file. 0 bytes asked: returns 0 at once. Throws CFileException* on failure.
    unsigned int Read(void* buffer, unsigned int count);
    // Writes `count` bytes at the current position, all of them or throws
    // CFileException*: with the OS error, or with -1 when the system takes no more bytes
    // (a short write: the disk is full). 0 bytes: nothing happens.
    void Write(const void* buffer, unsigned int count);
    // Moves the position; origin begin, current or end. Returns the new position.
    // Throws CFileException* on failure (87 for an unknown origin).
    uint64_t Seek(int64_t offset, unsigned int origin);
    // The file's length in bytes; the position does not move. Throws on failure.
    uint64_t GetLength() const;
    // Releases the handle and marks the object closed; when the release failed, throws
    // afterwards. A closed object does nothing.
    void Close();
    // The path of the open file as handed to the file system; empty when closed.
    const std::string& GetFilePath() const { return path_; }

    // Moves a file or folder to `to`, never replacing an existing entry (183), a file
    // also to another file system (copy, then delete). A file that a CFile of this
    // process holds open is not moved (32). Throws CFileException* on failure.
    static void Rename(const char* from, const char* to);
    // Deletes a file; a folder is not removed (5); a file held open by a CFile of this
    // process is not deleted (32). Throws CFileException* on failure.
    static void Remove(const char* path);
    // True when the entry exists, file or folder alike. When false and `err` is given,
    // it receives the errno of the failed lookup (ENOENT: the entry is missing).
    static bool Exists(const char* path, int* err = nullptr);

private:
    // The steps of Open; 0 or the Windows error number of the failure.
    int OpenChecked(const char* path, unsigned int mode);
    int Admit(int fd, unsigned int mode);
    [[noreturn]] void Throw(int err) const;
    void CheckOpen(bool access) const;

    int fd_;
    bool close_on_destroy_;
    bool regular_;  // a regular file: reads go on until count or end of file
    unsigned int mode_;
    gavo::ShareTable::Token share_token_;
    std::string path_;
};
