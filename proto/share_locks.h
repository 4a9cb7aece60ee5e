// The sharing rules of file opens held between processes by byte-range locks (Linux
// open file description locks, F_OFD_SETLK) on the open file itself, far beyond any real
// data. Every process that takes these locks (servers on one root, possibly on several
// machines of a shared file system, and the library in working mode 1) holds every other
// off, and a close or a killed process frees its locks with the descriptor.
//
// The lock space is cut into regions: region 0 holds the marks of renames and removes,
// and each of the 16 kinds of open (may it read, may it write, does it deny reading,
// does it deny writing) has a region of its own. An open holds one byte in its kind's
// region (one lock call), at an offset of its choosing, so that a write-only descriptor
// (which can only hold write locks) never collides with another open's mark. The open
// kinds are laid out in an order in which the regions that conflict with any kind form
// at most three runs, and "somebody else holds a conflicting mark" is a test
// (F_OFD_GETLK) per run; an open whose conflicts form several runs first tests the span
// over all of them at once, which settles the common case of nobody else holding the
// file in one call. A lock of the testing descriptor itself never counts.
//
// Admission takes the open's own mark first and tests the conflicting regions after: of
// two racing opens that conflict, at least one sees the other, so two conflicting opens
// are never both admitted. One that meets a conflict withdraws its mark; when the
// conflicting mark is gone then too, it met another withdrawing opener and tries again.
// A rename or remove takes a name-change mark on the file and tests for open marks; an
// open tests for name-change marks, so neither slips between the other's steps.
//
// Pure layout and protocol: the lock calls are the caller's (see take_share_marks).
#pragma once

#include <cerrno>
#include <cstdint>

#include "proto/open_mode.h"

namespace gavo {

// Where the regions begin (far beyond the data of any file: 2^62), each region's length,
// and how many there are: the name-change region, then the 16 kinds of open.
constexpr int64_t kShareMarkBase = int64_t{1} << 62;
constexpr int64_t kShareMarkSpan = int64_t{1} << 32;
constexpr unsigned kShareRegions = 17;
constexpr unsigned kNameChangeRegion = 0;

// A kind of open as four bits: may read, may write, denies reading, denies writing.
enum : unsigned { kKindRead = 1, kKindWrite = 2, kKindDenyRead = 4, kKindDenyWrite = 8 };

constexpr bool share_kinds_conflict(unsigned a, unsigned b) {
    return ((a & kKindRead) && (b & kKindDenyRead)) || ((a & kKindWrite) && (b & kKindDenyWrite)) ||
           ((a & kKindDenyRead) && (b & kKindRead)) || ((a & kKindDenyWrite) && (b & kKindWrite));
}

// The region of each kind of open: an order found by search in which every kind's
// conflicting regions, with the name-change region, form at most three runs.
constexpr unsigned kShareKindOrder[16] = {15, 14, 12, 13, 11, 10, 2, 6, 4, 5, 7, 3, 1, 9, 8, 0};
constexpr unsigned share_region_of_kind(unsigned kind) {
    unsigned at = 0;
    while (kShareKindOrder[at] != kind) ++at;
    return 1 + at;
}

constexpr int64_t share_region_start(unsigned region) {
    return kShareMarkBase + static_cast<int64_t>(region) * kShareMarkSpan;
}

// The region an open or name change holds a mark in, and the regions it tests (a bit set).
struct ShareMarks {
    unsigned region;
    uint32_t tested;
};

// The marks of an open with the CFile mode word `mode`: the same rule as share_compatible,
// stated as locks. It tests the kinds that conflict with its own, and for name changes.
inline ShareMarks share_marks_of(unsigned int mode) {
    const unsigned share = mode & kShareMask;
    unsigned kind = 0;
    if (mode_may_read(mode)) kind |= kKindRead;
    if (mode_may_write(mode)) kind |= kKindWrite;
    if (share != kShareDenyNone && share != kShareDenyWrite) kind |= kKindDenyRead;
    if (share != kShareDenyNone && share != kShareDenyRead) kind |= kKindDenyWrite;
    ShareMarks m{share_region_of_kind(kind), 1u << kNameChangeRegion};
    for (unsigned other = 0; other < 16; ++other)
        if (share_kinds_conflict(kind, other)) m.tested |= 1u << share_region_of_kind(other);
    return m;
}

// The marks of a rename or remove of a file: it fails while any open holds the file.
constexpr ShareMarks kNameChangeMarks{kNameChangeRegion,
                                      ((1u << kShareRegions) - 1) & ~(1u << kNameChangeRegion)};

// How often an opener that met only withdrawing racers tries again before it gives up.
constexpr int kShareMarkTries = 16;

// A span of lock space: [start, start + len).
struct ShareSpan {
    int64_t start;
    int64_t len;
};

// The runs of consecutive regions in `tested`, at most kShareRegions; returns how many.
inline unsigned share_runs(uint32_t tested, ShareSpan* runs) {
    unsigned n = 0;
    for (unsigned r = 0; r < kShareRegions; ++r) {
        if ((tested & (1u << r)) == 0) continue;
        if (n > 0 && runs[n - 1].start + runs[n - 1].len == share_region_start(r)) {
            runs[n - 1].len += kShareMarkSpan;
        } else {
            runs[n++] = ShareSpan{share_region_start(r), kShareMarkSpan};
        }
    }
    return n;
}

// Whether another open holds a mark in the regions of `tested`: 1 (with `*where` the run
// that holds it), 0, or -errno. See take_share_marks for `locks`.
template <class Locks>
int share_conflict(Locks& locks, uint32_t tested, ShareSpan* where) {
    ShareSpan runs[kShareRegions];
    const unsigned n = share_runs(tested, runs);
    if (n > 1) {
        const ShareSpan& last = runs[n - 1];
        const int any = locks.held_elsewhere(runs[0].start, last.start + last.len - runs[0].start);
        if (any <= 0) return any;
    }
    for (unsigned i = 0; i < n; ++i) {
        const int held = locks.held_elsewhere(runs[i].start, runs[i].len);
        if (held != 0) {
            *where = runs[i];
            return held;
        }
    }
    return 0;
}

// Takes `marks` through `locks`, which provides
//   int take(int64_t start, int64_t len)  holds one byte of [start, start + len): 0, or
//                            the errno of the failed lock call
//   void drop()              gives the byte taken before back
//   int held_elsewhere(int64_t start, int64_t len)  1 when another open holds a lock in
//                            that span, 0 when none does, -errno when the test failed
//   void pause(int attempt)  a short wait before attempt `attempt` (1, 2, ...)
// 0 once admitted (the mark is held until the descriptor closes or it is dropped),
// ETXTBSY when the sharing rules refuse, or the errno of a failed lock call (nothing held).
template <class Locks>
int take_share_marks(Locks& locks, ShareMarks marks) {
    for (int attempt = 0; attempt < kShareMarkTries; ++attempt) {
        if (attempt > 0) locks.pause(attempt);
        const int rc = locks.take(share_region_start(marks.region), kShareMarkSpan);
        if (rc != 0) return rc;
        ShareSpan where{0, 0};
        const int conflict = share_conflict(locks, marks.tested, &where);
        if (conflict == 0) return 0;
        locks.drop();
        if (conflict < 0) return -conflict;
        const int still = locks.held_elsewhere(where.start, where.len);
        if (still < 0) return -still;
        if (still > 0) return ETXTBSY;
    }
    return ETXTBSY;
}

}  // namespace gavo
