// Sharing rules hold across all clients of the server, as they do among the opens of
// one process in working mode 1.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <functional>

#include "nfile/cfile.h"
#include "proto/open_mode.h"
#include "server/base/sys.h"
#include "tests/server_fixture.h"
#include "tests/server_process.h"

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
// brought back). Another handle's append before the write counts in the old length, and
// bytes another program wrote before the write began are never cut.
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
        // 3: another program overwrites bytes of the hanging write in place
        {"outside", 0x16, 3, "base", "base0123456789", "base0123XY6789"},
        // 4: another program writes past the write's end after the open, before the write
        {"grown", 0x16, 4, "base", "base0123456789ZZZZZZ", "base0123456789ZZZZZZ"},
        // 5: a completed write "AB" first, then another program writes past its end
        {"grown later", 0x16, 5, "base", "baseAB0123456789ZZZZZZ", "baseAB0123456789ZZZZZZ"},
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
        if (c.other_appends == 5) {
            EXPECT_EQ(a->write(h, "AB"), 2);
        }
        if (c.other_appends >= 4) {
            const int fd = ::open((root_ + c.name).c_str(), O_WRONLY);
            const off_t at = c.other_appends == 4 ? 4 : 6;
            EXPECT_EQ(pwrite(fd, std::string(16, 'Z').data(), 16, at), 16);
            ::close(fd);
        }
        ASSERT_TRUE(a->send_raw(be16(4) + be16(h) + be32(100) + "0123456789"));
        ASSERT_TRUE(eventually([&] { return read_file(root_ + c.name) == c.written; }));
        if (c.other_appends == 1) other_appends();
        if (c.other_appends == 3) {
            const int fd = ::open((root_ + c.name).c_str(), O_WRONLY);
            EXPECT_EQ(pwrite(fd, "XY", 2, 8), 2);
            ::close(fd);
        }
        a->close();
        b->close();
        ASSERT_TRUE(eventually([&] { return server_->connections() == 0; }));
        EXPECT_EQ(read_file(root_ + c.name), c.after) << c.name;
    }
    EXPECT_TRUE(logged("kept the 10 bytes of a cut-off write to file appended"));
    EXPECT_TRUE(
        logged("kept the 10 bytes of a cut-off write to file outside: the file changed "
               "outside this server"));
}

// The locks on the file decide among processes: a second server on the same root and a
// host in working mode 1 (CFile) on the same folder are held off as clients of one server
// are, also from renaming or removing an open file; a killed holder frees the file.
TEST_F(SharingTest, RulesHoldBetweenProcessesOnOneRoot) {
    start();
    ServerProcess other;
    ASSERT_TRUE(other.start(
        {"--listen", "127.0.0.1:0", "--root", root_, "--state", dir_ + "state2"}, dir_ + "log2"));
    write_file(root_ + "f", "data");
    const struct {
        int held, wanted;
        bool admitted;
    } cases[] = {
        {0x21, 0x01, false},  // exclusive read holds off a reader
        {0x01, 0x11, false},  // no share bits: as exclusive
        {0x81, 0x81, true},   // readers that deny writing share
        {0x81, 0x13, false},  // ... and hold off a writer
        {0x13, 0x81, false},  // a writer holds off a reader that denies writing
        {0x42, 0x12, true},   // a writer that denies reading admits another writer
        {0x42, 0x11, false},  // ... but no reader
        {0x12, 0x12, true},   // writers that share everything
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.held << " then " << c.wanted);
        auto a = client();
        WireClient b;
        ASSERT_TRUE(b.connect(other.port()));
        const int h = a->open(c.held, "f");
        ASSERT_GE(h, 0);
        const int hb = b.open(c.wanted, "f");
        EXPECT_EQ(hb >= 0, c.admitted);
        CFile local;
        CFileException error;
        const std::string path = root_ + "f";
        EXPECT_EQ(local.Open(path.c_str(),
                             mode_word_from_open_flags(static_cast<unsigned>(c.wanted)), &error),
                  c.admitted);
        if (!c.admitted) {
            EXPECT_EQ(error.m_lOsError, 32);  // sharing violation
        }
        EXPECT_EQ(b.remove("f"), -1);
        EXPECT_EQ(b.rename("f", "g"), -1);
        if (hb >= 0) {
            EXPECT_EQ(b.close_handle(hb), 0);  // handles outlive their connection
        }
        EXPECT_EQ(a->close_handle(h), 0);
    }
    // A host in working mode 1 holds the file against both servers, until it closes.
    {
        CFile local;
        ASSERT_TRUE(local.Open((root_ + "f").c_str(), mode_word_from_open_flags(0x21), nullptr));
        WireClient b;
        ASSERT_TRUE(b.connect(other.port()));
        EXPECT_EQ(client()->open(0x01, "f"), -1);
        EXPECT_EQ(b.open(0x01, "f"), -1);
        EXPECT_EQ(b.remove("f"), -1);
    }
    WireClient b;
    ASSERT_TRUE(b.connect(other.port()));
    ASSERT_GE(b.open(0x23, "f"), 0);
    EXPECT_EQ(client()->open(0x01, "f"), -1);
    EXPECT_TRUE(logged("sharing violation (another process)"));
    other.signal_and_wait(SIGKILL);
    EXPECT_GE(client()->open(0x01, "f"), 0);
}

