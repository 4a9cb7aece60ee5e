// Every request of the file server, byte for byte, and the codes of its failures.
#include <sys/resource.h>

#include <csignal>

#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using ProtocolTest = ServerTest;

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out += static_cast<char>(b);
    return out;
}

TEST_F(ProtocolTest, EveryRequestAndReplyIsByteExact) {
    start();
    auto c = client();
    // open "a.txt" write+create: 00 01, 00 0A, 00 06, a.txt\0 -> handle 0
    ASSERT_TRUE(c->send_raw(bytes({0, 1, 0, 0x0A, 0, 6}) + std::string("a.txt", 6)));
    EXPECT_EQ(c->recv_bytes(2), bytes({0, 0}));
    // write "hello" through handle 0 -> the count
    ASSERT_TRUE(c->send_raw(bytes({0, 4, 0, 0, 0, 0, 0, 5}) + "hello"));
    EXPECT_EQ(c->recv_bytes(4), bytes({0, 0, 0, 5}));
    // close handle 0 -> 0
    ASSERT_TRUE(c->send_raw(bytes({0, 2, 0, 0})));
    EXPECT_EQ(c->recv_bytes(2), bytes({0, 0}));
    EXPECT_EQ(read_file(root_ + "a.txt"), "hello");
    // open-ex read -> handle 1, then the length 5
    ASSERT_TRUE(c->send_raw(bytes({0, 5, 0, 1, 0, 6}) + std::string("a.txt", 6)));
    EXPECT_EQ(c->recv_bytes(6), bytes({0, 1, 0, 0, 0, 5}));
    // read 100 through handle 1 -> 5 and the bytes; then 0 at the end of the file
    ASSERT_TRUE(c->send_raw(bytes({0, 3, 0, 1, 0, 0, 0, 100})));
    EXPECT_EQ(c->recv_bytes(9), bytes({0, 0, 0, 5}) + "hello");
    ASSERT_TRUE(c->send_raw(bytes({0, 3, 0, 1, 0, 0, 0, 100})));
    EXPECT_EQ(c->recv_bytes(4), bytes({0, 0, 0, 0}));
    EXPECT_EQ(c->close_handle(1), 0);
    // rename a.txt -> b.txt -> 0; exists b.txt -> 1, a.txt -> 0
    ASSERT_TRUE(c->send_raw(bytes({0, 6, 0, 6}) + std::string("a.txt", 6) + bytes({0, 6}) +
                            std::string("b.txt", 6)));
    EXPECT_EQ(c->recv_bytes(4), bytes({0, 0, 0, 0}));
    ASSERT_TRUE(c->send_raw(bytes({0, 8, 0, 6}) + std::string("b.txt", 6)));
    EXPECT_EQ(c->recv_bytes(4), bytes({0, 0, 0, 1}));
    ASSERT_TRUE(c->send_raw(bytes({0, 8, 0, 6}) + std::string("a.txt", 6)));
    EXPECT_EQ(c->recv_bytes(4), bytes({0, 0, 0, 0}));
    // remove b.txt -> 0; again -> -102 (FF FF FF 9A)
    ASSERT_TRUE(c->send_raw(bytes({0, 7, 0, 6}) + std::string("b.txt", 6)));
    EXPECT_EQ(c->recv_bytes(4), bytes({0, 0, 0, 0}));
    ASSERT_TRUE(c->send_raw(bytes({0, 7, 0, 6}) + std::string("b.txt", 6)));
    EXPECT_EQ(c->recv_bytes(4), bytes({0xFF, 0xFF, 0xFF, 0x9A}));
    // an open that fails answers a 16-bit code and nothing more: -102 is FF 9A
    ASSERT_TRUE(c->send_raw(bytes({0, 5, 0, 1, 0, 6}) + std::string("b.txt", 6)));
    EXPECT_EQ(c->recv_bytes(2), bytes({0xFF, 0x9A}));
    EXPECT_EQ(c->exists("a.txt"), 0);  // still in step
}

TEST_F(ProtocolTest, RequestsSentTogetherAreAnsweredInOrder) {
    start();
    auto c = client();
    ASSERT_TRUE(c->send_raw(be16(1) + be16(0x0A) + name_field("p.txt") + be16(4) + be16(0) +
                            be32(3) + "abc" + be16(2) + be16(0) + be16(8) + name_field("p.txt")));
    EXPECT_EQ(c->recv16(), 0);
    EXPECT_EQ(c->recv32(), 3);
    EXPECT_EQ(c->recv16(), 0);
    EXPECT_EQ(c->recv32(), 1);
}

