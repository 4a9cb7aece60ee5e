// The archive-channel back end, byte for byte against a scripted server.
#include <cerrno>
#include <cstring>
#include <string>

#include "net/messages.h"
#include "tests/remote_fixture.h"

namespace gavo::test {
namespace {

using ArchiveChannelTest = RemoteTest;

const std::string kOpenA = open_request(1, 1, "a.txt");

TEST_F(ArchiveChannelTest, OpenSendsTwelveBytesAndKeepsTheHandle) {
    server_.reply(0, 12, be16(3));
    server_.reply(0, 4, be16(0));
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 1), 0);
    EXPECT_EQ(server_.received(0, 12), std::string("\x00\x01\x00\x01\x00\x06"
                                                   "a.txt\x00",
                                                   12));
    EXPECT_EQ(file.IsOpened(), 1);
    EXPECT_STREQ(file.GetFilePathname(), "a.txt");
    file.Close();
    EXPECT_EQ(server_.received(0, 16), kOpenA + std::string("\x00\x02\x00\x03", 4));
    EXPECT_EQ(file.IsOpened(), 0);
    EXPECT_STREQ(file.GetFilePathname(), "");
}

TEST_F(ArchiveChannelTest, ReadSendsEightBytesAndDeliversTheData) {
    std::string data;
    for (int i = 0; i < 100; ++i) data += static_cast<char>(i * 7);
    server_.reply(0, 12, be16(3));
    server_.reply(0, 8, be32(100) + data);
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 1), 0);
    char buf[100];
    ASSERT_EQ(file.Read(buf, 100), 100u);
    EXPECT_EQ(std::string(buf, 100), data);
    EXPECT_EQ(server_.received(0, 20), kOpenA + std::string("\x00\x03\x00\x03\x00\x00\x00\x64", 8));
}

TEST_F(ArchiveChannelTest, OpenReplyIsASigned16BitValue) {
    server_.reply(0, 12, be16(0x7FFF));
    server_.reply(0, 4, be16(0));
    server_.reply(0, 12, be16(0x8000));
    server_.reply(0, 12, be16(0xFFFF));
    start();
    CNFile big;
    ASSERT_EQ(big.Open("a.txt", 1), 0);
    big.Close();  // the handle 32767 goes back as 7F FF
    EXPECT_EQ(server_.received(0, 16).substr(12), std::string("\x00\x02\x7F\xFF", 4));

    CNFile refused;
    EXPECT_EQ(refused.Open("a.txt", 1), -32768);
    EXPECT_EQ(refused.Open("a.txt", 1), -1);
    EXPECT_EQ(refused.IsOpened(), 0);
    EXPECT_TRUE(reported("OpenNet", -32768, "a.txt"));
    EXPECT_TRUE(reported("OpenNet", -1, "a.txt"));
}

TEST_F(ArchiveChannelTest, NegativeOpenReplyIsThrownInTheRecord) {
    server_.reply(0, 12, be16(0xFFF6));
    start();
    CNFile file;
    CNFileException record;
    try {
        file.Open("a.txt", 1, &record);
        FAIL() << "no throw";
    } catch (CNFileException* thrown) {
        EXPECT_EQ(thrown, &record);
    }
    EXPECT_EQ(record.GetErrCode(), -10);
}

TEST_F(ArchiveChannelTest, CloseReplyOfAnyValueClosesTheObject) {
    for (int value : {0xFFFF, 0x8000, 0x1234}) {
        server_.reply(0, 12, be16(3));
        server_.reply(0, 4, be16(value));
    }
    start();
    for (int i = 0; i < 3; ++i) {
        CNFile file;
        ASSERT_EQ(file.Open("a.txt", 1), 0);
        file.Close();
        EXPECT_EQ(file.IsOpened(), 0) << i;
        EXPECT_EQ(file.IsLoading(), 0) << i;
    }
    EXPECT_EQ(error_log().find("CloseNet"), std::string::npos);
}

TEST_F(ArchiveChannelTest, CloseOfAnObjectNotOpenSendsHandleFFFF) {
    server_.reply(0, 4, be16(0));
    start();
    CNFile file;
    file.Close();
    EXPECT_EQ(server_.received(0, 4), std::string("\x00\x02\xFF\xFF", 4));
}

