// CNFile open flags -> CFile mode word -> POSIX open flags.
#include "proto/open_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>

using gavo::mode_word_from_open_flags;
using gavo::posix_open_flags;

TEST(OpenModeTest, AccessFromReadWriteAndAppendBits) {
    EXPECT_EQ(mode_word_from_open_flags(0x00), 0x8000u);  // flags 0 open for reading
    EXPECT_EQ(mode_word_from_open_flags(0x01), 0x8000u);
    EXPECT_EQ(mode_word_from_open_flags(0x02), 0x8001u);
    EXPECT_EQ(mode_word_from_open_flags(0x04), 0x8001u);
    EXPECT_EQ(mode_word_from_open_flags(0x03), 0x8002u);
    EXPECT_EQ(mode_word_from_open_flags(0x05), 0x8002u);
}

TEST(OpenModeTest, CreateAndTheFirstSharingBitDecide) {
    EXPECT_EQ(mode_word_from_open_flags(0x0A), 0x9001u);
    EXPECT_EQ(mode_word_from_open_flags(0x0C), 0x9001u);
    EXPECT_EQ(mode_word_from_open_flags(0x01 | 0x10 | 0x20), 0x8040u);
    EXPECT_EQ(mode_word_from_open_flags(0x01 | 0x20 | 0x80), 0x8010u);
    EXPECT_EQ(mode_word_from_open_flags(0x01 | 0x40 | 0x80), 0x8030u);
    EXPECT_EQ(mode_word_from_open_flags(0x01 | 0x80), 0x8020u);
    EXPECT_EQ(mode_word_from_open_flags(0x101), 0x8000u);  // bits above 0x80 ignored
}

TEST(OpenModeTest, OnlyTheAppendBitSeeksToTheEnd) {
    EXPECT_TRUE(gavo::open_flags_seek_to_end(0x04));
    EXPECT_TRUE(gavo::open_flags_seek_to_end(0x0C));
    EXPECT_FALSE(gavo::open_flags_seek_to_end(0x0A));
}

TEST(OpenModeTest, PosixFlagsNeverTruncateAtOpen) {
    EXPECT_EQ(posix_open_flags(0x8000), O_RDONLY);
    EXPECT_EQ(posix_open_flags(0x8001), O_WRONLY);
    EXPECT_EQ(posix_open_flags(0x8002), O_RDWR);
    EXPECT_EQ(posix_open_flags(0x9001), O_WRONLY | O_CREAT);
    // A read-only create is opened for writing too, so the file can be cut afterwards.
    EXPECT_EQ(posix_open_flags(0x9000), O_RDWR | O_CREAT);
    for (unsigned mode : {0x8000u, 0x9000u, 0x9001u, 0x9002u})
        EXPECT_EQ(posix_open_flags(mode) & O_TRUNC, 0);
}
