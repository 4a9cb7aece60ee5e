// Names never reach outside the served root: the folding of names by text, and the
// escape attempts through the wire, with openat2 and with the component walk.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "server/base/sys.h"
#include "server/files/names.h"
#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using server::parse_client_name;

server::ClientName parse(const std::string& name) {
    const std::string field = name + std::string(1, '\0');
    return parse_client_name(field.data(), field.size());
}

TEST(ClientNameTest, SeparatorsDotsAndLeadingSlashesFoldToARootRelativePath) {
    EXPECT_EQ(parse("a.txt").path, "a.txt");
    EXPECT_EQ(parse("\\x\\y.bin").path, "x/y.bin");
    EXPECT_EQ(parse("//x//y.bin").path, "x/y.bin");
    EXPECT_EQ(parse("/etc/passwd").path, "etc/passwd");
    EXPECT_EQ(parse("a/./b/../c").path, "a/c");
    EXPECT_EQ(parse("a/../x").path, "x");
    EXPECT_EQ(parse("a/b/../../c/").path, "c");
    EXPECT_EQ(parse("a\\b\\..").path, "a");
    EXPECT_EQ(parse("long-folder/x/../y").path, "long-folder/y");
    EXPECT_EQ(parse(".gavo-nodes2/x").path, ".gavo-nodes2/x");  // only the name itself is kept back
}

TEST(ClientNameTest, NamesThatLeaveTheRootOrAreMalformedAreRefused) {
    for (const char* bad :
         {"..", "../x", "a/../../x", "a\\..\\..\\x", ".", "", "/", "C:\\x", "c:x", "z:/y",
          "\\.gavo-nodes", "a/../.gavo-nodes/x", "a/..", "a/b/../../.."}) {
        EXPECT_FALSE(parse(bad).ok) << bad;
    }
    const std::string with_nul("ab\0cd", 6);  // a zero before the last byte
    EXPECT_FALSE(parse_client_name(with_nul.data(), with_nul.size()).ok);
    EXPECT_FALSE(parse_client_name("abc", 3).ok);  // no terminating zero
    EXPECT_FALSE(parse_client_name("", 0).ok);     // no zero at all
    const std::string longest(server::kMaxNameBytes, 'n');
    EXPECT_TRUE(parse(longest).ok);
    EXPECT_FALSE(parse_client_name((longest + "n").c_str(), server::kMaxNameBytes + 2).ok);
}

// Runs every case with openat2 and with the walk used where the kernel lacks it.
class EscapeTest : public ServerTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        config_.force_component_walk = GetParam();
        start();
        outside_ = dir_ + "outside.txt";
        write_file(outside_, "secret");
        mkdir((root_ + "d").c_str(), 0777);
        write_file(root_ + "inside.txt", "inside");
        symlink("../outside.txt", (root_ + "out").c_str());
        symlink(outside_.c_str(), (root_ + "abs").c_str());
        symlink("../../outside.txt", (root_ + "d/up").c_str());
        symlink("l2", (root_ + "l1").c_str());
        symlink("../outside.txt", (root_ + "l2").c_str());
        symlink("..", (root_ + "parent").c_str());
        symlink("../created-outside.txt", (root_ + "dangling").c_str());
    }
    void TearDown() override {
        EXPECT_EQ(read_file(outside_), "secret");
        EXPECT_FALSE(exists_on_disk(dir_ + "created-outside.txt"));
        EXPECT_FALSE(exists_on_disk(dir_ + "x"));
        ServerTest::TearDown();
    }
    std::string outside_;
};

TEST_P(EscapeTest, EveryEscapeAttemptIsRefusedByEveryRequest) {
    auto c = client();
    const std::vector<std::string> attempts = {
        ".",   "..",   "a/../../x", "../outside.txt",     "C:\\x",    "out",
        "abs", "d/up", "l1",        "parent/outside.txt", "dangling", "\\..\\outside.txt"};
    for (const std::string& name : attempts) {
        SCOPED_TRACE(name);
        EXPECT_LT(c->open(0x01, name), 0);
        EXPECT_LT(c->open(0x0A, name), 0);
        EXPECT_LT(c->open(0x06, name), 0);
        int64_t length = -1;
        EXPECT_LT(c->open_ex(0x03, name, &length), 0);
        EXPECT_LT(c->rename("inside.txt", name), 0);
        EXPECT_LE(c->exists(name), 0);
        EXPECT_EQ(read_file(root_ + "inside.txt"), "inside");
    }
    // Removing a link removes the link itself, never what it points to.
    EXPECT_EQ(c->remove("out"), 0);
    EXPECT_EQ(c->rename("abs", "abs2"), 0);
    EXPECT_EQ(c->remove("..\\outside.txt"), -107);
    EXPECT_TRUE(logged("refused with -107"));
}

