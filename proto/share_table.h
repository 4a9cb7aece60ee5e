// The sharing rules of Windows file opens, enforced among the opens registered in one
// table: every open of a file (identified by device and inode) states its access (read,
// write) and what it lets others do (its share bits of the CFile mode word). A new open
// is admitted when it asks only for access that every open already holding the file
// shares, and shares at least the access that each of them holds.
//
// Only opens registered in the same table are held off: other processes, and opens
// made without the table, are not. The library keeps one table for all its local files;
// a file server may keep one for all its clients. Thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace gavo {

// True when an open with mode word `wanted` may be admitted while an open with mode
// word `held` holds the same file (both directions of the rule).
bool share_compatible(unsigned int held, unsigned int wanted);

class ShareTable {
public:
    using Token = uint64_t;
    static constexpr Token kSharingViolation = 0;

    // Registers an open of (dev, ino) with mode word `mode`. Returns a token (never 0)
    // to release later, or kSharingViolation when an open already registered forbids it.
    Token acquire(dev_t dev, ino_t ino, unsigned int mode);
    // Ends the open registered under `token`; unknown tokens and 0 are ignored.
    void release(Token token);
    // True while any open of (dev, ino) is registered (a Windows delete or rename of
    // such a file fails with a sharing violation).
    bool in_use(dev_t dev, ino_t ino) const;
    // The number of registered opens.
    size_t size() const;

private:
    struct Holder {
        Token token;
        unsigned int mode;
    };
    // Our own key type, so that the map instantiations stay internal to the library.
    struct Key {
        dev_t dev;
        ino_t ino;
        bool operator<(const Key& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
    };

    mutable std::mutex mutex_;  // guards everything below
    std::map<Key, std::vector<Holder>> opens_;
    std::map<Token, Key> keys_;
    Token next_ = 1;
};

}  // namespace gavo
