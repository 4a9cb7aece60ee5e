// The error log's report lines, notes and flushing.
#include "runtime/error_log.h"

#include <thread>

#include "include/GAVO_Client.h"
#include "runtime/report.h"
#include "runtime/state.h"
#include "tests/test_support.h"

namespace gavo::test {
namespace {

class ErrorLogTest : public LibraryTest {};

TEST_F(ErrorLogTest, ReportLineHasNoLeadingZeros) {
    NFile_Init(nullptr);
    platform_->set_time(eight_five_nine());
    NFile_LogError("Read", -1, "x");
    EXPECT_NE(error_log().find("\n2026-3-3 8:5:9,Read,-1,x\n"), std::string::npos);
}

TEST_F(ErrorLogTest, ReturnsTheCodeUnchangedInEveryCase) {
    for (int code : {0, -1, -100, -108, -32768, 7}) EXPECT_EQ(NFile_LogError("w", code, "d"), code);
    NFile_Init(nullptr);
    for (int code : {0, -1, -100, -108, -32768, 7}) EXPECT_EQ(NFile_LogError("w", code, "d"), code);
}

TEST_F(ErrorLogTest, NullDetailIsWrittenAsNull) {
    NFile_Init(nullptr);
    NFile_LogError("Open", -1, nullptr);
    EXPECT_NE(error_log().find(",Open,-1,(null)\n"), std::string::npos);
}

TEST_F(ErrorLogTest, LineIsInTheFileWhenTheCallReturns) {
    NFile_Init(nullptr);
    NFile_LogError("WriteNet", -54, "4");
    EXPECT_NE(error_log().find(",WriteNet,-54,4\n"), std::string::npos);
}

TEST_F(ErrorLogTest, MinusHundredOutsideModeTwoWritesTheNoReconnectionNote) {
    NFile_Init(nullptr);
    platform_->set_time(eight_five_nine());
    NFile_LogError("OpenNet", -100, "1");
    EXPECT_NE(
        error_log().find(gbk("没有自动重连") + ",fsmode =1 \n,2026-3-3 8:5:9,OpenNet,-100,1\n"),
        std::string::npos);
}

TEST_F(ErrorLogTest, NothingIsWrittenWhileTheLogIsClosed) {
    EXPECT_EQ(NFile_LogError("Read", -100, "1"), -100);
    NFile_LogSocketError();
    NFile_Init(nullptr);
    NFile_Close();
    std::string after_close = error_log();
    EXPECT_EQ(NFile_LogError("Read", -1, "1"), -1);
    EXPECT_EQ(error_log(), after_close);
    EXPECT_EQ(after_close.find("Read"), std::string::npos);
}

TEST_F(ErrorLogTest, SocketErrorLineCarriesTheThreadsLastSocketError) {
    NFile_Init(nullptr);
    note_socket_error(104);
    NFile_LogSocketError();
    NFile_LogError("OpenTab", -54, "t");
    EXPECT_NE(error_log().find("\nSocketError104\n"), std::string::npos);
}

TEST_F(ErrorLogTest, ConcurrentReportsKeepTheirLinesWhole) {
    NFile_Init(nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) NFile_LogError("Thread", -t - 1, "detail");
        });
    for (auto& th : threads) th.join();
    std::string log = error_log();
    size_t lines = 0, pos = log.find("BASE_DIR");
    pos = log.find('\n', pos) + 1;
    while (pos < log.size()) {
        size_t end = log.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = log.substr(pos, end - pos);
        EXPECT_NE(line.find(",Thread,-"), std::string::npos) << line;
        EXPECT_EQ(line.find(",Thread,", line.find(",Thread,") + 1), std::string::npos) << line;
        ++lines;
        pos = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace gavo::test
