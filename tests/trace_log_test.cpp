// The network trace log: where it goes, the start line once per process, the line
// format, and what happens to a message too long for its buffer.
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "net/netconn.h"
#include "net/trace_text.h"
#include "tests/net_fixture.h"

namespace gavo::test {
namespace {

const std::string kStart = "**** log file start ****\n";

class TraceLogTest : public NetTest {
protected:
    // Fixes the clock at 2024-03-05 07:08:09 local time.
    void fix_clock() {
        struct tm local = {};
        local.tm_year = 124;
        local.tm_mon = 2;
        local.tm_mday = 5;
        local.tm_hour = 7;
        local.tm_min = 8;
        local.tm_sec = 9;
        local.tm_isdst = -1;
        platform_->set_time(mktime(&local));
    }
};

TEST_F(TraceLogTest, FirstLineOfTheProcessIsTheStartLine) {
    fix_clock();
    net_log("net_read recv errorcode %d", 104);
    net_log("second %s", "line");
    EXPECT_EQ(trace_log(), "[2024-03-05 07:08:09]" + kStart +
                               "[2024-03-05 07:08:09]net_read recv errorcode 104\n"
                               "[2024-03-05 07:08:09]second line\n");
}

TEST_F(TraceLogTest, StartLineIsWrittenOnceAcrossThreads) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([i] { net_log("thread %d", i); });
    for (std::thread& t : threads) t.join();
    std::string text = trace_text();
    size_t first = text.find(kStart);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(text.find(kStart, first + 1), std::string::npos);
    EXPECT_EQ(text.size(), kStart.size() + 4 * std::string("thread 0\n").size());
}

// The log counts as started even when the start line could not be written.
TEST_F(TraceLogTest, StartLineIsNotRetriedWhenTheFileFailedToOpen) {
    platform_->fail(Call::Fopen, 1, EACCES);
    net_log("a");
    net_log("b");
    EXPECT_EQ(trace_text(), "a\nb\n");
}

TEST_F(TraceLogTest, LineIsLostQuietlyWhenTheFileCannotOpen) {
    platform_->fail(Call::Fopen, 1, EACCES, true);
    net_log("lost");
    platform_->clear_faults();
    net_log("kept");
    EXPECT_EQ(trace_text(), "kept\n");
}

TEST_F(TraceLogTest, LongMessageIsCutToTheBuffer) {
    net_log("%s", std::string(600, 'x').c_str());
    EXPECT_EQ(trace_text(), kStart + std::string(510, 'x') + "\n");
}

TEST(TraceTextTest, CutNeverSplitsADoubleByteCharacter) {
    std::string text = std::string(509, 'x') + "\xC4\xDA" + "yy";
    EXPECT_EQ(cp936_cut(text.data(), text.size(), 510), 509u);
    EXPECT_EQ(cp936_cut(text.data(), text.size(), 511), 511u);
    std::string all_wide;
    for (int i = 0; i < 300; ++i) all_wide += "\xB3\xC9";
    EXPECT_EQ(cp936_cut(all_wide.data(), all_wide.size(), 510), 510u);
    EXPECT_EQ(cp936_cut("ab", 2, 510), 2u);
}

TEST(TraceTextTest, MessageThatFitsGetsItsNewline) {
    char line[kTraceMessageSize] = "short";
    finish_trace_message(line, 5);
    EXPECT_STREQ(line, "short\n");
    std::string fits(510, 'z');
    char full[kTraceMessageSize];
    fits.copy(full, fits.size());
    finish_trace_message(full, fits.size());
    EXPECT_EQ(std::string(full), fits + "\n");
}

}  // namespace
}  // namespace gavo::test