TEST_F(ArchiveChannelTest, FailedCloseLeavesTheObjectOpen) {
    server_.reply(0, 12, be16(3));
    server_.close_after(0, 4);
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 1), 0);
    file.Close();  // the server hangs up instead of replying
    EXPECT_EQ(file.IsOpened(), 1);
    EXPECT_STREQ(file.GetFilePathname(), "a.txt");
    EXPECT_TRUE(reported("CloseNet", -54, "3"));
}

TEST_F(ArchiveChannelTest, OpenExReturnsTheLengthFromTheReply) {
    server_.reply(0, 12, be16(4) + be32(123456));
    server_.reply(0, 4, be16(0));
    server_.reply(0, 12, be16(5) + be32(0));
    start();
    CNFile file;
    EXPECT_EQ(file.OpenEx("a.txt", 1), 123456);
    EXPECT_EQ(server_.received(0, 12), open_request(5, 1, "a.txt"));
    // Reopening closes the open file first.
    EXPECT_EQ(file.OpenEx("a.txt", 1), 0);
    EXPECT_EQ(server_.received(0, 28).substr(12, 4), std::string("\x00\x02\x00\x04", 4));
}

// A length that looks like a transport code is still a length; a length cut off by the
// server's hang-up fails the open instead of being returned as one.
TEST_F(ArchiveChannelTest, OpenExLengthThatDoesNotArriveFailsTheOpen) {
    server_.reply(0, 12, be16(4) + be32(-54));
    server_.reply(0, 4, be16(0));
    server_.reply(0, 12, be16(5) + std::string(2, '\0'));
    server_.close_after(0, 0);
    start();
    CNFile file;
    EXPECT_EQ(file.OpenEx("a.txt", 1), -54);
    EXPECT_EQ(file.IsOpened(), 1);
    EXPECT_EQ(file.OpenEx("b.txt", 1), -54);
    EXPECT_EQ(file.IsOpened(), 0);
    EXPECT_EQ(file.IsLoading(), 0);
    EXPECT_TRUE(reported("OpenNetEx", -54, "b.txt"));
}

TEST_F(ArchiveChannelTest, FailedOpenKeepsTheFlagsFailedOpenExDoesNot) {
    server_.reply(0, 12, be16(0xFFFE));
    server_.reply(0, 8, be32(-3));
    server_.reply(0, 12, be16(0xFFFE));
    start();
    CNFile open;
    EXPECT_EQ(open.Open("a.txt", 0x03), -2);
    EXPECT_EQ(open.IsLoading(), 1);
    EXPECT_EQ(open.IsStoring(), 1);
    EXPECT_EQ(open.IsOpened(), 0);
    char buf[4];
    EXPECT_EQ(open.Read(buf, 4), 0u);  // passes the mode check; no handle: 0xFFFF
    EXPECT_EQ(server_.received(0, 20).substr(12),
              std::string("\x00\x03\xFF\xFF\x00\x00\x00\x04", 8));
    CNFile openex;
    EXPECT_EQ(openex.OpenEx("a.txt", 0x03), -2);
    EXPECT_EQ(openex.IsLoading(), 0);
    EXPECT_EQ(openex.IsStoring(), 0);
    EXPECT_TRUE(reported("OpenNetEx", -2, "a.txt"));
}

