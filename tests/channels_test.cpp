// Channel start-up and shutdown of working mode 2, and the channel locks.
#include <cerrno>
#include <string>
#include <thread>

#include "net/messages.h"
#include "runtime/lock.h"
#include "runtime/state.h"
#include "tests/remote_fixture.h"

namespace gavo::test {
namespace {

using ChannelStartTest = RemoteTest;

std::string line_tail(const char* where, const char* detail) {
    return std::string(",") + where + ",0," + detail + "\n";
}

TEST_F(ChannelStartTest, StartUpOpensArchiveThenLogChannelAndReportsBoth) {
    start();
    std::string log = error_log();
    size_t archive = log.find(line_tail(msg::kOpenArchiveChannel, msg::kSucceeded));
    size_t logch = log.find(line_tail(msg::kOpenLogChannel, msg::kSucceeded));
    ASSERT_NE(archive, std::string::npos) << log;
    ASSERT_NE(logch, std::string::npos) << log;
    EXPECT_LT(archive, logch);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    EXPECT_STREQ(gavo::lib::proto_name, "tcp");
    EXPECT_EQ(server_.wait_accepted(2), 2);
    EXPECT_EQ(NFile_Init(), 1);  // already started: nothing is opened again
    EXPECT_EQ(platform_->calls(Call::Connect), 2);
}

TEST_F(ChannelStartTest, ShutdownClosesBothConnectionsAndTheLocks) {
    start();
    NFile_Close();
    EXPECT_EQ(server_.received(0, 1), "");  // returns once the server saw the close
    EXPECT_EQ(server_.received(1, 1), "");
    EXPECT_EQ(gavo::lib::archive_conn, nullptr);
    EXPECT_EQ(gavo::lib::log_conn, nullptr);
    EXPECT_EQ(gavo::lib::archive_lock, nullptr);
    EXPECT_EQ(gavo::lib::log_lock, nullptr);
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
}

TEST_F(ChannelStartTest, NoServerFailsTheStartUpAndOpenGivesMinus200) {
    RefusingPort nobody;
    write_remote_ini(nobody.port_text());
    EXPECT_EQ(NFile_Init(), 0);
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    CNFile file;
    EXPECT_EQ(file.Open("a.txt", 1), -200);
    EXPECT_EQ(CNFile::Rename("a", "b"), -200);
    // The socket-error line reaches the file with the next report line's flush.
    std::string log = error_log();
    EXPECT_NE(log.find(line_tail(msg::kOpenArchiveChannel, msg::kFailed) + "SocketError" +
                       std::to_string(ECONNREFUSED) + "\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(msg::kOpenLogChannel), std::string::npos);
}

// The archive connection opened before the log channel failed is kept, and the next
// start-up uses it without opening anything; log-channel requests then fail at step 1.
TEST_F(ChannelStartTest, LogChannelFailureKeepsTheArchiveConnection) {
    const std::string exists = be16(8) + wire_string("a");
    server_.reply(0, exists.size(), be32(1));
    write_remote_ini(server_.port_text());
    platform_->fail(Call::Connect, 2, ECONNREFUSED);
    EXPECT_EQ(NFile_Init(), 0);
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    EXPECT_NE(gavo::lib::archive_conn, nullptr);

    EXPECT_EQ(NFile_Init(), 1);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    std::string log = error_log();
    EXPECT_NE(log.find(line_tail(msg::kOpenArchiveChannel, msg::kSucceeded)), std::string::npos);
    EXPECT_NE(log.find(line_tail(msg::kOpenLogChannel, msg::kFailed) + "SocketError" +
                       std::to_string(ECONNREFUSED) + "\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(gavo::lib::log_conn, nullptr);
    EXPECT_EQ(platform_->calls(Call::Connect), 2);
    EXPECT_EQ(CNFile::IsExist("a"), 1);  // on the kept archive connection
    EXPECT_EQ(server_.received(0, exists.size()), exists);
    CNFile table;
    EXPECT_EQ(table.Open("t", 0x100), -100);
    EXPECT_TRUE(reported("OpenTab", -100, "1"));
}

// NFile_Close leaves no socket behind, also one kept from a failed start-up.
// The shutdown closes connections only in working mode 2: an archive connection kept from a
// failed start-up survives it, and the next start-up uses it instead of opening another.
TEST_F(ChannelStartTest, ShutdownKeepsTheArchiveConnectionOfAFailedStartUpForTheNextStart) {
    write_remote_ini(server_.port_text());
    platform_->fail(Call::Connect, 2, ECONNREFUSED);
    EXPECT_EQ(NFile_Init(), 0);
    NetConn* kept = gavo::lib::archive_conn;
    ASSERT_NE(kept, nullptr);
    NFile_Close();
    EXPECT_EQ(gavo::lib::archive_conn, kept);
    const int connects = platform_->calls(Call::Connect);
    EXPECT_EQ(NFile_Init(), 1);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2);
    EXPECT_EQ(gavo::lib::archive_conn, kept);
    EXPECT_EQ(platform_->calls(Call::Connect), connects);
}

TEST_F(ChannelStartTest, LockThatCannotBeCreatedFailsTheStartUp) {
    write_remote_ini(server_.port_text());
    platform_->fail(Call::MutexInit, 2, EAGAIN);  // log_lock: the second creation
    EXPECT_EQ(NFile_Init(), 0);
    EXPECT_EQ(gavo::lib::fsmode.load(), 0);
    EXPECT_EQ(gavo::lib::log_lock, nullptr);
    EXPECT_TRUE(reported("NFile_Init", -1, msg::kLockCreateFailed));
    EXPECT_EQ(platform_->calls(Call::Connect), 0);
    EXPECT_EQ(NFile_Init(), 1);  // a later start-up creates the missing lock
    EXPECT_NE(gavo::lib::log_lock, nullptr);
}

TEST(ChannelLockTest, LockIsRecursiveAndOnlyItsOwnerReleasesIt) {
    NFileLock* lock = nfile_lock_create();
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(nfile_lock(lock), 0);
    EXPECT_EQ(nfile_lock(lock), 0);
    int other_unlock = 0;
    std::thread([&] { other_unlock = nfile_unlock(lock); }).join();
    EXPECT_EQ(other_unlock, -1);
    EXPECT_EQ(nfile_unlock(lock), 0);
    EXPECT_EQ(nfile_unlock(lock), 0);
    EXPECT_EQ(nfile_unlock(lock), -1);  // not held any more
    EXPECT_EQ(nfile_lock(nullptr), -1);
    EXPECT_EQ(nfile_lock_destroy(lock), 0);
}

// A waiter must not block for ever on a lock whose owner ended while holding it (twice).
TEST(ChannelLockTest, LockLeftByAnEndedThreadCountsAsTaken) {
    NFileLock* lock = nfile_lock_create();
    ASSERT_NE(lock, nullptr);
    std::thread([&] { nfile_lock(lock), nfile_lock(lock); }).join();
    EXPECT_EQ(nfile_lock(lock), 0);
    EXPECT_EQ(nfile_unlock(lock), 0);
    EXPECT_EQ(nfile_unlock(lock), -1);  // taken once, whatever the ended thread's depth
    nfile_lock_destroy(lock);
}

}  // namespace
}  // namespace gavo::test
