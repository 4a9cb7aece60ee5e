// The file object: construction, the failure rule, the refusals of Read/Write/WriteEx,
// the flag queries, the dispatch of the opens, and copies.
#include <cstdlib>
#include <cstring>

#include "include/GAVO_Client.h"
#include "runtime/state.h"
#include "tests/test_support.h"

namespace gavo::test {
namespace {

// Reaches the protected fields, to put an object in states only a back end could.
struct ProbeFile : CNFile {
    using CNFile::m_nHandle;
    using CNFile::m_nLastErrCode;
    using CNFile::m_nOpenFlags;
    using CNFile::m_pBuffer;
    using CNFile::m_pException;
};

class CNFileTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        ASSERT_EQ(NFile_Init(nullptr), 1);  // working mode 1 by default
    }
    bool log_has(const std::string& where, int code, const std::string& detail_utf8) {
        std::string line = "," + where + "," + std::to_string(code) + "," + gbk(detail_utf8) + "\n";
        return error_log().find(line) != std::string::npos;
    }
};

TEST_F(CNFileTest, NewObjectIsClosedAndEmpty) {
    ProbeFile f;
    EXPECT_EQ(f.IsOpened(), 0);
    EXPECT_STREQ(f.GetFilePathname(), "");
    EXPECT_EQ(f.m_nHandle, -1);
    EXPECT_EQ(f.m_nLastErrCode, 0);
    EXPECT_EQ(f.m_pException, nullptr);
    EXPECT_EQ(f.Seek(100, 2), 0u);
    EXPECT_EQ(f.GetPosition(), 0u);
}

TEST_F(CNFileTest, ReadModeCheckComesBeforeTheCountCheck) {
    ProbeFile f;
    f.m_nOpenFlags = 0x02;
    char buf[4];
    EXPECT_EQ(f.Read(buf, 0), 0u);
    EXPECT_TRUE(log_has("Read", -1, "读取模式错误"));
    f.m_nOpenFlags = 0x01;
    EXPECT_EQ(f.Read(buf, 0), 0u);
    EXPECT_TRUE(log_has("Read", -1, "读取字节为0"));
    EXPECT_EQ(f.m_nLastErrCode, -1);
}

TEST_F(CNFileTest, WriteAndWriteExRefusalsUseTheirOwnWhereNames) {
    ProbeFile f;
    f.m_nOpenFlags = 0x200;
    f.Write("x", 1);
    EXPECT_TRUE(log_has("Write", -1, "写入模式错误"));
    EXPECT_EQ(f.WriteEx("x", 1), 0u);
    EXPECT_TRUE(log_has("WriteEx", -1, "写入模式错误"));
    f.m_nOpenFlags = 0x04;
    EXPECT_EQ(f.WriteEx("x", 0), 0u);
    EXPECT_TRUE(log_has("WriteEx", -1, "写入字节为0"));
}

TEST_F(CNFileTest, FailureWithRecordThrowsTheRecordsOwnAddress) {
    ProbeFile f;
    CNFileException record;
    f.m_pException = &record;
    char buf[4];
    try {
        f.Read(buf, sizeof buf);
        FAIL() << "expected a throw";
    } catch (CNFileException* e) {
        EXPECT_EQ(e, &record);
        EXPECT_EQ(record.GetErrCode(), -1);
    }
    EXPECT_EQ(f.m_nLastErrCode, -1);
}

TEST_F(CNFileTest, LaterOpenWithoutRecordStopsThrowing) {
    ProbeFile f;
    CNFileException record;
    f.m_pException = &record;
    f.Open("a", 0x100, nullptr);  // refused in working mode 1, but the record is cleared
    EXPECT_EQ(f.m_pException, nullptr);
    char buf[4];
    EXPECT_EQ(f.Read(buf, sizeof buf), 0u);
}

TEST_F(CNFileTest, TableFlagsInModeOneAreRefusedWithoutThrowOrStoredCode) {
    for (unsigned flags : {0x100u, 0x200u}) {
        ProbeFile f;
        CNFileException record;
        record.SetErrCode(7);
        EXPECT_EQ(f.Open("t", flags, &record), -1);
        EXPECT_EQ(f.OpenEx("t", flags, &record), -1);
        EXPECT_EQ(record.GetErrCode(), 7);
        EXPECT_EQ(f.m_nLastErrCode, 0);
    }
    EXPECT_TRUE(log_has("Open", -1, "无法连接远程数据库"));
    EXPECT_TRUE(log_has("OpenEx", -1, "无法连接远程数据库"));
}