TEST_F(ArchiveChannelTest, RenameRemoveAndExistsReturnTheirStatuses) {
    server_.reply(0, 2 + 8 + 8, be32(7));
    server_.reply(0, 2 + 8 + 8, be32(-9));
    server_.reply(0, 2 + 8, be32(3));
    server_.reply(0, 2 + 8, be32(-4));
    server_.reply(0, 2 + 8, be32(1));
    server_.reply(0, 2 + 8, be32(0));
    server_.reply(0, 2 + 8, be32(-6));
    start();
    EXPECT_EQ(CNFile::Rename("old.a", "new.b"), 0);
    EXPECT_EQ(server_.received(0, 18), be16(6) + wire_string("old.a") + wire_string("new.b"));
    EXPECT_EQ(CNFile::Rename("old.a", "new.b"), -9);
    EXPECT_EQ(CNFile::Remove("old.a"), 0);
    EXPECT_EQ(server_.received(0, 46).substr(36), be16(7) + wire_string("old.a"));
    EXPECT_EQ(CNFile::Remove("old.a"), -4);
    EXPECT_EQ(CNFile::IsExist("old.a"), 1);
    EXPECT_EQ(server_.received(0, 66).substr(56), be16(8) + wire_string("old.a"));
    EXPECT_EQ(CNFile::IsExist("old.a"), 0);
    EXPECT_EQ(CNFile::IsExist("old.a"), -6);
    EXPECT_TRUE(reported("RenameNet", -9, "6"));
    EXPECT_TRUE(reported("RemoveNet", -4, "4"));
    EXPECT_TRUE(reported("IsExistNet", -6, "4"));
}

TEST_F(ArchiveChannelTest, ExistsAnsweredOutOfRangeStillReturnsOne) {
    server_.reply(0, 2 + 8, be32(0x40430000));
    server_.reply(0, 2 + 8, be32(2));
    start();
    EXPECT_EQ(CNFile::IsExist("old.a"), 1);
    EXPECT_EQ(CNFile::IsExist("old.a"), 1);
}

TEST_F(ArchiveChannelTest, WriteSendsCountAndDataAndReturnsTheCount) {
    server_.reply(0, 12, be16(3));
    server_.reply(0, 8 + 3, be32(0));
    server_.reply(0, 8 + 3, be32(-5));
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 2), 0);
    EXPECT_EQ(file.WriteEx("xyz", 3), 3u);
    EXPECT_EQ(server_.received(0, 23).substr(12),
              std::string("\x00\x04\x00\x03\x00\x00\x00\x03xyz", 11));
    EXPECT_EQ(file.WriteEx("xyz", 3), 0u);
    EXPECT_TRUE(reported("WriteNet", -5, "4"));
}

// The reply announces more bytes than the caller asked for: the buffer must not be
// overrun, and the surplus must not be taken as the next request's reply.
TEST_F(ArchiveChannelTest, ReadReplyLongerThanTheBufferFailsAndIsDrained) {
    server_.reply(0, 12, be16(3));
    server_.reply(0, 8, be32(10) + "0123456789");
    server_.reply(0, 8, be32(2) + "ok");
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 1), 0);
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(file.Read(buf, 4), 0u);
    EXPECT_EQ(std::string(buf, 8), "########");
    EXPECT_TRUE(reported("ReadNet", -1, gavo::msg::kReplyTooLong));
    EXPECT_EQ(file.Read(buf, 4), 2u);
    EXPECT_EQ(std::string(buf, 2), "ok");
}

TEST_F(ArchiveChannelTest, NegativeReadReplyReadsNoData) {
    server_.reply(0, 12, be16(3));
    server_.reply(0, 8, be32(-3));
    server_.reply(0, 8, be32(0));
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 1), 0);
    char buf[4];
    EXPECT_EQ(file.Read(buf, 4), 0u);
    EXPECT_TRUE(reported("ReadNet", -3, "4"));
    EXPECT_EQ(file.Read(buf, 4), 0u);  // a reply of 0 bytes is no failure
    EXPECT_EQ(error_log().find("ReadNet,0"), std::string::npos);
}

// A failed data receive must come back as a failure, not as 2^32 - 53 bytes read.
TEST_F(ArchiveChannelTest, FailedDataReceiveIsAFailureNotAHugeCount) {
    server_.reply(0, 12, be16(3));
    server_.reply(0, 8, be32(100));
    start();
    CNFile file;
    CNFileException record;
    ASSERT_EQ(file.Open("a.txt", 1, &record), 0);
    server_.received(0, 12);
    platform_->fail(Call::Recv, 2, ECONNRESET);  // the first receive brings the count
    char buf[100];
    try {
        file.Read(buf, 100);
        FAIL() << "no throw";
    } catch (CNFileException*) {
    }
    EXPECT_EQ(record.GetErrCode(), -53);
    EXPECT_TRUE(reported("ReadNet", -53, gavo::msg::kTransferFailed));
}