TEST_F(ProtocolTest, OpenFlagsMeanWhatTheLocalBackEndMakesOfThem) {
    start();
    auto c = client();
    write_file(root_ + "f", std::string(1000, 'x'));
    int64_t length = 0;
    // 0x01: read, length 1000, position 0
    int h = c->open_ex(0x01, "f", &length);
    ASSERT_GE(h, 0);
    EXPECT_EQ(length, 1000);
    std::string data;
    EXPECT_EQ(c->read(h, 10, &data), 10);
    EXPECT_EQ(c->close_handle(h), 0);
    // 0x06: write with the position at the end
    h = c->open(0x06, "f");
    EXPECT_EQ(c->write(h, "END"), 3);
    EXPECT_EQ(c->close_handle(h), 0);
    EXPECT_EQ(read_file(root_ + "f").size(), 1003u);
    // 0x09: read + create cuts an existing file, the length is 0
    h = c->open_ex(0x09, "f", &length);
    ASSERT_GE(h, 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(c->close_handle(h), 0);
    EXPECT_EQ(read_file(root_ + "f"), "");
    // 0x0C: append + create on a missing file in missing folders
    h = c->open(0x0C, "sub\\dir/g.dat");
    ASSERT_GE(h, 0);
    EXPECT_EQ(c->write(h, "g"), 1);
    EXPECT_EQ(c->close_handle(h), 0);
    EXPECT_EQ(read_file(root_ + "sub/dir/g.dat"), "g");
}

TEST_F(ProtocolTest, FailuresAnswerTheLibraryCodes) {
    start();
    auto c = client();
    mkdir((root_ + "folder").c_str(), 0777);
    write_file(root_ + "file", "data");
    EXPECT_EQ(c->open(0x01, "missing.txt"), -102);        // file not found
    EXPECT_EQ(c->open(0x01, "nodir/missing.txt"), -107);  // folder not found, none created
    EXPECT_FALSE(exists_on_disk(root_ + "nodir"));
    EXPECT_EQ(c->open(0x01, "folder"), -103);      // a folder is not a file
    EXPECT_EQ(c->open(0x0A, "file/below"), -107);  // a file where a folder should be
    EXPECT_EQ(c->remove("folder"), -103);
    EXPECT_EQ(c->remove("nothing"), -102);
    write_file(root_ + "other", "other");
    EXPECT_EQ(c->rename("file", "other"), -103);  // never replaces
    EXPECT_EQ(read_file(root_ + "file"), "data");
    EXPECT_EQ(read_file(root_ + "other"), "other");
    EXPECT_EQ(c->rename("nothing", "x"), -102);
    EXPECT_EQ(c->exists("folder"), 1);
}

TEST_F(ProtocolTest, UnknownHandleAndWrongAccessAreRefusedAndTheStreamStaysInStep) {
    start();
    auto c = client();
    write_file(root_ + "r", "abc");
    std::string data;
    EXPECT_EQ(c->read(77, 10, &data), -102);
    EXPECT_EQ(c->write(77, "lost"), -102);
    EXPECT_EQ(c->close_handle(77), -102);
    EXPECT_EQ(c->close_handle(0xFFFF), -102);  // an object without a handle
    const int h = c->open(0x01, "r");
    ASSERT_GE(h, 0);
    EXPECT_EQ(c->write(h, std::string(100000, 'w')), -103);  // data consumed all the same
    EXPECT_EQ(c->read(h, 10, &data), 3);
    EXPECT_EQ(data, "abc");
    const int w = c->open(0x02, "r");
    EXPECT_EQ(w, -1);  // sharing: the read open admits no other
    EXPECT_EQ(c->close_handle(h), 0);
    const int w2 = c->open(0x02, "r");
    ASSERT_GE(w2, 0);
    EXPECT_EQ(c->read(w2, 10, &data), -103);
    EXPECT_EQ(c->close_handle(w2), 0);
    EXPECT_TRUE(logged("unknown handle"));
    EXPECT_TRUE(logged("not opened for writing"));
}

TEST_F(ProtocolTest, LargeTransfersStreamBothWays) {
    start();
    auto c = client();
    std::string big(5 * 1024 * 1024 + 123, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    int h = c->open(0x0A, "big.bin");
    ASSERT_GE(h, 0);
    EXPECT_EQ(c->write(h, big), static_cast<int64_t>(big.size()));
    EXPECT_EQ(c->close_handle(h), 0);
    h = c->open(0x01, "big.bin");
    std::string back;
    // Asking for more than there is gives what there is.
    EXPECT_EQ(c->read(h, 0x7FFFFFFF, &back), static_cast<int64_t>(big.size()));
    EXPECT_TRUE(back == big);
    EXPECT_EQ(c->close_handle(h), 0);
}

TEST_F(ProtocolTest, WriteFailingPartWayStillConsumesItsData) {
    start();
    auto c = client();
    const int h = c->open(0x0A, "limited.bin");
    ASSERT_GE(h, 0);
    // Files of this process may not grow beyond 64 KiB for the length of this test.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit lim = old;
    lim.rlim_cur = 64 * 1024;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lim);
    const int64_t status = c->write(h, std::string(1024 * 1024, 'z'));
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(status, -106);                 // disk full
    EXPECT_EQ(c->exists("limited.bin"), 1);  // the connection is still in step
    EXPECT_EQ(c->close_handle(h), 0);
}

TEST_F(ProtocolTest, ReadOnlyServerRefusesEveryChange) {
    config_.read_only = true;
    start();
    write_file(root_ + "ro.txt", "keep");
    auto c = client();
    EXPECT_EQ(c->open(0x02, "ro.txt"), -103);
    EXPECT_EQ(c->open(0x09, "new.txt"), -103);
    EXPECT_EQ(c->rename("ro.txt", "x.txt"), -103);
    EXPECT_EQ(c->remove("ro.txt"), -103);
    const int h = c->open(0x11, "ro.txt");
    ASSERT_GE(h, 0);
    std::string data;
    EXPECT_EQ(c->read(h, 100, &data), 4);
    EXPECT_EQ(read_file(root_ + "ro.txt"), "keep");
    EXPECT_FALSE(exists_on_disk(root_ + "new.txt"));
}

TEST_F(ProtocolTest, TableOpenIsRefusedCleanly) {
    start();
    auto c = client();
    ASSERT_TRUE(c->send_raw(be16(16) + name_field("events")));
    EXPECT_EQ(c->recv16(), -102);  // no tables file: no table is declared
    EXPECT_EQ(c->exists("events"), 0);
}

}  // namespace
}  // namespace gavo::test
