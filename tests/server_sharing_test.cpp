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
    ASSERT_GE(a->open(0x81, "f"), 0);   // read, others may read
    EXPECT_GE(b->open(0x81, "f"), 0);   // read, others may read: admitted
    EXPECT_EQ(b->open(0x13, "f"), -1);  // read+write, even sharing everything
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
    ASSERT_GE(a->open(0x01, "precious"), 0);   // no share bits: nobody else
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

// A write cut off part-way is taken back to where it began, unless another handle wrote
// to the file meanwhile: an append that handle had acknowledged and closed must stay. A
// write inside a longer file keeps the file's old tail (the bytes it overwrote cannot be
// brought back). Another handle's append before the write counts in the old length.
TEST_F(SharingTest, CutOffWriteIsTakenBackOnlyWhenNobodyElseWrote) {
    start();
    const std::string longer = "base" + std::string(16, 'x') + "TAIL";
    const struct {
        std::string name;
        // 0x16 write, append, deny none; 0x12 write from the start, deny none; 0x1A write,
        // create (cuts the file), deny none
        int flags;
        int other_appends;  // "REC" by another handle: 0 never, 1 while the write hangs, 2 before
        std::string before, written, after;  // `written`: the file while the write hangs
    } cases[] = {
        {"alone", 0x16, 0, "base", "base0123456789", "base"},
        {"appended", 0x16, 1, "base", "base0123456789", "base0123456789REC"},
        {"inside", 0x12, 0, longer, "0123456789" + longer.substr(10),
         "0123456789" + longer.substr(10)},
        {"cut", 0x1A, 2, "base", "0123456789", "012"},
    };
    for (const auto& c : cases) {
        write_file(root_ + c.name, c.before);
        auto a = client();
        auto b = client("127.0.0.2");
        auto other_appends = [&] {
            const int hb = b->open(0x16, c.name);
            EXPECT_EQ(b->write(hb, "REC"), 3);
            EXPECT_EQ(b->close_handle(hb), 0);
        };
        const int h = a->open(c.flags, c.name);
        if (c.other_appends == 2) other_appends();
        ASSERT_TRUE(a->send_raw(be16(4) + be16(h) + be32(100) + "0123456789"));
        ASSERT_TRUE(eventually([&] { return read_file(root_ + c.name) == c.written; }));
        if (c.other_appends == 1) other_appends();
        a->close();
        b->close();
        ASSERT_TRUE(eventually([&] { return server_->connections() == 0; }));
        EXPECT_EQ(read_file(root_ + c.name), c.after) << c.name;
    }
    EXPECT_TRUE(logged("kept the 10 bytes of a cut-off write to file appended"));
}

}  // namespace
}  // namespace gavo::test
