// The sharing rules among opens of one file.
#include "proto/share_table.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "proto/share_locks.h"

using gavo::share_compatible;
using gavo::ShareTable;

namespace {
constexpr unsigned kRead = 0x8000, kWrite = 0x8001, kReadWrite = 0x8002;
constexpr unsigned kNone = 0x40, kExcl = 0x10, kDenyWrite = 0x20, kDenyRead = 0x30;
}  // namespace

TEST(ShareTableTest, WindowsSharingMatrix) {
    EXPECT_TRUE(share_compatible(kRead | kNone, kReadWrite | kNone));
    // The newcomer denies writing, and the holder only reads: admitted.
    EXPECT_TRUE(share_compatible(kRead | kNone, kReadWrite | kDenyWrite));
    EXPECT_TRUE(share_compatible(kRead | kDenyWrite, kRead | kDenyWrite));
    EXPECT_FALSE(share_compatible(kRead | kDenyWrite, kWrite | kNone));
    EXPECT_TRUE(share_compatible(kWrite | kDenyRead, kWrite | kDenyRead));
    EXPECT_FALSE(share_compatible(kWrite | kDenyRead, kRead | kNone));
    EXPECT_FALSE(share_compatible(kRead | kExcl, kRead | kNone));
    EXPECT_FALSE(share_compatible(kRead, kRead | kNone));  // no share bits: as exclusive
    EXPECT_FALSE(share_compatible(kRead | kNone, kRead));  // the newcomer shares nothing
    EXPECT_FALSE(share_compatible(kWrite | kNone, kRead | kDenyWrite));  // the holder writes
}

TEST(ShareTableTest, ConflictingOpenIsRefusedUntilTheHolderReleases) {
    ShareTable table;
    ShareTable::Token first = table.acquire(1, 42, kRead | kExcl);
    ASSERT_NE(first, ShareTable::kSharingViolation);
    EXPECT_EQ(table.acquire(1, 42, kRead | kNone), ShareTable::kSharingViolation);
    EXPECT_NE(table.acquire(1, 43, kRead | kNone), ShareTable::kSharingViolation);  // other inode
    EXPECT_NE(table.acquire(2, 42, kRead | kNone), ShareTable::kSharingViolation);  // other device
    EXPECT_TRUE(table.in_use(1, 42));
    table.release(first);
    EXPECT_FALSE(table.in_use(1, 42));
    EXPECT_NE(table.acquire(1, 42, kRead | kNone), ShareTable::kSharingViolation);
}

TEST(ShareTableTest, EveryHolderMustAdmitTheNewcomer) {
    ShareTable table;
    ShareTable::Token a = table.acquire(1, 7, kRead | kNone);
    ShareTable::Token b = table.acquire(1, 7, kRead | kDenyWrite);
    ASSERT_NE(a, ShareTable::kSharingViolation);
    ASSERT_NE(b, ShareTable::kSharingViolation);
    EXPECT_EQ(table.acquire(1, 7, kWrite | kNone), ShareTable::kSharingViolation);
    table.release(b);
    EXPECT_NE(table.acquire(1, 7, kWrite | kNone), ShareTable::kSharingViolation);
}

TEST(ShareTableTest, ReleasingAnUnknownTokenChangesNothing) {
    ShareTable table;
    ShareTable::Token a = table.acquire(1, 7, kRead | kExcl);
    table.release(0);
    table.release(a + 100);
    EXPECT_EQ(table.size(), 1u);
    table.release(a);
    table.release(a);  // twice: ignored
    EXPECT_EQ(table.size(), 0u);
}

TEST(ShareTableTest, ExclusiveOpensFromManyThreadsAdmitOneAtATime) {
    ShareTable table;
    std::vector<std::thread> threads;
    int admitted[8] = {};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                ShareTable::Token tok = table.acquire(3, 3, kReadWrite | kExcl);
                if (tok == ShareTable::kSharingViolation) continue;
                // While this thread holds the file nobody else may get it.
                if (table.acquire(3, 3, kRead | kNone) != ShareTable::kSharingViolation)
                    admitted[t] = -1000;
                ++admitted[t];
                table.release(tok);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int n : admitted) EXPECT_GE(n, 0);
    EXPECT_EQ(table.size(), 0u);
}

// The byte-range marks between processes, over an in-memory lock table: for every pair of
// modes, the second open is admitted exactly when the sharing matrix admits it, a name
// change is refused while any open holds the file (and an open while a name change does),
// an open alone takes two lock calls and an admitted one at most five.
namespace {
struct FakeLocks {
    struct Held {
        int owner;
        int64_t at;
    };
    std::vector<Held>* table;
    int owner;
    int calls = 0;
    int64_t at = -1;
    int take(int64_t start, int64_t) {
        ++calls;
        at = start + owner;  // distinct per owner, as a random offset would be
        table->push_back({owner, at});
        return 0;
    }
    void drop() {
        for (auto it = table->begin(); it != table->end(); ++it)
            if (it->owner == owner && it->at == at) {
                table->erase(it);
                return;
            }
    }
    int held_elsewhere(int64_t start, int64_t len) {
        ++calls;
        for (const Held& h : *table)
            if (h.owner != owner && h.at >= start && h.at < start + len) return 1;
        return 0;
    }
    void pause(int) {}
};
}  // namespace

TEST(ShareTableTest, MarksBetweenProcessesFollowTheMatrix) {
    const unsigned accesses[] = {kRead, kWrite, kReadWrite};
    const unsigned shares[] = {kNone, kExcl, kDenyWrite, kDenyRead, 0};
    std::vector<unsigned> modes;
    for (unsigned a : accesses)
        for (unsigned s : shares) modes.push_back(a | s);
    for (unsigned held : modes) {
        for (unsigned wanted : modes) {
            std::vector<FakeLocks::Held> table;
            FakeLocks a{&table, 1}, b{&table, 2}, rename{&table, 3};
            ASSERT_EQ(gavo::take_share_marks(a, gavo::share_marks_of(held)), 0);
            EXPECT_EQ(a.calls, 2) << std::hex << held;
            const bool admitted = gavo::take_share_marks(b, gavo::share_marks_of(wanted)) == 0;
            EXPECT_EQ(admitted, share_compatible(held, wanted))
                << std::hex << held << " then " << wanted;
            if (admitted) {
                EXPECT_LE(b.calls, 5) << std::hex << held << " then " << wanted;
            }
            EXPECT_EQ(gavo::take_share_marks(rename, gavo::kNameChangeMarks), ETXTBSY);
        }
        std::vector<FakeLocks::Held> table;
        FakeLocks rename{&table, 1}, a{&table, 2};
        ASSERT_EQ(gavo::take_share_marks(rename, gavo::kNameChangeMarks), 0);
        EXPECT_EQ(gavo::take_share_marks(a, gavo::share_marks_of(held)), ETXTBSY);
    }
}
