// The sharing rules of file opens held between processes by byte-range locks (Linux
// open file description locks, F_OFD_SETLK) on the open file itself, far beyond any real
// data. Every process that takes these locks (servers on one root, possibly on several
// machines of a shared file system, and the library in working mode 1) holds every other
// off, and a close or a killed process frees its locks with the descriptor.
//
// Each kind of mark has a range of its own; an open holds one byte of each kind it
// states (its access, what it denies, that it is open) at an offset of its choosing, so
// that a write-only descriptor (which can only hold write locks) never collides with
// another open's mark. "Somebody else holds a mark of kind K" is a test (F_OFD_GETLK)
// over K's whole range; a lock of the testing descriptor itself never counts.
//
// Admission takes the open's own marks first and tests the conflicting kinds after: of
// two racing opens that conflict, at least one sees the other, so two conflicting opens
// are never both admitted. One that meets a conflict withdraws its marks; when the
// conflicting mark is gone then too, it met another withdrawing opener and tries again.
// A rename or remove takes a name-change mark on the file and tests for open marks;
// an open tests for name-change marks, so neither slips between the other's steps.
//
// Pure layout and protocol: the lock calls are the caller's (see take_share_marks).
#pragma once

#include <cerrno>
#include <cstdint>

#include "proto/open_mode.h"

namespace gavo {

enum class ShareMark : unsigned {
    kRead,        // the open may read
    kWrite,       // the open may write
    kDenyRead,    // others may not read
    kDenyWrite,   // others may not write
    kOpen,        // the file is open (no open shares deletion)
    kNameChange,  // the file is being renamed or removed
    kCount
};

// Where the ranges begin: far beyond the data of any file (2^62), and each kind's range.
constexpr int64_t kShareMarkBase = int64_t{1} << 62;
constexpr int64_t kShareMarkSpan = int64_t{1} << 32;

constexpr int64_t share_mark_start(ShareMark kind) {
    return kShareMarkBase + static_cast<int64_t>(kind) * kShareMarkSpan;
}
constexpr unsigned share_mark_bit(ShareMark kind) { return 1u << static_cast<unsigned>(kind); }

// The kinds an open holds and the kinds it tests, as bit sets of share_mark_bit.
struct ShareMarks {
    unsigned held;
    unsigned tested;
};

// The marks of an open with the CFile mode word `mode`: the same rule as
// share_compatible, stated as locks. Reading tests for deny-read marks, writing for
// deny-write marks; denying read tests for read marks, denying write for write marks.
inline ShareMarks share_marks_of(unsigned int mode) {
    const unsigned share = mode & kShareMask;
    const bool others_read = share == kShareDenyNone || share == kShareDenyWrite;
    const bool others_write = share == kShareDenyNone || share == kShareDenyRead;
    ShareMarks m{share_mark_bit(ShareMark::kOpen), share_mark_bit(ShareMark::kNameChange)};
    if (mode_may_read(mode)) {
        m.held |= share_mark_bit(ShareMark::kRead);
        m.tested |= share_mark_bit(ShareMark::kDenyRead);
    }
    if (mode_may_write(mode)) {
        m.held |= share_mark_bit(ShareMark::kWrite);
        m.tested |= share_mark_bit(ShareMark::kDenyWrite);
    }
    if (!others_read) {
        m.held |= share_mark_bit(ShareMark::kDenyRead);
        m.tested |= share_mark_bit(ShareMark::kRead);
    }
    if (!others_write) {
        m.held |= share_mark_bit(ShareMark::kDenyWrite);
        m.tested |= share_mark_bit(ShareMark::kWrite);
    }
    return m;
}

// The marks of a rename or remove of a file: it fails while any open holds the file.
constexpr ShareMarks kNameChangeMarks{share_mark_bit(ShareMark::kNameChange),
                                      share_mark_bit(ShareMark::kOpen)};

// How often an opener that met only withdrawing racers tries again before it gives up.
constexpr int kShareMarkTries = 16;

// Takes `marks` through `locks`, which provides
//   int take(ShareMark)      0, or the errno of the failed lock call
//   void drop(ShareMark)     gives a mark taken before back
//   int held_elsewhere(ShareMark)  1 when another open holds a mark of that kind, 0 when
//                            none does, -errno when the test failed
//   void pause(int attempt)  a short wait before attempt `attempt` (1, 2, ...)
// 0 once admitted (the marks are held until the descriptor closes or they are dropped),
// ETXTBSY when the sharing rules refuse, or the errno of a failed lock call (nothing held).
template <class Locks>
int take_share_marks(Locks& locks, ShareMarks marks) {
    const unsigned n = static_cast<unsigned>(ShareMark::kCount);
    auto drop_all = [&](unsigned taken) {
        for (unsigned k = 0; k < n; ++k)
            if (taken & (1u << k)) locks.drop(static_cast<ShareMark>(k));
    };
    for (int attempt = 0; attempt < kShareMarkTries; ++attempt) {
        if (attempt > 0) locks.pause(attempt);
        unsigned taken = 0;
        for (unsigned k = 0; k < n; ++k) {
            if ((marks.held & (1u << k)) == 0) continue;
            const int rc = locks.take(static_cast<ShareMark>(k));
            if (rc != 0) {
                drop_all(taken);
                return rc;
            }
            taken |= 1u << k;
        }
        int conflict = -1;
        for (unsigned k = 0; k < n && conflict < 0; ++k) {
            if ((marks.tested & (1u << k)) == 0) continue;
            const int held = locks.held_elsewhere(static_cast<ShareMark>(k));
            if (held < 0) {
                drop_all(taken);
                return -held;
            }
            if (held > 0) conflict = static_cast<int>(k);
        }
        if (conflict < 0) return 0;
        drop_all(taken);
        const int still = locks.held_elsewhere(static_cast<ShareMark>(conflict));
        if (still < 0) return -still;
        if (still > 0) return ETXTBSY;
    }
    return ETXTBSY;
}

}  // namespace gavo