TEST_F(ArchiveChannelTest, PeerClosingDuringTheDataGivesTheShortCount) {
    server_.reply(0, 12, be16(3));
    server_.reply(0, 8, be32(100) + "abc");
    server_.close_after(0, 0);
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 1), 0);
    char buf[100];
    EXPECT_EQ(file.Read(buf, 100), 3u);
}

// A failed data send is a send failure: -100, not a huge unsigned count.
TEST_F(ArchiveChannelTest, FailedDataSendIsASendFailure) {
    server_.reply(0, 12, be16(3));
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 2), 0);
    server_.received(0, 12);
    platform_->fail(Call::Send, 1, EPIPE);  // the first full buffer of the data
    std::string data(5000, 'd');
    EXPECT_EQ(file.WriteEx(data.data(), 5000), 0u);
    EXPECT_TRUE(reported("WriteNet", -100, gavo::msg::kTransferFailed));
}

// Stray bytes after a reply leave input unread, so the next request's fields are sent
// one by one and the failing one can be named.
TEST_F(ArchiveChannelTest, FailedSendGivesMinus100WithItsStep) {
    server_.reply(0, 12, be16(3) + "zz");
    start();
    CNFile file;
    CNFileException record;
    ASSERT_EQ(file.Open("a.txt", 3, &record), 0);
    server_.received(0, 12);
    platform_->fail(Call::Send, 2, EPIPE);
    try {
        file.Write("q", 1);
        FAIL() << "no throw";
    } catch (CNFileException*) {
    }
    EXPECT_EQ(record.GetErrCode(), -100);
    EXPECT_TRUE(reported("WriteNet", -100, "2"));
}

TEST_F(ArchiveChannelTest, FailedSendOfAStaticRequestReturnsMinus100) {
    server_.reply(0, 12, be16(3) + "zz");
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 3), 0);
    platform_->fail(Call::Send, 1, EPIPE);
    EXPECT_EQ(CNFile::Remove("a.txt"), -100);
    EXPECT_TRUE(reported("RemoveNet", -100, "1"));
}

TEST_F(ArchiveChannelTest, MissingBufferOrHugeCountIsRefusedBeforeAnythingIsSent) {
    server_.reply(0, 12, be16(3));
    server_.reply(0, 4, be16(0));
    start();
    CNFile file;
    ASSERT_EQ(file.Open("a.txt", 3), 0);
    EXPECT_EQ(file.Read(nullptr, 10), 0u);
    char byte = 'x';
    EXPECT_EQ(file.WriteEx(&byte, 0x80000000u), 0u);
    EXPECT_TRUE(reported("ReadNet", -1, gavo::msg::kBadBuffer));
    EXPECT_TRUE(reported("WriteNet", -1, gavo::msg::kBadBuffer));
    file.Close();
    EXPECT_EQ(server_.received(0, 16).substr(12), std::string("\x00\x02\x00\x03", 4));
}

TEST_F(ArchiveChannelTest, BadNamesAreRefusedBeforeAnythingIsSent) {
    server_.reply(0, 2 + 2 + 2 + 500, be16(1));
    start();
    std::string too_long(500, 'n');
    CNFile file;
    EXPECT_EQ(file.Open(too_long.c_str(), 1), -1);
    EXPECT_EQ(file.OpenEx(nullptr, 1), -1);
    EXPECT_EQ(CNFile::Rename("a", too_long.c_str()), -1);
    EXPECT_EQ(CNFile::Rename(nullptr, "a"), -1);
    EXPECT_EQ(CNFile::Remove(too_long.c_str()), -1);
    EXPECT_EQ(CNFile::IsExist(nullptr), -1);
    EXPECT_TRUE(reported("RenameNet", -1, gavo::msg::kBadName));
    EXPECT_TRUE(reported("IsExistNet", -1, gavo::msg::kBadName));
    // The longest name that fits goes out whole, and is the first thing the server got.
    std::string longest(499, 'n');
    ASSERT_EQ(file.Open(longest.c_str(), 1), 0);
    EXPECT_EQ(server_.received(0, 506), open_request(1, 1, longest));
    EXPECT_STREQ(file.GetFilePathname(), longest.c_str());
}

}  // namespace
}  // namespace gavo::test
