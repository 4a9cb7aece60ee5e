// Working mode 1 through CNFile: flag translation, folder creation and retry, codes,
// thrown records and local exceptions, error-log lines.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "include/GAVO_Client.h"
#include "nfile/cfile.h"
#include "tests/test_support.h"

namespace {

using gavo::test::Call;
using gavo::test::gbk;
using gavo::test::read_file;
using gavo::test::write_file;

// Reaches the object's fields.
class Probe : public CNFile {
public:
    using CNFile::m_nHandle;
    using CNFile::m_nLastErrCode;
    using CNFile::m_nOpenFlags;
    using CNFile::m_pFile;
};

bool exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

class LocalBackendTest : public gavo::test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        base_ = dir_ + "base/";
        write_ini("[Config]\nCTRL_MODE=1\nBASE_DIR=" + dir_ + "base\n");
        ASSERT_EQ(NFile_Init(), 1);
    }
    void make_base() { ::mkdir(base_.c_str(), 0777); }
    // True when the error log holds a report line ending in ",where,code,detail".
    bool logged(const std::string& where, int code, const std::string& detail) const {
        return error_log().find("," + where + "," + std::to_string(code) + "," + detail + "\n") !=
               std::string::npos;
    }
    std::string base_;
};

// Runs `op`, which must throw a CFileException*, and returns its OS error (0 if none).
template <typename Op>
long thrown_error(Op op) {
    try {
        op();
    } catch (CFileException* e) {
        long err = e->m_lOsError;
        delete e;
        return err;
    }
    return 0;
}

}  // namespace

TEST_F(LocalBackendTest, StoreReadRenameTestRemoveRoundTrip) {
    Probe f;
    ASSERT_EQ(f.Open("sub\\dir\\f.dat", 0x0A), 0);
    EXPECT_STREQ(f.GetFilePathname(), "sub\\dir\\f.dat");
    EXPECT_EQ(f.WriteEx("hello", 5), 5u);
    f.Write(" world", 6);
    f.Close();
    EXPECT_EQ(f.IsOpened(), 0);
    EXPECT_STREQ(f.GetFilePathname(), "");
    EXPECT_EQ(read_file(base_ + "sub/dir/f.dat"), "hello world");
    ASSERT_EQ(f.Open("\\sub\\dir\\f.dat", 0x01), 0);  // one leading separator dropped
    char buf[32] = {};
    EXPECT_EQ(f.Read(buf, sizeof buf), 11u);
    EXPECT_STREQ(buf, "hello world");
    f.Close();
    EXPECT_EQ(CNFile::Rename("sub\\dir\\f.dat", "sub/g.dat"), 0);
    EXPECT_EQ(CNFile::IsExist("sub\\g.dat"), 1);
    EXPECT_EQ(CNFile::IsExist("sub\\dir\\f.dat"), 0);
    EXPECT_EQ(CNFile::IsExist("sub"), 1);  // folders count
    EXPECT_EQ(CNFile::Remove("sub\\g.dat"), 0);
    EXPECT_EQ(CNFile::IsExist("sub\\g.dat"), 0);
}

// A lookup that fails for another reason than a missing entry is not answered "no".
TEST_F(LocalBackendTest, ExistenceTestThatFailsGivesACodeNotZero) {
    make_base();
    gavo::test::write_file(base_ + "e.dat", "x");
    platform_->fail(Call::Stat, 1, EIO);
    EXPECT_EQ(CNFile::IsExist("e.dat"), -105);
    EXPECT_TRUE(logged("IsExistFile", -105, "e.dat"));
    platform_->fail(Call::Stat, 1, ENOENT);
    EXPECT_EQ(CNFile::IsExist("e.dat"), 0);
    EXPECT_EQ(CNFile::IsExist("e.dat"), 1);
}

TEST_F(LocalBackendTest, MissingFileIsNotFoundAndMissingFolderIsBadPathWithoutCreation) {
    make_base();
    Probe f;
    EXPECT_EQ(f.Open("none.dat", 0), -102);
    EXPECT_TRUE(logged("OpenFile", 2, "none.dat"));
    EXPECT_EQ(f.m_nLastErrCode, -102);
    EXPECT_EQ(f.OpenEx("nodir\\none.dat", 0x02), -107);
    EXPECT_TRUE(logged("OpenFileEx", 3, "nodir\\none.dat"));
    EXPECT_FALSE(exists(base_ + "nodir"));
    EXPECT_EQ(f.IsOpened(), 0);
    EXPECT_EQ(f.m_nOpenFlags, 0x02u);  // the flags asked for stay
}

