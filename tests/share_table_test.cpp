// The sharing rules among opens of one file.
#include "proto/share_table.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

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