TEST_P(EscapeTest, BadNameFieldsAreRefusedAndTheStreamStaysInStep) {
    auto c = client();
    const std::string nul("in\0side.txt", 11);
    EXPECT_EQ(c->open(0x01, nul), -107);
    // 65535 bytes, zero at the end: far over the limit, read to its end all the same.
    const std::string huge(65534, 'h');
    EXPECT_EQ(c->open(0x0A, huge), -107);
    EXPECT_EQ(c->rename(huge, "y"), -107);
    // A length of 0 carries no bytes at all; a field without its zero.
    ASSERT_TRUE(c->send_raw(be16(7) + be16(0)));
    EXPECT_EQ(c->recv32(), -107);
    ASSERT_TRUE(c->send_raw(be16(8) + be16(3) + "abc"));
    EXPECT_EQ(c->recv32(), -107);
    EXPECT_EQ(c->exists("inside.txt"), 1);
    EXPECT_TRUE(logged("name too long"));
    EXPECT_TRUE(logged("zero byte inside the name"));
}

TEST_P(EscapeTest, MatchingNamesInsideTheRootWork) {
    auto c = client();
    EXPECT_EQ(c->exists("/inside.txt"), 1);
    EXPECT_EQ(c->exists("d/../inside.txt"), 1);
    EXPECT_EQ(c->exists(".\\inside.txt"), 1);
    int h = c->open(0x0A, "/abs/../x");  // folds to "x" inside the root
    ASSERT_GE(h, 0);
    EXPECT_EQ(c->close_handle(h), 0);
    EXPECT_TRUE(exists_on_disk(root_ + "x"));
    h = c->open(0x0A, "C_/x");  // a colon-free name that only looks like a drive
    ASSERT_GE(h, 0);
    EXPECT_EQ(c->close_handle(h), 0);
    EXPECT_EQ(c->remove("x"), 0);
}

TEST_P(EscapeTest, LinksThatStayInsideTheRootWorkWithOpenat2Only) {
    symlink("inside.txt", (root_ + "alias").c_str());
    auto c = client();
    const int h = c->open(0x01, "alias");
    if (GetParam()) {
        EXPECT_LT(h, 0);  // the walk follows no link at all
    } else {
        ASSERT_GE(h, 0);
        std::string data;
        EXPECT_EQ(c->read(h, 100, &data), 6);
        EXPECT_EQ(c->close_handle(h), 0);
    }
}

// Counts the descriptors opened for I/O (not O_PATH) on anything but a file or folder.
struct SpecialOpenSpy : server::Sys {
    int openat2(int dir, const char* path, const struct open_how* how, size_t size) override {
        return note(Sys::openat2(dir, path, how, size), how->flags);
    }
    int openat(int dir, const char* path, int flags, mode_t mode) override {
        if (no_proc && strncmp(path, "/proc/", 6) == 0) {
            errno = ENOENT;
            return -1;
        }
        return note(Sys::openat(dir, path, flags, mode), static_cast<uint64_t>(flags));
    }
    int note(int fd, uint64_t flags) {
        struct stat st;
        const bool io = fd >= 0 && (flags & O_PATH) == 0 && ::fstat(fd, &st) == 0;
        if (io && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) ++special;
        return fd;
    }
    std::atomic<int> special{0};
    bool no_proc = false;  // as where /proc is not mounted
};

// A hard link may lead out of the root, and a FIFO, device or socket must not be opened:
// every kind of open is refused (-103) before anything is opened for I/O or cut.
TEST_P(EscapeTest, HardLinksAndSpecialFilesAreRefusedBeforeAnyOpen) {
    SpecialOpenSpy spy;
    server_.reset();
    server::set_sys(&spy);
    start();
    ASSERT_EQ(link(outside_.c_str(), (root_ + "hard").c_str()), 0);
    ASSERT_EQ(mkfifo((root_ + "fifo").c_str(), 0666), 0);
    std::vector<std::string> names = {"hard", "fifo"};
    if (geteuid() == 0 && mknod((root_ + "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        names.push_back("null");
    }
    auto c = client();
    for (const std::string& name : names) {
        for (int flags : {0x0A, 0x01, 0x06, 0x13}) {
            EXPECT_EQ(c->open(flags, name), -103) << name << " " << flags;
        }
    }
    EXPECT_EQ(spy.special.load(), 0);
    EXPECT_TRUE(logged("file has 2 links"));
    EXPECT_TRUE(logged("not a regular file"));
    c.reset();
    server_.reset();
    config_.allow_hard_links = true;
    spy.no_proc = true;
    start();
    c = client();
    std::string data;
    EXPECT_EQ(c->read(c->open(0x01, "hard"), 100, &data), 6);
    EXPECT_EQ(data, "secret");
    c.reset();
    server_.reset();
    server::set_sys(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Resolution, EscapeTest, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Walk" : "Openat2"; });

}  // namespace
}  // namespace gavo::test