TEST_F(LocalBackendTest, MissingBaseDirIsCreatedOnlyByACreatingOpen) {
    Probe f;
    EXPECT_EQ(f.Open("a.dat", 0x02), -107);
    EXPECT_FALSE(exists(base_));
    EXPECT_EQ(f.Open("a.dat", 0x0A), 0);
    EXPECT_TRUE(exists(base_ + "a.dat"));
}

TEST_F(LocalBackendTest, AppendCreateCutsTheFileAndStartsAtZero) {
    make_base();
    write_file(base_ + "c.dat", "0123456789");
    Probe f;
    ASSERT_EQ(f.Open("c.dat", 0x0C), 0);
    f.Write("ab", 2);
    f.Close();
    EXPECT_EQ(read_file(base_ + "c.dat"), "ab");
}

TEST_F(LocalBackendTest, ReadWriteAppendIsPositionedAtTheEnd) {
    make_base();
    write_file(base_ + "c.dat", "0123");
    Probe f;
    ASSERT_EQ(f.Open("c.dat", 0x05), 0);
    f.Write("45", 2);
    f.Close();
    EXPECT_EQ(read_file(base_ + "c.dat"), "012345");
}

TEST_F(LocalBackendTest, OpenExReturnsTheLengthAndStartsAtZero) {
    make_base();
    std::string bytes(1000, 'x');
    bytes[0] = 'A';
    write_file(base_ + "k.dat", bytes);
    Probe f;
    EXPECT_EQ(f.OpenEx("k.dat", 0x01), 1000);
    char c = 0;
    EXPECT_EQ(f.Read(&c, 1), 1u);
    EXPECT_EQ(c, 'A');
    f.Close();  // held without sharing: a second open of the same file would be refused
    EXPECT_EQ(f.OpenEx("k.dat", 0x09), 0);  // create cuts it
    f.Close();
    EXPECT_EQ(read_file(base_ + "k.dat"), "");
}

TEST_F(LocalBackendTest, OpenExGivesTheLow32BitsOfLargeFiles) {
    make_base();
    ASSERT_EQ(::truncate((base_ + "big.dat").c_str(), 0), -1);  // missing yet
    write_file(base_ + "big.dat", "");
    ASSERT_EQ(::truncate((base_ + "big.dat").c_str(), (int64_t{1} << 32) + 1000), 0);
    Probe f;
    EXPECT_EQ(f.OpenEx("big.dat", 0x01), 1000);
    ASSERT_EQ(::truncate((base_ + "big.dat").c_str(), (int64_t{1} << 31) + 5), 0);
    EXPECT_LT(f.OpenEx("big.dat", 0x01), 0);  // 2 GiB and more looks negative
}

TEST_F(LocalBackendTest, ReopenReplacesTheOldFileOnlyOnSuccess) {
    make_base();
    write_file(base_ + "old.dat", "old");
    write_file(base_ + "new.dat", "new");
    Probe f;
    ASSERT_EQ(f.Open("old.dat", 0x21), 0);  // read, exclusive
    CFile* old_file = f.m_pFile;
    EXPECT_EQ(f.Open("missing.dat", 0x02), -102);
    EXPECT_EQ(f.m_pFile, old_file);
    EXPECT_EQ(f.m_nOpenFlags, 0x02u);
    EXPECT_STREQ(f.GetFilePathname(), "old.dat");
    f.m_nOpenFlags = 0x01;
    char buf[4] = {};
    EXPECT_EQ(f.Read(buf, 3), 3u);
    EXPECT_STREQ(buf, "old");
    ASSERT_EQ(f.Open("new.dat", 0x03), 0);
    EXPECT_STREQ(f.GetFilePathname(), "new.dat");
    EXPECT_EQ(f.IsLoading(), 1);
    EXPECT_EQ(f.IsStoring(), 1);
    Probe other;  // the old file was released: an exclusive open gets it
    EXPECT_EQ(other.Open("old.dat", 0x21), 0);
}