TEST_F(CNFileTest, NullAndOverLongNamesAreRefusedBeforeAnyBackEnd) {
    ProbeFile f;
    EXPECT_EQ(f.Open(nullptr, 1), -1);
    EXPECT_TRUE(log_has("Open", -1, "文件名为空或过长"));
    std::string long_name(500, 'n');
    CNFileException record;
    try {
        f.OpenEx(long_name.c_str(), 1, &record);
        FAIL() << "expected a throw";
    } catch (CNFileException* e) {
        EXPECT_EQ(e->GetErrCode(), -1);
    }
    EXPECT_EQ(f.m_nOpenFlags, 0u);  // refused before the back end recorded anything
    // The static operations refuse the same names, under their back ends' names.
    EXPECT_EQ(CNFile::Rename(nullptr, "b"), -1);
    EXPECT_EQ(CNFile::Rename("a", long_name.c_str()), -1);
    EXPECT_TRUE(log_has("RenameFile", -1, "文件名为空或过长"));
    EXPECT_EQ(CNFile::Remove(long_name.c_str()), -1);
    EXPECT_TRUE(log_has("RemoveFile", -1, "文件名为空或过长"));
    EXPECT_EQ(CNFile::IsExist(nullptr), -1);
    EXPECT_EQ(CNFile::IsExist(long_name.c_str()), -1);
    EXPECT_TRUE(log_has("IsExistFile", -1, "文件名为空或过长"));
}

TEST_F(CNFileTest, IsStoringAndIsLoadingFollowTheFlags) {
    ProbeFile f;
    for (unsigned flags : {0x100u, 0x02u, 0x04u, 0x06u, 0x0Bu}) {
        f.m_nOpenFlags = flags;
        EXPECT_EQ(f.IsStoring(), 1) << flags;
    }
    for (unsigned flags : {0x200u, 0x01u, 0u, 0x101u}) {
        f.m_nOpenFlags = flags;
        EXPECT_EQ(f.IsStoring(), 0) << flags;
    }
    f.m_nOpenFlags = 0x03;
    EXPECT_EQ(f.IsLoading(), 1);
    f.m_nOpenFlags = 0x02;
    EXPECT_EQ(f.IsLoading(), 0);
}

TEST_F(CNFileTest, CopyOfAnOpenObjectIsClosedSoNothingIsClosedTwice) {
    ProbeFile f;
    f.m_nHandle = 5;
    f.m_nOpenFlags = 0x03;
    std::strcpy(const_cast<char*>(f.GetFilePathname()), "a.txt");
    f.m_pBuffer = std::malloc(16);
    ProbeFile copy(f);
    EXPECT_EQ(copy.IsOpened(), 0);
    EXPECT_EQ(copy.m_nOpenFlags, 0x03u);
    EXPECT_STREQ(copy.GetFilePathname(), "a.txt");
    EXPECT_EQ(copy.m_pBuffer, nullptr);
    // Assignment onto an open object closes its file first rather than lose it.
    ProbeFile assigned;
    ASSERT_EQ(assigned.Open((dir_ + "t.dat").c_str(), 0x0A), 0);
    const int closes = platform_->calls(Call::Close);
    assigned = f;
    EXPECT_EQ(platform_->calls(Call::Close), closes + 1);
    EXPECT_EQ(assigned.IsOpened(), 0);
    EXPECT_STREQ(assigned.GetFilePathname(), "a.txt");
    f.m_nHandle = -1;  // closes nothing on destruction; m_pBuffer is freed once
}

TEST_F(CNFileTest, CloseInModeOneClearsFlagsNameAndAStaleServerHandle) {
    ProbeFile f;
    f.m_nHandle = 9;  // left from working mode 2 before a fall-back
    f.m_nOpenFlags = 0x01;
    f.Close();
    EXPECT_EQ(f.IsOpened(), 0);
    EXPECT_EQ(f.m_nOpenFlags, 0u);
    char buf[4];
    f.m_nOpenFlags = 0x01;
    EXPECT_EQ(f.Read(buf, sizeof buf), 0u);  // no local file: refused, never dereferenced
    EXPECT_TRUE(log_has("Read", -1, "本地文件未打开"));
}

// The destructor cannot pass a failing local close on: it must release the file layer's
// exception rather than drop it (LeakSanitizer reports a dropped one).
TEST_F(CNFileTest, DestructorReleasesACloseFailureItCannotPassOn) {
    NFile_Close();
    write_ini("[Config]\nBASE_DIR=" + dir_ + "\n");
    ASSERT_EQ(NFile_Init(nullptr), 1);
    {
        CNFile f;
        ASSERT_EQ(f.Open("x.dat", 0x0A), 0);
        platform_->fail(Call::Close, 1, EIO);
    }
    EXPECT_EQ(platform_->calls(Call::Close) > 0, true);
}

TEST(CNFileException, HoldsAndCopiesItsCode) {
    CNFileException a, b;
    EXPECT_EQ(a.GetErrCode(), 0);
    a.SetErrCode(-107);
    b = a;
    EXPECT_EQ(b.GetErrCode(), -107);
}

}  // namespace
}  // namespace gavo::test
