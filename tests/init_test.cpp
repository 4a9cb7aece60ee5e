// NFile_Init and NFile_Close: settings, working modes, refusals and their log lines.
#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "include/GAVO_Client.h"
#include "net/messages.h"
#include "net/trace_log.h"
#include "runtime/state.h"
#include "tests/test_support.h"

namespace gavo::test {
namespace {

class InitTest : public LibraryTest {};

// Report lines without their date: everything after the first comma of each line.
std::vector<std::string> report_tails(const std::string& log) {
    std::vector<std::string> tails;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find('\n', pos);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(pos, end - pos);
        size_t comma = line.find(',');
        tails.push_back(comma == std::string::npos ? line : line.substr(comma + 1));
        pos = end + 1;
    }
    return tails;
}

TEST_F(InitTest, NoIniFileStartsInModeOneWithDefaults) {
    EXPECT_EQ(NFile_Init(nullptr), 1);
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_STREQ(gavo::lib::host_name, "localhost");
    EXPECT_STREQ(gavo::lib::host_port, "0");
    EXPECT_STREQ(gavo::lib::base_dir, "");
    std::vector<std::string> expected = {"NFile_Init,0,(null)", "NFile_Init:CTRL_MODE,0,1",
                                         "NFile_Init:HOST_NAME,0,localhost",
                                         "NFile_Init:HOST_PORT,0,0", "NFile_Init:BASE_DIR,0,"};
    EXPECT_EQ(report_tails(error_log()), expected);
}

TEST_F(InitTest, ExplicitIniPathIsUsedAndReported) {
    std::string ini = path("custom.ini");
    write_file(ini, "[Config]\nHOST_NAME=files.example\nHOST_PORT=9000\n");
    EXPECT_EQ(NFile_Init(ini.c_str()), 1);
    EXPECT_STREQ(gavo::lib::host_name, "files.example");
    EXPECT_STREQ(gavo::lib::host_port, "9000");
    EXPECT_NE(error_log().find(",NFile_Init,0," + ini + "\n"), std::string::npos);
}

TEST_F(InitTest, BaseDirGetsExactlyOneBackslashAppended) {
    write_ini("[Config]\nBASE_DIR=data\n");
    NFile_Init(nullptr);
    EXPECT_STREQ(gavo::lib::base_dir, "data\\");
    EXPECT_NE(error_log().find(",NFile_Init:BASE_DIR,0,data\n"), std::string::npos);
    NFile_Close();
    write_ini("[Config]\nBASE_DIR=data\\\n");
    NFile_Init(nullptr);
    EXPECT_STREQ(gavo::lib::base_dir, "data\\\\");
    EXPECT_NE(error_log().find(",NFile_Init:BASE_DIR,0,data\\\n"), std::string::npos);
}

TEST_F(InitTest, SecondInitReturnsOneAndWritesNothing) {
    EXPECT_EQ(NFile_Init(nullptr), 1);
    std::string before = error_log();
    write_file(path("other.ini"), "[Config]\nCTRL_MODE=3\n");
    EXPECT_EQ(NFile_Init(path("other.ini").c_str()), 1);
    EXPECT_EQ(gavo::lib::fsmode.load(), 1);
    EXPECT_EQ(error_log(), before);
}

TEST_F(InitTest, ClosingTextHasNoLineBreakAndTheNextLineFollowsIt) {
    NFile_Init(nullptr);
    NFile_Close();
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    std::string log = error_log();
    ASSERT_GE(log.size(), 20u);
    EXPECT_EQ(log.substr(log.size() - 20), "NFile_Close,fsmode=1");
    platform_->set_time(1772525109);  // a fixed moment; its local rendering follows the zone
    NFile_Init(nullptr);
    EXPECT_NE(error_log().find("NFile_Close,fsmode=1" +
                               std::to_string(1900 +
                                              [] {
                                                  time_t t = 1772525109;
                                                  struct tm tm_local;
                                                  localtime_r(&t, &tm_local);
                                                  return tm_local.tm_year;
                                              }()) +
                               "-"),
              std::string::npos);
}

TEST_F(InitTest, CloseBeforeInitIsHarmless) {
    NFile_Close();
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    EXPECT_EQ(gavo::lib::err_log, nullptr);
    EXPECT_EQ(error_log(), "");
}

TEST_F(InitTest, ModeZeroRereadsTheIniOnEveryOperation) {
    write_ini("[Config]\nCTRL_MODE=0\n");
    CNFile file;
    EXPECT_EQ(file.Open("a", 1), -1);
    EXPECT_EQ(CNFile::Rename("a", "b"), -201);
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    std::string log = error_log();
    size_t count = 0;
    for (size_t p = log.find(",NFile_Init,0,(null)"); p != std::string::npos;
         p = log.find(",NFile_Init,0,(null)", p + 1))
        ++count;
    EXPECT_EQ(count, 2u);
}

TEST_F(InitTest, ModeThreeIsStoredAndOperationsFailWithoutLines) {
    write_ini("[Config]\nCTRL_MODE=3\n");
    EXPECT_EQ(NFile_Init(nullptr), 1);
    EXPECT_EQ(gavo::lib::fsmode.load(), 3);
    std::string before = error_log();
    CNFile file;
    CNFileException record;
    EXPECT_EQ(file.Open("a", 1), -1);
    try {
        file.Open("a", 1, &record);
        ADD_FAILURE() << "expected the record to be thrown";
    } catch (CNFileException* e) {
        EXPECT_EQ(e, &record);
        EXPECT_EQ(e->GetErrCode(), -1);
    }
    EXPECT_EQ(CNFile::Rename("a", "b"), -201);
    EXPECT_EQ(CNFile::Remove("a"), -201);
    EXPECT_EQ(CNFile::IsExist("a"), -201);
    EXPECT_EQ(error_log(), before);
}

TEST_F(InitTest, OverLongSettingsAreRefusedNotCut) {
    write_ini("[Config]\nHOST_NAME=" + std::string(256, 'h') + "\n");
    EXPECT_EQ(NFile_Init(nullptr), 0);
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    EXPECT_STREQ(gavo::lib::host_name, "");
    EXPECT_NE(error_log().find(",NFile_Init:HOST_NAME,-1," + gbk("配置值过长") + "\n"),
              std::string::npos);
    CNFile file;
    EXPECT_EQ(file.Open("a", 1), -200);
    EXPECT_EQ(CNFile::IsExist("a"), -200);
}

TEST_F(InitTest, SettingsThatJustFitAreAccepted) {
    write_ini("[Config]\nHOST_NAME=" + std::string(255, 'h') + "\nHOST_PORT=" +
              std::string(255, '1') + "\nBASE_DIR=" + std::string(258, 'b') + "\n");
    EXPECT_EQ(NFile_Init(nullptr), 1);
    EXPECT_EQ(std::strlen(gavo::lib::host_name), 255u);
    EXPECT_EQ(std::strlen(gavo::lib::base_dir), 259u);
}

TEST_F(InitTest, OverLongBaseDirAndPortAreRefused) {
    write_ini("[Config]\nBASE_DIR=" + std::string(259, 'b') + "\n");
    EXPECT_EQ(NFile_Init(nullptr), 0);
    EXPECT_NE(error_log().find(",NFile_Init:BASE_DIR,-1,"), std::string::npos);
    write_ini("[Config]\nHOST_PORT=" + std::string(256, '1') + "\n");
    EXPECT_EQ(NFile_Init(nullptr), 0);
    EXPECT_NE(error_log().find(",NFile_Init:HOST_PORT,-1,"), std::string::npos);
}

// Without the key nothing changes, not even the log; anything but 0 to 86400 seconds is
// refused like an over-long setting (-2 marks the over-long row).
TEST_F(InitTest, ReplyTimeOutIsSecondsUpToADayAndAnythingElseIsRefused) {
    const std::pair<std::string, int> cases[] = {
        {"", 0},        {"=0", 0},   {"= 15 ", 15}, {"=86400", 86400},
        {"=86401", -1}, {"=-1", -1}, {"=1s", -1},   {"=1234567890", -2}};
    for (const auto& [value, seconds] : cases) {
        write_ini("[Config]\n" + (value.empty() ? "" : "REPLY_TIMEOUT" + value) + "\n");
        EXPECT_EQ(NFile_Init(nullptr), seconds < 0 ? 0 : 1) << value;
        EXPECT_EQ(seconds < 0 ? seconds : gavo::lib::reply_timeout, seconds) << value;
        std::string refusal = gbk(seconds == -2 ? "配置值过长" : "配置值无效");
        EXPECT_EQ(error_log().find(":REPLY_TIMEOUT,-1," + refusal) != std::string::npos,
                  seconds < 0)
            << value;
        EXPECT_EQ(error_log().find("REPLY_TIMEOUT") == std::string::npos, value.empty());
        NFile_Close();
        write_file(path("gavo_nfile_err.log"), "");
    }
}

TEST_F(InitTest, OverLongIniPathIsRefused) {
    std::string ini(260, 'i');
    EXPECT_EQ(NFile_Init(ini.c_str()), 0);
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    EXPECT_NE(error_log().find(",NFile_Init,-1," + gbk("配置文件路径过长") + "\n"),
              std::string::npos);
}

TEST_F(InitTest, ErrorLogThatCannotOpenIsSilentAndRetriedByTheNextInit) {
    platform_->fail(Call::Fopen, 1, EACCES);
    write_ini("[Config]\nCTRL_MODE=0\n");
    EXPECT_EQ(NFile_Init(nullptr), 1);
    EXPECT_EQ(gavo::lib::err_log, nullptr);
    EXPECT_EQ(error_log(), "");
    EXPECT_EQ(NFile_Init(nullptr), 1);
    EXPECT_NE(gavo::lib::err_log, nullptr);
    EXPECT_NE(error_log().find(",NFile_Init:CTRL_MODE,0,0\n"), std::string::npos);
}

// Both logs follow LOG_DIR; missing or empty keeps them beside the executable without a
// line about it, and a folder that cannot take them says so on standard error.
TEST_F(InitTest, LogDirMovesBothLogsAndAnUnwritableOneFallsBack) {
    ASSERT_EQ(0, ::mkdir(path("logs").c_str(), 0755));
    struct Case {
        std::string line;    // the INI's LOG_DIR line
        std::string folder;  // where both logs land
        bool complaint;      // a line on standard error
    } cases[] = {
        {"", "", false},
        {"LOG_DIR=", "", false},
        {"LOG_DIR=" + path("logs"), "logs/", false},
        {"LOG_DIR=\"" + path("logs") + "\\\"", "logs/", false},
        {"LOG_DIR=" + path("missing"), "", true},
    };
    for (const Case& c : cases) {
        for (const char* folder : {"", "logs/"})
            for (const char* log : {"gavo_nfile_err.log", "netf_Log.Log"})
                ::unlink(path(std::string(folder) + log).c_str());
        write_ini("[Config]\n" + c.line + "\n");
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(NFile_Init(nullptr), 1) << c.line;
        net_log("trace %d", 1);
        const std::string complaint = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(
            complaint.find("LOG_DIR " + path("missing") + "/: cannot write") != std::string::npos,
            c.complaint)
            << complaint;
        const std::string log = text_lines(read_file(path(c.folder + "gavo_nfile_err.log")));
        EXPECT_NE(log.find(",NFile_Init:CTRL_MODE,0,1\n"), std::string::npos) << c.line;
        EXPECT_EQ(log.find(",NFile_Init:LOG_DIR,0,") != std::string::npos, c.line.size() > 8)
            << c.line;
        EXPECT_NE(read_file(path(c.folder + "netf_Log.Log")).find("trace 1"), std::string::npos)
            << c.line;
        NFile_Close();
    }
}

TEST(MinorExports, BehaveAsDeclared) {
    EXPECT_EQ(fnGAVO_Client(), 42);
    EXPECT_EQ(nGAVO_Client, 0);
    CGAVO_Client a, b;
    EXPECT_EQ(&(a = b), &a);
}

}  // namespace
}  // namespace gavo::test
