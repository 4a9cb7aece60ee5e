// The listing extension against the in-process server: paging through a folder larger
// than a page, what each kind of entry shows, and the refusals of stat and rmdir.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "proto/listing.h"
#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

class ListingTest : public ServerTest {};

TEST_F(ListingTest, PagesCoverALargeFolderOnceInByteOrderAndShowOnlyServableEntries) {
    constexpr size_t kFiles = wire::kListMaxEntries * 2 + 5;
    ASSERT_EQ(0, system(("mkdir -p " + root_ + "big/sub").c_str()));
    std::vector<std::string> want = {"ctl\x01\x1b[1m:1:3", "hard:3:0",
                                     "pipe:3:0",           "sub:2:0",
                                     "z-link:3:0",         "\xc3\xa9t\xc3\xa9:1:3"};
    for (size_t i = 0; i < kFiles; ++i) {
        char name[16];
        snprintf(name, sizeof name, "f%05zu", i);
        write_file(root_ + "big/" + name, std::string(i % 7, 'x'));
        want.push_back(std::string(name) + ":1:" + std::to_string(i % 7));
    }
    write_file(root_ + "big/ctl\x01\x1b[1m", "abc");
    write_file(root_ + "big/\xc3\xa9t\xc3\xa9", "abc");
    write_file(dir_ + "outside", "secret");
    ASSERT_EQ(0, link((dir_ + "outside").c_str(), (root_ + "big/hard").c_str()));
    ASSERT_EQ(0, mkfifo((root_ + "big/pipe").c_str(), 0600));
    ASSERT_EQ(0, symlink("../..", (root_ + "big/z-link").c_str()));
    std::sort(want.begin(), want.end());
    start();
    auto c = client();
    std::vector<std::string> got;
    std::string after;
    int pages = 0;
    for (bool more = true; more; ++pages) {
        const size_t before = got.size();
        ASSERT_GT(c->list("/big/", after, &got, &more), 0);
        after = got.back().substr(0, got.back().rfind(':'));  // the name before kind:size
        after.resize(after.rfind(':'));
        EXPECT_LE(got.size() - before, wire::kListMaxEntries);
        if (pages > 0) continue;
        // Between pages a name of the next page goes and a later one comes: the one gone is
        // not shown, and the folder's new time (set apart from any clock's grain) shows
        // the change, so the new name is.
        ASSERT_EQ(0, unlink((root_ + "big/f01500").c_str()));
        write_file(root_ + "big/f01999a", "ab");
        const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, (root_ + "big").c_str(), times, 0));
    }
    want.erase(std::find(want.begin(), want.end(), "f01500:1:2"));
    want.insert(std::upper_bound(want.begin(), want.end(), "f01999a:1:2"), "f01999a:1:2");
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(got, want);
    // An empty folder, and the last page asked again, give no entries and no more.
    bool more = true;
    got.clear();
    EXPECT_EQ(c->list("big/sub", "", &got, &more), 0);
    EXPECT_EQ(c->list("big", after, &got, &more), 0);
    EXPECT_FALSE(more);
    EXPECT_TRUE(got.empty());
}

TEST_F(ListingTest, StatListAndRmdirAnswerWithTheCodesOfTheirCase) {
    ASSERT_EQ(0, system(("mkdir -p " + root_ + "d/empty " + root_ + "d/full").c_str()));
    write_file(root_ + "d/full/f", "x");
    write_file(root_ + "d/file", "x");
    enum Op { kStat, kList, kRmdir };
    const struct Row {
        Op op;
        const char* name;
        int64_t want;  // for a stat that succeeds: the kind; for a list: the entry count
    } rows[] = {
        {kStat, "", 2},
        {kStat, "d/file", 1},
        {kStat, "d/missing", kCodeNotFound},
        {kStat, "../x", kCodeBadPath},
        {kList, "d/file", kCodeBadPath},
        {kList, "d/missing", kCodeNotFound},
        {kList, "..", kCodeBadPath},
        {kRmdir, "d/full", kCodeRefused},
        {kRmdir, "d/file", kCodeAccessDenied},
        {kRmdir, "d/missing", kCodeNotFound},
        {kRmdir, "/", kCodeBadPath},
        {kRmdir, "d/empty", 0},
        {kRmdir, "d/empty", kCodeNotFound},
        {kList, "d", 2},
    };
    start();
    auto c = client();
    for (const Row& r : rows) {
        int kind = 0;
        bool more = false;
        std::vector<std::string> entries;
        const int64_t got = r.op == kStat   ? c->stat(r.name, &kind)
                            : r.op == kList ? c->list(r.name, "", &entries, &more)
                                            : c->rmdir(r.name);
        EXPECT_EQ(r.op == kStat && got == 0 ? kind : got, r.want) << r.op << " " << r.name;
    }
    EXPECT_TRUE(exists_on_disk(root_ + "d/full/f"));
    // A cursor longer than any name, or not ended by its zero, is refused.
    EXPECT_EQ(c->send_raw(be16(0x0101) + name_field("d") + name_field(std::string(300, 'a')))
                  ? c->recv32()
                  : 0,
              kCodeBadPath);
    EXPECT_EQ(c->send_raw(be16(0x0101) + name_field("d") + be16(2) + "ab") ? c->recv32() : 0,
              kCodeBadPath);
    // On a read-only server folders stay, and listing still works.
    server_.reset();
    config_.read_only = true;
    start();
    c = client();
    EXPECT_EQ(c->rmdir("d/full"), kCodeAccessDenied);
    int kind = 0;
    EXPECT_EQ(c->stat("d/full", &kind), 0);
}

}  // namespace
}  // namespace gavo::test
