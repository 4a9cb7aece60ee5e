#include "proto/share_table.h"

#include <utility>

#include "proto/open_mode.h"

namespace gavo {

namespace {

// What the holder of `mode` lets others do: bit 1 read, bit 2 write.
unsigned int shared_access(unsigned int mode) {
    switch (mode & kShareMask) {
    case kShareDenyNone: return 3;
    case kShareDenyWrite: return 1;  // others may read
    case kShareDenyRead: return 2;   // others may write
    default: return 0;               // exclusive, or no share bits
    }
}

// The access that `mode` asks for: bit 1 read, bit 2 write.
unsigned int wanted_access(unsigned int mode) {
    return (mode_may_read(mode) ? 1u : 0u) | (mode_may_write(mode) ? 2u : 0u);
}

}  // namespace

bool share_compatible(unsigned int held, unsigned int wanted) {
    return (wanted_access(wanted) & ~shared_access(held)) == 0 &&
           (wanted_access(held) & ~shared_access(wanted)) == 0;
}

ShareTable::Token ShareTable::acquire(dev_t dev, ino_t ino, unsigned int mode) {
    std::lock_guard<std::mutex> guard(mutex_);
    Key key{dev, ino};
    // No operator[] here: its std::piecewise_construct would be exported by the library.
    auto found = opens_.find(key);
    if (found == opens_.end())
        found = opens_.insert(std::make_pair(key, std::vector<Holder>())).first;
    for (const Holder& h : found->second) {
        if (!share_compatible(h.mode, mode)) return kSharingViolation;
    }
    Token token = next_++;
    found->second.push_back(Holder{token, mode});
    keys_.insert(std::make_pair(token, key));
    return token;
}

void ShareTable::release(Token token) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto k = keys_.find(token);
    if (k == keys_.end()) return;
    auto o = opens_.find(k->second);
    keys_.erase(k);
    if (o == opens_.end()) return;
    std::vector<Holder>& holders = o->second;
    for (size_t i = 0; i < holders.size(); ++i) {
        if (holders[i].token == token) {
            holders.erase(holders.begin() + static_cast<long>(i));
            break;
        }
    }
    if (holders.empty()) opens_.erase(o);
}

bool ShareTable::in_use(dev_t dev, ino_t ino) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return opens_.count(Key{dev, ino}) != 0;
}

size_t ShareTable::size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return keys_.size();
}

}  // namespace gavo