TEST_F(LocalBackendTest, FailedSeekAfterOpenKeepsTheOldFile) {
    make_base();
    write_file(base_ + "old.dat", "old");
    write_file(base_ + "new.dat", "new");
    Probe f;
    ASSERT_EQ(f.Open("old.dat", 0x01), 0);
    CFile* old_file = f.m_pFile;
    platform_->fail(Call::Lseek, 1, EIO);
    EXPECT_EQ(thrown_error([&] { f.Open("new.dat", 0x05); }), 23);
    EXPECT_EQ(f.m_pFile, old_file);
    EXPECT_STREQ(f.GetFilePathname(), "old.dat");
    Probe other;  // the new file was closed again
    EXPECT_EQ(other.Open("new.dat", 0x21), 0);
}

TEST_F(LocalBackendTest, FolderThatCannotBeCreatedIsMinusOneWithoutRecord) {
    platform_->fail(Call::Mkdir, 1, EACCES, true);
    Probe f;
    EXPECT_EQ(f.Open("sub\\f.dat", 0x0A), -1);
    EXPECT_EQ(f.m_nLastErrCode, -108);
    EXPECT_TRUE(logged("OpenFile", -108, gbk("创建目录失败")));
}

TEST_F(LocalBackendTest, FolderThatCannotBeCreatedThrowsTheRecordWithMinus108) {
    platform_->fail(Call::Mkdir, 1, EACCES, true);
    Probe f;
    CNFileException record;
    CNFileException* caught = nullptr;
    try {
        f.OpenEx("sub\\f.dat", 0x0A, &record);
    } catch (CNFileException* e) {
        caught = e;
    }
    EXPECT_EQ(caught, &record);
    EXPECT_EQ(record.GetErrCode(), -108);
    EXPECT_EQ(f.m_nLastErrCode, -108);
    EXPECT_TRUE(logged("OpenFileEx", -108, gbk("创建目录失败")));
}

TEST_F(LocalBackendTest, FileWhereAFolderShouldBeFailsAfterOneRetry) {
    make_base();
    write_file(base_ + "plain", "x");
    Probe f;
    int opens = platform_->calls(Call::Open);
    EXPECT_EQ(f.Open("plain\\f.dat", 0x0A), -107);
    EXPECT_EQ(platform_->calls(Call::Open) - opens, 2);  // the open and its one retry
    EXPECT_TRUE(logged("OpenFile", 3, "plain\\f.dat"));
    EXPECT_EQ(read_file(base_ + "plain"), "x");
}

TEST_F(LocalBackendTest, OpenFailureWithRecordThrowsTheLibraryCode) {
    make_base();
    Probe f;
    CNFileException record;
    try {
        f.Open("none.dat", 0x01, &record);
        ADD_FAILURE() << "not thrown";
    } catch (CNFileException* e) {
        EXPECT_EQ(e, &record);
    }
    EXPECT_EQ(record.GetErrCode(), -102);
}

TEST_F(LocalBackendTest, FullPathThatDoesNotFitIsRefusedBeforeAnyFolderIsMade) {
    std::string name = "deep\\" + std::string(499 - base_.size(), 'n');  // fits 499 alone
    Probe f;
    EXPECT_EQ(f.Open(name.c_str(), 0x0A), -107);
    EXPECT_EQ(platform_->calls(Call::Mkdir), 0);
    EXPECT_TRUE(logged("OpenFile", 206, name));
    EXPECT_EQ(CNFile::Rename(name.c_str(), "x"), -107);
    EXPECT_TRUE(logged("RenameFile", 206, gbk("CFile错误")));
    EXPECT_EQ(CNFile::Remove(name.c_str()), -107);
    EXPECT_TRUE(logged("RemoveFile", -107, gbk("CFile错误")));
    EXPECT_EQ(CNFile::IsExist(name.c_str()), -107);
    EXPECT_TRUE(logged("IsExistFile", -107, name));
}

TEST_F(LocalBackendTest, IsExistOfAPathThatDoesNotFitIsRefusedNotCut) {
    make_base();
    // Cutting this name to 499 characters would name an existing file.
    std::string folders = std::string(200, 'd') + "/" + std::string(200, 'e');
    ASSERT_EQ(nfile_make_dirs((base_ + folders + "/").c_str()), 0);
    std::string stem = folders + "/" + std::string(499 - base_.size() - folders.size() - 1, 's');
    write_file(base_ + stem, "x");
    EXPECT_EQ(CNFile::IsExist(stem.c_str()), 1);
    EXPECT_EQ(CNFile::IsExist((stem + "tail").c_str()), -107);
}

