// Sharing rules hold across all clients of the server, as they do among the opens of
// one process in working mode 1.
#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using SharingTest = ServerTest;

TEST_F(SharingTest, ExclusiveOpenOfOneClientLocksOutAnother) {
    start();
    write_file(root_ + "f", "data");
    auto a = client("127.0.0.1");
    auto b = client("127.0.0.2");
    const int h = a->open(0x21, "f");  // read, exclusive
    ASSERT_GE(h, 0);
    EXPECT_EQ(b->open(0x01, "f"), -1);
    EXPECT_EQ(b->open(0x11, "f"), -1);
    EXPECT_TRUE(logged("sharing violation"));
    EXPECT_EQ(a->close_handle(h), 0);
    EXPECT_GE(b->open(0x01, "f"), 0);
}

TEST_F(SharingTest, DenyWriteAdmitsReadersOnly) {
    start();
    write_file(root_ + "f", "data");
    auto a = client();
    auto b = client("127.0.0.2");
    ASSERT_GE(a->open(0x81, "f"), 0);      // read, others may read
    EXPECT_GE(b->open(0x81, "f"), 0);      // read, others may read: admitted
    EXPECT_EQ(b->open(0x13, "f"), -1);     // read+write, even sharing everything
}

TEST_F(SharingTest, DenyNoneAdmitsWritersOnBothSides) {
    start();
    auto a = client();
    auto b = client("127.0.0.2");
    const int ha = a->open(0x1A, "shared");
    const int hb = b->open(0x13, "shared");
    ASSERT_GE(ha, 0);
    ASSERT_GE(hb, 0);
    EXPECT_EQ(a->write(ha, "AAAA"), 4);
    std::string data;
    EXPECT_EQ(b->read(hb, 10, &data), 4);
    EXPECT_EQ(data, "AAAA");
}

TEST_F(SharingTest, RefusedCreateLeavesTheOtherOpensDataAlone) {
    start();
    write_file(root_ + "precious", "content");
    auto a = client();
    auto b = client("127.0.0.2");
    ASSERT_GE(a->open(0x01, "precious"), 0);  // no share bits: nobody else
    EXPECT_EQ(b->open(0x0A, "precious"), -1);  // would cut the file if admitted
    EXPECT_EQ(read_file(root_ + "precious"), "content");
}

TEST_F(SharingTest, OpenFileCannotBeRemovedOrRenamed) {
    start();
    auto a = client();
    auto b = client("127.0.0.2");
    const int h = a->open(0x1A, "held");
    ASSERT_GE(h, 0);
    EXPECT_EQ(b->remove("held"), -1);
    EXPECT_EQ(b->rename("held", "moved"), -1);
    EXPECT_EQ(a->close_handle(h), 0);
    EXPECT_EQ(b->rename("held", "moved"), 0);
    EXPECT_EQ(b->remove("moved"), 0);
}

}  // namespace
}  // namespace gavo::test
