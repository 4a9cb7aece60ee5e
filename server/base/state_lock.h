// One server per state folder. The handle numbering and the tables' database in the
// state folder are kept for one server: a second one on the same folder (two servers on
// one root with the default "<root>.state", or one --state given to both) would rewrite
// the first one's numbering, and after a restart stale handles would reach new files.
//
// So a server locks the file "lock" of its state folder (flock, exclusive) for its whole
// life and writes its process id into it; a second server finds the lock taken and
// refuses to start, naming that process. The lock is the kernel's: it ends with the
// process however that ends (SIGKILL included), so a lock file left behind never blocks
// a restart. It belongs to the open file, not the process, so two servers in one
// process exclude each other too.
#pragma once

#include <string>

namespace gavo::server {

// The lock file's name inside the state folder.
constexpr const char* kStateLockName = "lock";

class StateLock {
public:
    StateLock() = default;
    // Releases the lock; the file stays (removing it could let a third server lock a
    // new file while a second one waits on the old).
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    // Locks the folder `dir` (which exists), creating its lock file (mode 0600) when
    // missing, and writes this process's id into it. False with `error` set when another
    // server holds it ("... in use by the server with process id N ...") or the file
    // cannot be opened, locked or written.
    bool acquire(const std::string& dir, std::string* error);

    // Whether a server holds the lock of `dir` now, `holder` then naming it ("process id
    // N"). For a configuration check: it tries a shared lock, which fails at once while
    // a server holds the lock and is let go at once otherwise (only a server starting in
    // that instant would find the folder in use), and creates nothing.
    static bool held(const std::string& dir, std::string* holder);

private:
    int fd_ = -1;
};

}  // namespace gavo::server