TEST_F(LocalBackendTest, RenameOntoAnExistingNameLeavesTheTargetUntouched) {
    make_base();
    write_file(base_ + "a.dat", "source");
    write_file(base_ + "b.dat", "target");
    EXPECT_EQ(CNFile::Rename("a.dat", "b.dat"), -103);
    EXPECT_EQ(read_file(base_ + "b.dat"), "target");
    EXPECT_EQ(read_file(base_ + "a.dat"), "source");
    EXPECT_TRUE(logged("RenameFile", 183, gbk("CFile错误")));
}

TEST_F(LocalBackendTest, RemoveOfAMissingFileLogsTheLibraryCode) {
    make_base();
    EXPECT_EQ(CNFile::Remove("none.dat"), -102);
    EXPECT_TRUE(logged("RemoveFile", -102, gbk("CFile错误")));
}

TEST_F(LocalBackendTest, RemoveOfAFolderIsAccessDenied) {
    ::mkdir((dir_ + "base").c_str(), 0777);
    ::mkdir((base_ + "folder").c_str(), 0777);
    EXPECT_EQ(CNFile::Remove("folder"), -103);
    EXPECT_TRUE(exists(base_ + "folder"));
    EXPECT_TRUE(logged("RemoveFile", -103, gbk("CFile错误")));
}

TEST_F(LocalBackendTest, SharingConflictBetweenObjectsIsMinusOne) {
    Probe a, b;
    ASSERT_EQ(a.Open("s.dat", 0x0B | 0x20), 0);  // read, write, create, exclusive
    a.Write("data", 4);
    EXPECT_EQ(b.Open("s.dat", 0x01 | 0x10), -1);
    EXPECT_TRUE(logged("OpenFile", 32, "s.dat"));
    EXPECT_EQ(b.Open("s.dat", 0x0A | 0x10), -1);  // a refused create cuts nothing
    a.Close();
    EXPECT_EQ(read_file(base_ + "s.dat"), "data");
    EXPECT_EQ(b.Open("s.dat", 0x01 | 0x10), 0);
}

TEST_F(LocalBackendTest, LocalWriteAndReadFailuresThrowCFileExceptionUnlogged) {
    Probe f;
    CNFileException record;
    ASSERT_EQ(f.Open("e.dat", 0x0B, &record), 0);
    std::string before = error_log();
    platform_->fail(Call::Write, 1, ENOSPC);
    EXPECT_EQ(thrown_error([&] { f.Write("abc", 3); }), 112);
    platform_->fail(Call::Write, 1, EDQUOT);
    EXPECT_EQ(thrown_error([&] { f.WriteEx("abc", 3); }), 112);
    platform_->fail(Call::Read, 1, EIO);
    char buf[4];
    EXPECT_EQ(thrown_error([&] { f.Read(buf, 4); }), 23);
    platform_->fail(Call::Close, 1, EIO);
    EXPECT_EQ(thrown_error([&] { f.Close(); }), 23);
    EXPECT_EQ(f.IsOpened(), 0);  // closed all the same
    EXPECT_EQ(error_log(), before);
    EXPECT_EQ(record.GetErrCode(), 0);
    EXPECT_EQ(f.m_nLastErrCode, 0);
}

TEST_F(LocalBackendTest, ReadOrWriteWithoutALocalFileFailsInOrder) {
    make_base();
    Probe f;
    EXPECT_EQ(f.Open("none.dat", 0x03), -102);  // keeps the flags, holds no file
    char buf[4];
    EXPECT_EQ(f.Read(buf, 4), 0u);
    EXPECT_EQ(f.WriteEx("x", 1), 0u);
    EXPECT_EQ(f.m_nLastErrCode, -1);
    EXPECT_TRUE(logged("Read", -1, gbk("本地文件未打开")));
    EXPECT_TRUE(logged("WriteEx", -1, gbk("本地文件未打开")));
}

TEST_F(LocalBackendTest, LocalOpenOnAnObjectWithAStaleServerHandle) {
    make_base();
    Probe f;
    f.m_nHandle = 7;  // left from working mode 2 before a fall-back
    ASSERT_EQ(f.Open("n.dat", 0x0A), 0);
    EXPECT_EQ(f.IsOpened(), 1);
    f.Close();
    EXPECT_EQ(f.IsOpened(), 0);
}