// A file system that does not hold byte-range locks between descriptors cannot keep the
// sharing rules: the server refuses to start on it.
TEST_F(SharingTest, ServerRefusesARootWithoutWorkingLocks) {
    struct NoLocks : server::Sys {
        int ofd_lock(int fd, int cmd, struct flock* lock) override {
            const int rc = Sys::ofd_lock(fd, cmd, lock);
            if (cmd == F_OFD_GETLK) lock->l_type = F_UNLCK;  // never sees another's lock
            return rc;
        }
    } no_locks;
    server::set_sys(&no_locks);
    logger_ = std::make_unique<server::Logger>([](const std::string&) {});
    server_ = std::make_unique<server::Server>(config_, *logger_);
    std::string error;
    EXPECT_FALSE(server_->start(&error));
    EXPECT_NE(error.find("does not hold byte-range locks"), std::string::npos) << error;
    server_.reset();
    server::set_sys(nullptr);
}

// Where the file system refuses RENAME_NOREPLACE (ceph-fuse), a rename still never
// replaces: a file moves by a link and an unlink, a folder by claiming the new name first.
// Another server meeting the brief second link refuses the open as a sharing violation
// (-1), as it would meet a file being renamed, not as a hard link (-103).
TEST_F(SharingTest, RenameWithoutNoReplaceStillNeverReplaces) {
    struct NoReplaceRefused : server::Sys {
        int renameat2(int fd, const char* from, int to_fd, const char* to,
                      unsigned flags) override {
            if (flags & RENAME_NOREPLACE) {
                errno = EINVAL;
                return -1;
            }
            return Sys::renameat2(fd, from, to_fd, to, flags);
        }
        int linkat(int fd, const char* from, int to_fd, const char* to, int flags) override {
            const int rc = Sys::linkat(fd, from, to_fd, to, flags);
            if (rc == 0 && during) during();
            return rc;
        }
        std::function<void()> during;
    } fs;
    server::set_sys(&fs);
    start();
    ServerProcess other;
    ASSERT_TRUE(other.start(
        {"--listen", "127.0.0.1:0", "--root", root_, "--state", dir_ + "state2"}, dir_ + "log2"));
    write_file(root_ + "a", "A");
    write_file(root_ + "b", "B");
    ASSERT_EQ(mkdir((root_ + "d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "e").c_str(), 0755), 0);
    std::vector<int> opens_meanwhile;
    fs.during = [&] {
        WireClient w;
        ASSERT_TRUE(w.connect(other.port()));
        opens_meanwhile = {w.open(0x01, "a"), w.open(0x01, "moved")};
    };
    auto c = client();
    const struct {
        const char *from, *to;
        int64_t code;
    } cases[] = {{"a", "b", -103},
                 {"d", "e", -103},
                 {"a", "e", -103},
                 {"a", "moved", 0},
                 {"d", "dmoved", 0}};
    for (const auto& r : cases) EXPECT_EQ(c->rename(r.from, r.to), r.code) << r.from << r.to;
    EXPECT_EQ(read_file(root_ + "b"), "B");
    EXPECT_EQ(read_file(root_ + "moved"), "A");
    EXPECT_FALSE(exists_on_disk(root_ + "a"));
    EXPECT_FALSE(exists_on_disk(root_ + "d"));
    EXPECT_TRUE(exists_on_disk(root_ + "dmoved"));
    EXPECT_EQ(opens_meanwhile, std::vector<int>({-1, -1}));
    EXPECT_NE(read_file(dir_ + "log2").find("the file is being renamed"), std::string::npos);
    c.reset();
    server_.reset();
    server::set_sys(nullptr);
}

}  // namespace
}  // namespace gavo::test
