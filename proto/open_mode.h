// The open flags of CNFile, the mode word of the local file layer (CFile) and the
// POSIX open flags, and the translations between them. Pure functions, no state.
#pragma once

#include <fcntl.h>

namespace gavo {

// CFile mode word bits, or-ed together.
enum : unsigned int {
    kModeRead = 0x0000,       // read access
    kModeWrite = 0x0001,      // write access
    kModeReadWrite = 0x0002,  // read and write access
    kModeAccessMask = 0x0003,
    kShareCompat = 0x0000,     // no share bits: nobody else may read or write (as exclusive)
    kShareExclusive = 0x0010,  // others may neither read nor write
    kShareDenyWrite = 0x0020,  // others may read
    kShareDenyRead = 0x0030,   // others may write
    kShareDenyNone = 0x0040,   // others may read and write
    kShareMask = 0x0070,
    kModeCreate = 0x1000,  // create a missing file, cut an existing one to length 0
    kModeBinary = 0x8000   // always set: bytes pass unchanged
};

// Open flags of CNFile::Open as the local file layer reads them.
enum : unsigned int {
    kOpenRead = 0x01,
    kOpenWrite = 0x02,
    kOpenAppend = 0x04,
    kOpenCreate = 0x08,
    kOpenShareDenyNone = 0x10,
    kOpenShareExclusive = 0x20,
    kOpenShareDenyRead = 0x40,
    kOpenShareDenyWrite = 0x80
};

// Open flags that name a table on the server, recognised only as these exact values: a
// value with other bits set as well is an ordinary file.
enum : unsigned int {
    kOpenTableWrite = 0x100,     // written through the log channel
    kOpenTableNoAccess = 0x200,  // opened on the log channel, neither readable nor writable
};

// True for exactly kOpenTableWrite or kOpenTableNoAccess.
inline bool is_table_flags(unsigned int flags) {
    return flags == kOpenTableWrite || flags == kOpenTableNoAccess;
}

// The mode word for CNFile open flags. Access: read and (write or append) -> 0x8002,
// write or append alone -> 0x8001, otherwise (read alone, or none) -> 0x8000. 0x08 adds
// create (0x1000). Sharing: the first of 0x10, 0x20, 0x40, 0x80 that is set adds deny
// none, exclusive, deny read or deny write; none set adds nothing (as exclusive). Bits
// above 0x80 are ignored.
inline unsigned int mode_word_from_open_flags(unsigned int flags) {
    bool read = (flags & kOpenRead) != 0;
    bool write = (flags & (kOpenWrite | kOpenAppend)) != 0;
    unsigned int mode = kModeBinary | (read && write ? kModeReadWrite
                                       : write       ? kModeWrite
                                                     : kModeRead);
    if (flags & kOpenCreate) mode |= kModeCreate;
    if (flags & kOpenShareDenyNone) mode |= kShareDenyNone;
    else if (flags & kOpenShareExclusive) mode |= kShareExclusive;
    else if (flags & kOpenShareDenyRead) mode |= kShareDenyRead;
    else if (flags & kOpenShareDenyWrite) mode |= kShareDenyWrite;
    return mode;
}

// True when the open must be followed by a seek to the end of the file (flag 0x04).
inline bool open_flags_seek_to_end(unsigned int flags) { return (flags & kOpenAppend) != 0; }

inline bool mode_may_read(unsigned int mode) { return (mode & kModeAccessMask) != kModeWrite; }
inline bool mode_may_write(unsigned int mode) { return (mode & kModeAccessMask) != kModeRead; }
inline bool mode_creates(unsigned int mode) { return (mode & kModeCreate) != 0; }

// POSIX open flags for a mode word. Create gives O_CREAT without O_TRUNC: the caller
// cuts the file (ftruncate) only once the sharing rules have admitted the open, so that
// a refused open never destroys another open's data. For that cut a read-only create is
// opened O_RDWR; the caller must still refuse writes by the mode word's access.
inline int posix_open_flags(unsigned int mode) {
    int flags = mode_may_read(mode) ? (mode_may_write(mode) ? O_RDWR : O_RDONLY) : O_WRONLY;
    if (mode_creates(mode)) flags = (flags == O_WRONLY ? O_WRONLY : O_RDWR) | O_CREAT;
    return flags;
}

}  // namespace gavo
