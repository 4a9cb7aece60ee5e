// The list cursors by themselves: windows of names that trim to their bound and still give
// every name once in byte order when paged through as the server does, and a connection's
// cursors that serve a page only from an unchanged, recent folder within their bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "server/files/list_cursor.h"

namespace gavo::server {
namespace {

// Pages through `names` (offered in a shuffled order, with a duplicate and names at or
// before each window's start) as the server does: a page of `page` names from the
// current window, a new window from the page's cursor when it does not hold the page.
std::vector<std::string> page_through(const std::vector<std::string>& names, size_t max_bytes,
                                      size_t page, size_t* readings) {
    std::vector<std::string> shuffled = names;
    shuffled.push_back(names.front());
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    std::vector<std::string> got;
    std::unique_ptr<NameWindow> w;
    std::string from;
    for (bool more = true; more;) {
        if (!w || (!w->complete() && w->size() - w->first_after(from) < page)) {
            w = std::make_unique<NameWindow>(from, max_bytes, page);
            for (const std::string& n : shuffled) w->offer(n);
            w->finish();
            ++*readings;
            EXPECT_TRUE(max_bytes == 0 || w->bytes() <= max_bytes) << w->bytes();
        }
        const size_t first = w->first_after(from);
        const size_t last = std::min(w->size(), first + page);
        for (size_t i = first; i < last; ++i) got.emplace_back(w->name(i));
        more = last > first && (last < w->size() || !w->complete());
        if (more) from = got.back();
    }
    return got;
}

TEST(NameWindowTest, TrimmedWindowsStillGiveEveryNameOnceInByteOrder) {
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i) {
        // Bytes above 0x7F sort after ASCII, as the wire's unsigned byte order wants.
        names.push_back((i % 3 == 0   ? "\xc3\xa9"
                         : i % 3 == 1 ? "Z"
                                      : "a") +
                        std::to_string(i * 7919 % 5000));
    }
    std::set<std::string> want_set(names.begin(), names.end());
    const std::vector<std::string> want(want_set.begin(), want_set.end());
    const struct Row {
        size_t max_bytes;
        size_t page;
        size_t most_readings;  // a bound that a window ignoring its trim would break
    } rows[] = {
        {1 << 20, 100, 1},   // everything fits: one reading
        {20000, 100, 20},    // trimmed again and again: 450 to 900 names a window
        {0, 100, 50},        // no memory granted: a page's names (as a reading per page)
        {20000, 1, 20},      // one-name pages
        {1 << 20, 8000, 1},  // a page larger than the folder
    };
    for (const Row& r : rows) {
        size_t readings = 0;
        EXPECT_EQ(page_through(names, r.max_bytes, r.page, &readings), want) << r.max_bytes;
        EXPECT_LE(readings, r.most_readings) << r.max_bytes;
    }
}

TEST(ListCursorsTest, ServeOnlyAnUnchangedRecentFolderThatHoldsThePage) {
    ListMemory memory(3000);
    ListCursors cursors;
    const ListedFolder folder{1, 2, false, 100, 100};
    const auto t0 = ListCursors::Time() + std::chrono::hours(1);
    auto keep = [&](const ListedFolder& f, const std::string& from) {
        // Trimmed to "c".."e": the names after "e" are left out.
        auto w = std::make_unique<NameWindow>(from, 0, 3);
        for (const char* n : {"b", "c", "d", "e", "f", "g", "h", "i"}) w->offer(n);
        w->finish();
        ASSERT_TRUE(memory.take(1000));
        cursors.keep(f, std::move(w), ListCharge(&memory, 1000), t0);
    };
    ListedFolder touched = folder, other = folder, top = folder;
    touched.mtime_ns += 1;
    other.ino += 1;
    top.hides_node_lock = true;
    const struct Row {
        const char* what;
        ListedFolder asked;
        const char* after;
        std::chrono::seconds age;
        bool found;
    } rows[] = {
        {"the same folder after the window's start", folder, "c", std::chrono::seconds(1), true},
        {"the same folder, a page of 2 past the window", folder, "d", std::chrono::seconds(1),
         false},
        {"a cursor before the window's start", folder, "a", std::chrono::seconds(1), false},
        {"a name changed in the folder", touched, "c", std::chrono::seconds(1), false},
        {"another folder", other, "c", std::chrono::seconds(1), false},
        {"the area's top folder (hides a name)", top, "c", std::chrono::seconds(1), false},
        {"a window as old as its life", folder, "c", kListCursorLife, false},
    };
    for (const Row& r : rows) {
        keep(folder, "b");
        const NameWindow* w = cursors.find(r.asked, r.after, 2, t0 + r.age);
        EXPECT_EQ(w != nullptr, r.found) << r.what;
        if (w) {
            EXPECT_EQ(w->name(w->first_after(r.after)), "d") << r.what;
        }
        cursors.forget(folder);
        EXPECT_EQ(memory.held(), 0u) << r.what;
    }
    // A connection holds at most kListCursorsPerConnection, the least recently used going
    // first; the memory they hold is bounded server-wide.
    for (ino_t i = 0; i < kListCursorsPerConnection + 1; ++i) {
        ListedFolder f = folder;
        f.ino = 10 + i;
        keep(f, "");
    }
    EXPECT_EQ(cursors.size(), kListCursorsPerConnection);
    EXPECT_EQ(memory.held(), kListCursorsPerConnection * 1000);
    EXPECT_TRUE(memory.take(3000 - memory.held()));
    EXPECT_FALSE(memory.take(1));
}

}  // namespace
}  // namespace gavo::server
