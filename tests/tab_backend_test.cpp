// The log-channel back end, byte for byte against a scripted server.
#include <cerrno>
#include <string>

#include "net/messages.h"
#include "tests/remote_fixture.h"

namespace gavo::test {
namespace {

using LogChannelTest = RemoteTest;

const std::string kOpenT1 = be16(16) + wire_string("t1");

// True when the report line (where, code, detail) directly follows a socket-error line.
bool reported_after_socket_error(const std::string& log, const std::string& where, int code,
                                 const std::string& detail) {
    size_t tail = log.find("," + where + "," + std::to_string(code) + "," + detail + "\n");
    if (tail == std::string::npos) return false;
    // Walk back from the report line over the undated lines of a reconnection (a -100 in
    // working mode 2 reconnects between the socket-error line and the report).
    size_t line_end = log.rfind('\n', tail);
    while (line_end != std::string::npos && line_end > 0) {
        size_t prev_start = log.rfind('\n', line_end - 1);
        prev_start = prev_start == std::string::npos ? 0 : prev_start + 1;
        std::string prev = log.substr(prev_start, line_end - prev_start);
        if (prev.rfind("SocketError", 0) == 0)
            return prev.size() > 11 &&
                   prev.find_first_not_of("-0123456789", 11) == std::string::npos;
        if (prev.empty() || (prev[0] >= '0' && prev[0] <= '9')) return false;  // a dated line
        if (prev_start == 0) return false;
        line_end = prev_start - 1;
    }
    return false;
}

TEST_F(LogChannelTest, OpenWith0x100Or0x200SendsTheSameRequest) {
    server_.reply(1, 7, be16(5));
    server_.reply(1, 7, be16(6));
    start();
    CNFile write_table, open_table;
    EXPECT_EQ(write_table.Open("t1", 0x100), 0);
    EXPECT_EQ(open_table.OpenEx("t1", 0x200), 0);  // OpenEx gives 0, not a length
    EXPECT_EQ(server_.received(1, 14), kOpenT1 + kOpenT1);
    EXPECT_EQ(write_table.IsStoring(), 1);
    EXPECT_EQ(open_table.IsStoring(), 0);
    EXPECT_STREQ(open_table.GetFilePathname(), "t1");
}

TEST_F(LogChannelTest, WriteSendsOpcodeHandleAndDataWithoutCount) {
    server_.reply(1, 7, be16(5));
    server_.reply(1, 7, be32(0));
    server_.reply(1, 4, be16(0));
    start();
    CNFile table;
    ASSERT_EQ(table.Open("t1", 0x100), 0);
    EXPECT_EQ(table.WriteEx("ABC", 3), 3u);
    EXPECT_EQ(server_.received(1, 14).substr(7), std::string("\x00\x13\x00\x05\x41\x42\x43", 7));
    table.Close();
    EXPECT_EQ(server_.received(1, 18).substr(14), std::string("\x00\x11\x00\x05", 4));
    EXPECT_EQ(table.IsOpened(), 0);
}

// A 0x200 object holds a log-channel handle: its close must go to the log channel, not
// to the archive channel where the same number may be another file's handle.
TEST_F(LogChannelTest, Object0x200IsClosedOnTheLogChannel) {
    server_.reply(1, 7, be16(7));
    server_.reply(1, 4, be16(0xFFFF));  // any close reply counts as success
    const std::string exists = be16(8) + wire_string("t1");
    server_.reply(0, exists.size(), be32(1));
    start();
    CNFile table;
    ASSERT_EQ(table.Open("t1", 0x200), 0);
    table.Close();
    EXPECT_EQ(table.IsOpened(), 0);
    EXPECT_EQ(server_.received(1, 11).substr(7), std::string("\x00\x11\x00\x07", 4));
    // The archive channel's first bytes are the next archive request, not a close.
    EXPECT_EQ(CNFile::IsExist("t1"), 1);
    EXPECT_EQ(server_.received(0, exists.size()), exists);
}

// Reopening a table object on the archive channel closes its table on the log channel,
// whichever archive open is used; and a table open closes an archive file there.
TEST_F(LogChannelTest, ReopeningCloseGoesToTheChannelOfTheHandle) {
    server_.reply(1, 7, be16(7));
    server_.reply(1, 4, be16(0));
    server_.reply(0, 12, be16(3));
    server_.reply(0, 4, be16(0));
    server_.reply(1, 7, be16(8));
    server_.reply(1, 4, be16(0));
    server_.reply(0, 12, be16(4) + be32(0));
    server_.reply(0, 4, be16(0));
    server_.reply(1, 7, be16(9));
    start();
    CNFile file;
    ASSERT_EQ(file.Open("t1", 0x200), 0);
    ASSERT_EQ(file.Open("a.txt", 1), 0);    // closes table handle 7 on the log channel
    ASSERT_EQ(file.Open("t1", 0x100), 0);   // closes file handle 3 on the archive channel
    ASSERT_EQ(file.OpenEx("a.txt", 1), 0);  // closes table handle 8 on the log channel
    ASSERT_EQ(file.Open("t1", 0x100), 0);   // closes file handle 4 on the archive channel
    const std::string close_log = be16(17);
    EXPECT_EQ(server_.received(1, 29),
              kOpenT1 + close_log + be16(7) + kOpenT1 + close_log + be16(8) + kOpenT1);
    EXPECT_EQ(server_.received(0, 32), open_request(1, 1, "a.txt") + be16(2) + be16(3) +
                                           open_request(5, 1, "a.txt") + be16(2) + be16(4));
}

TEST_F(LogChannelTest, EveryFailureWritesTheSocketErrorLineFirst) {
    server_.reply(1, 7, be16(0x8000));
    server_.reply(1, 7, be16(5));
    server_.reply(1, 6, be32(-5));
    server_.close_after(1, 4);
    start();
    CNFile table;
    EXPECT_EQ(table.Open("t1", 0x100), -32768);
    EXPECT_EQ(table.IsStoring(), 1);  // the flags stay after a failed open
    ASSERT_EQ(table.Open("t1", 0x100), 0);
    EXPECT_EQ(table.WriteEx("AB", 2), 0u);
    table.Close();  // the server hangs up instead of replying
    EXPECT_EQ(table.IsOpened(), 1);
    std::string log = error_log();
    EXPECT_TRUE(reported_after_socket_error(log, "OpenTab", -32768, "t1")) << log;
    EXPECT_TRUE(reported_after_socket_error(log, "WriteTab", -5, "4")) << log;
    EXPECT_TRUE(reported_after_socket_error(log, "CloseTab", -54, "3")) << log;
}

TEST_F(LogChannelTest, FailedSendGivesMinus100WithItsStep) {
    server_.reply(1, 7, be16(5) + "zz");  // stray bytes: the next fields go out one by one
    start();
    CNFile table;
    CNFileException record;
    ASSERT_EQ(table.Open("t1", 0x100, &record), 0);
    server_.received(1, 7);
    platform_->fail(Call::Send, 2, EPIPE);
    try {
        table.Write("ABC", 3);
        FAIL() << "no throw";
    } catch (CNFileException*) {
    }
    EXPECT_EQ(record.GetErrCode(), -100);
    EXPECT_TRUE(reported_after_socket_error(error_log(), "WriteTab", -100, "2"));
}

TEST_F(LogChannelTest, FailedDataSendIsASendFailure) {
    server_.reply(1, 7, be16(5));
    start();
    CNFile table;
    ASSERT_EQ(table.Open("t1", 0x100), 0);
    server_.received(1, 7);
    platform_->fail(Call::Send, 1, EPIPE);
    std::string data(5000, 'r');
    EXPECT_EQ(table.WriteEx(data.data(), 5000), 0u);
    EXPECT_TRUE(reported("WriteTab", -100, gavo::msg::kTransferFailed));
}

}  // namespace
}  // namespace gavo::test
