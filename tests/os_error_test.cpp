// errno -> Windows number -> library code.
#include "proto/os_error.h"

#include <gtest/gtest.h>

#include <cerrno>

using gavo::windows_error_from_errno;

TEST(OsErrorTest, EnoentIsPathNotFoundOnlyWhenAFolderIsMissing) {
    EXPECT_EQ(windows_error_from_errno(ENOENT, false), 2);
    EXPECT_EQ(windows_error_from_errno(ENOENT, true), 3);
    EXPECT_EQ(nfile_map_os_error(windows_error_from_errno(ENOENT, false)), -102);
    EXPECT_EQ(nfile_map_os_error(windows_error_from_errno(ENOENT, true)), -107);
    EXPECT_FALSE(nfile_is_path_failure(windows_error_from_errno(ENOENT, false)));
    EXPECT_TRUE(nfile_is_path_failure(windows_error_from_errno(ENOENT, true)));
}

TEST(OsErrorTest, AFileWhereAFolderShouldBeIsAPathFailure) {
    EXPECT_EQ(windows_error_from_errno(ENOTDIR, false), 3);
    EXPECT_TRUE(nfile_is_path_failure(windows_error_from_errno(ENOTDIR, false)));
}

TEST(OsErrorTest, ErrnoLandsInTheRowOfItsMeaning) {
    struct Case {
        int err;
        int library_code;
    } cases[] = {
        {EACCES, -103},       {EPERM, -103},  {EISDIR, -103}, {EEXIST, -103}, {EROFS, -103},
        {ENOSPC, -106},       {EDQUOT, -106}, {EFBIG, -106},  {EIO, -105},    {ENXIO, -105},
        {ENAMETOOLONG, -107}, {EXDEV, -107},  {EBADF, -102},  {EMFILE, -1},   {ETXTBSY, -1},
        {ELOOP, -1},          {EINVAL, -1},   {0, -1},        {12345, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nfile_map_os_error(windows_error_from_errno(c.err, false)), c.library_code)
            << "errno " << c.err;
    EXPECT_EQ(windows_error_from_errno(ENOSPC, false), 112);
    EXPECT_EQ(windows_error_from_errno(EACCES, false), 5);
    EXPECT_EQ(windows_error_from_errno(EMFILE, false), 4);
    EXPECT_EQ(windows_error_from_errno(0, false), -1);
}

TEST(OsErrorTest, TableRowsAndUnlistedNumbers) {
    EXPECT_EQ(nfile_map_os_error(183), -103);
    EXPECT_EQ(nfile_map_os_error(3), -107);
    EXPECT_EQ(nfile_map_os_error(62), -104);
    EXPECT_EQ(nfile_map_os_error(39), -106);
    EXPECT_EQ(nfile_map_os_error(997), -105);
    EXPECT_EQ(nfile_map_os_error(267), -107);
    EXPECT_EQ(nfile_map_os_error(107), -102);
    for (int unlisted : {0, -1, 4, 32, 33, 38, 1, 7, 100000, -102})
        EXPECT_EQ(nfile_map_os_error(unlisted), -1) << unlisted;
}
