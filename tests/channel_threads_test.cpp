// Two threads using both channels at once: each reply must reach the thread whose
// request it answers. The server answers from the request itself (the data of a read
// names the handle it was read through; a table write is accepted only with its own
// handle's length and bytes), so any interleaving of requests on a channel shows up as
// wrong data, a refused write or a closed channel.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/remote_fixture.h"

namespace gavo::test {
namespace {

constexpr int kRounds = 150;
constexpr unsigned int kReadCount[2] = {16, 3000};  // per thread
constexpr unsigned int kWriteCount[2] = {5, 9};     // per thread

int u16(const std::string& s, size_t at) {
    return (static_cast<unsigned char>(s[at]) << 8) | static_cast<unsigned char>(s[at + 1]);
}

int u32(const std::string& s, size_t at) { return (u16(s, at) << 16) | u16(s, at + 2); }

// A string request (open) of `header` bytes before the string field; 0 when incomplete.
size_t string_request_size(const std::string& p, size_t header) {
    if (p.size() < header + 2) return 0;
    size_t size = header + 2 + static_cast<size_t>(u16(p, header));
    return p.size() >= size ? size : 0;
}

// Archive channel: open "f<i>" gives handle 10+i; a read of n bytes through handle h
// gives n bytes of value h.
size_t archive_responder(const std::string& p, std::string* reply) {
    if (p.size() < 2) return 0;
    switch (u16(p, 0)) {
    case 1: {
        size_t size = string_request_size(p, 4);
        if (size != 0) *reply = be16(10 + (p[7] - '0'));
        return size;
    }
    case 2:
        if (p.size() < 4) return 0;
        *reply = be16(0);
        return 4;
    case 3: {
        if (p.size() < 8) return 0;
        int count = u32(p, 4);
        *reply =
            be32(count) + std::string(static_cast<size_t>(count), static_cast<char>(u16(p, 2)));
        return 8;
    }
    default: return SIZE_MAX;
    }
}

// Log channel: open "t<i>" gives handle 20+i; a write through handle 20+i must carry
// kWriteCount[i] bytes of value 20+i, else the status is -7.
size_t log_responder(const std::string& p, std::string* reply) {
    if (p.size() < 2) return 0;
    switch (u16(p, 0)) {
    case 16: {
        size_t size = string_request_size(p, 2);
        if (size != 0) *reply = be16(20 + (p[5] - '0'));
        return size;
    }
    case 17:
        if (p.size() < 4) return 0;
        *reply = be16(0);
        return 4;
    case 19: {
        if (p.size() < 4) return 0;
        int handle = u16(p, 2);
        if (handle != 20 && handle != 21) return SIZE_MAX;
        size_t size = 4 + kWriteCount[handle - 20];
        if (p.size() < size) return 0;
        bool own = p.find_first_not_of(static_cast<char>(handle), 4) >= size;
        *reply = be32(own ? 0 : -7);
        return size;
    }
    default: return SIZE_MAX;
    }
}

// One thread's work: its own file and table, read and written in turns. Returns the
// number of rounds whose reply was not its own.
int hammer(int i) {
    CNFile file, table;
    std::string name = "f" + std::to_string(i), tab = "t" + std::to_string(i);
    if (file.Open(name.c_str(), 1) != 0 || table.Open(tab.c_str(), 0x100) != 0) return kRounds;
    std::string expected(kReadCount[i], static_cast<char>(10 + i));
    std::string data(kWriteCount[i], static_cast<char>(20 + i));
    std::vector<char> buf(kReadCount[i]);
    int wrong = 0;
    for (int round = 0; round < kRounds; ++round) {
        unsigned int got = file.Read(buf.data(), kReadCount[i]);
        if (got != kReadCount[i] || std::string(buf.data(), got) != expected) ++wrong;
        else if (table.WriteEx(data.data(), kWriteCount[i]) != kWriteCount[i]) ++wrong;
    }
    return wrong;
}

using ChannelThreadsTest = RemoteTest;

TEST_F(ChannelThreadsTest, ConcurrentRequestsOnBothChannelsGetTheirOwnReplies) {
    server_.respond(0, archive_responder);
    server_.respond(1, log_responder);
    start();
    int wrong[2] = {0, 0};
    std::thread first([&] { wrong[0] = hammer(0); });
    std::thread second([&] { wrong[1] = hammer(1); });
    first.join();
    second.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
    EXPECT_EQ(error_log().find("Net,"), std::string::npos) << error_log();
    EXPECT_EQ(error_log().find("Tab,"), std::string::npos) << error_log();
}

}  // namespace
}  // namespace gavo::test
