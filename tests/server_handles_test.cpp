// Handles: owned by the client host, kept across reconnections, closed after the grace
// period, limited per host, and shared with the log channel's close.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

#include "server/base/address.h"
#include "server/base/sys.h"
#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using HandleTest = ServerTest;

// A PROXY v2 header as HAProxy sends it: a TCP client at `ip`:4000 (or LOCAL without
// one), `family` 0x11 for TCP over IPv4.
std::string proxy_v2(const char* ip, int family = 0x11) {
    std::string h = std::string("\r\n\r\n\0\r\nQUIT\n", 12) + (ip ? "\x21" : "\x20");
    if (!ip) return h + std::string(3, '\0');
    unsigned char addr[4];
    EXPECT_EQ(inet_pton(AF_INET, ip, addr), 1);
    return h + static_cast<char>(family) + be16(12) +
           std::string(reinterpret_cast<const char*>(addr), 4) + std::string("\x7F\0\0\x01", 4) +
           be16(4000) + be16(7100);
}

// Behind a trusted proxy the header's source is the client: for --allow, handles and
// the log; a peer that sends no good header is closed.
class ProxyTest : public ServerTest {
protected:
    void start_behind_proxy() {
        server::Cidr proxy, hosts;
        ASSERT_TRUE(server::parse_cidr("127.0.0.1/32", &proxy));
        ASSERT_TRUE(server::parse_cidr("10.0.0.0/24", &hosts));
        config_.proxy_from = {proxy};
        config_.allow = {proxy, hosts};
        start();
    }
    std::unique_ptr<WireClient> proxied(const char* ip) {
        auto c = client();
        EXPECT_TRUE(c->send_raw(proxy_v2(ip)));
        return c;
    }
};

TEST_F(ProxyTest, TheHeaderDecidesWhoIsServed) {
    start_behind_proxy();
    const std::string good = proxy_v2("10.0.0.1");
    const struct {
        std::string sent;
        bool served;
        const char* logged;
    } cases[] = {
        {good, true, "10.0.0.1:4000: opened"},
        {proxy_v2(nullptr), true, "127.0.0.1"},  // LOCAL: the proxy itself
        {proxy_v2("10.0.1.9"), false, "10.0.1.9:4000: refused, address not in the allow-list"},
        {be16(8) + name_field(std::string(30, 'n')), false, "no PROXY v2 signature"},
        {good.substr(0, 20), false, "PROXY header cut short"},
        {proxy_v2("10.0.0.1", 0x12), false, "not TCP over IPv4 or IPv6"},  // UDP
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        auto w = client();
        ASSERT_TRUE(w->send_raw(c.sent));
        if (c.served) {
            EXPECT_EQ(w->exists("x"), 0);
        } else {
            shutdown(w->fd(), SHUT_WR);
            EXPECT_TRUE(w->closed_by_peer());
        }
        EXPECT_TRUE(eventually([&] { return logged(c.logged); }));
    }
}

TEST_F(ProxyTest, HostsBehindOneProxyKeepTheirOwnHandles) {
    start_behind_proxy();
    auto owner = proxied("10.0.0.1");
    auto stranger = proxied("10.0.0.2");
    auto owner_again = proxied("10.0.0.1");
    const int h = owner->open(0x0A, "mine.txt");
    ASSERT_GE(h, 0);
    EXPECT_EQ(stranger->write(h, "intrusion"), -102);
    EXPECT_EQ(owner_again->write(h, "mine"), 4);
    EXPECT_EQ(owner->close_handle(h), 0);
}

TEST_F(HandleTest, HandleOfAnotherHostIsRefused) {
    start();
    auto owner = client("127.0.0.1");
    auto stranger = client("127.0.0.2");
    const int h = owner->open(0x0A, "mine.txt");
    ASSERT_GE(h, 0);
    std::string data;
    EXPECT_EQ(stranger->write(h, "intrusion"), -102);
    EXPECT_EQ(stranger->read(h, 10, &data), -102);
    EXPECT_EQ(stranger->close_handle(h), -102);
    EXPECT_EQ(owner->write(h, "mine"), 4);
    EXPECT_EQ(owner->close_handle(h), 0);
    EXPECT_EQ(read_file(root_ + "mine.txt"), "mine");
    EXPECT_TRUE(logged("handle of another host"));
}

TEST_F(HandleTest, HandlesSurviveTheClientsReconnection) {
    start();
    auto first = client();
    const int h = first->open(0x0A, "kept.txt");
    ASSERT_GE(h, 0);
    EXPECT_EQ(first->write(h, "before "), 7);
    first->close();
    auto second = client();  // the library's new archive channel after a reconnection
    EXPECT_EQ(second->write(h, "after"), 5);
    EXPECT_EQ(second->close_handle(h), 0);
    EXPECT_EQ(read_file(root_ + "kept.txt"), "before after");
}

// The server's clock for the grace period is the test's: moved, never waited for.
struct GraceTest : ServerTest, server::Sys {
    void SetUp() override {
        ServerTest::SetUp();
        server::set_sys(this);
    }
    void TearDown() override {
        server_.reset();  // no reaper reads the clock any more
        server::set_sys(nullptr);
        ServerTest::TearDown();
    }
    std::chrono::steady_clock::time_point now() override {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms_));
    }
    std::atomic<int> ms_{0};
};

// Each host holds a file through one connection and keeps a second one open. At 40 ms,
// the grace, only the handle whose connection ended at 0 ms and that nobody used since
// is closed (with its data, the file free again), though its host's other connection
// lives; a host that used its handle again on another connection keeps it.
TEST_F(GraceTest, AHandleOutlivesItsConnectionByTheGraceUnlessItsHostUsesItAgain) {
    struct Case {
        const char* ip;
        int leaves_ms;    // when the connection that opened the file ends
        bool comes_back;  // the host's other connection uses the handle at 20 ms
        bool expires;
    };
    const Case cases[] = {{"127.0.0.1", 0, false, true},
                          {"127.0.0.2", 0, true, false},
                          {"127.0.0.3", 20, false, false}};
    config_.handle_grace = std::chrono::milliseconds(40);  // the reaper looks every 10 ms
    start();
    int handle[3];
    std::unique_ptr<WireClient> archive[3], other[3];
    for (int i = 0; i < 3; ++i) {
        archive[i] = client(cases[i].ip);
        handle[i] = archive[i]->open(0x0A, "f" + std::to_string(i));  // held exclusively
        EXPECT_EQ(archive[i]->write(handle[i], "unclosed"), 8);
        other[i] = client(cases[i].ip);
        EXPECT_EQ(other[i]->exists("x"), 0);  // served: the server counts it now
    }
    for (int i = 0; i < 3; ++i) {
        ms_ = cases[i].leaves_ms;
        archive[i]->close();
        ASSERT_TRUE(eventually([&] { return server_->connections() == 5 - i; }));
    }
    ms_ = 20;
    for (int i = 0; i < 3; ++i) {
        if (cases[i].comes_back) {
            EXPECT_EQ(other[i]->write(handle[i], " back"), 5);
        }
    }
    ms_ = 40;  // every pass from here on sees 40 ms: the one that closes f0 keeps the others
    ASSERT_TRUE(eventually([&] { return logged("(file f0) closed"); }));
    EXPECT_TRUE(logged("gone for the grace period"));
    EXPECT_EQ(server_->open_handles(), 2u);
    for (int i = 0; i < 3; ++i) {
        const std::string name = "f" + std::to_string(i);
        EXPECT_EQ(other[i]->write(handle[i], "!"), cases[i].expires ? -102 : 1) << name;
        if (cases[i].expires) {
            EXPECT_EQ(read_file(root_ + name), "unclosed");
            EXPECT_GE(other[i]->open(0x0A, name), 0);
        }
    }
}

TEST_F(HandleTest, PerHostLimitMakesFurtherOpensFailCleanly) {
    config_.max_handles_per_host = 2;
    start();
    auto c = client();
    const int a = c->open(0x1A, "a");
    const int b = c->open(0x1A, "b");
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_EQ(c->open(0x1A, "c"), -1);
    EXPECT_TRUE(logged("limit"));
    auto other_host = client("127.0.0.2");
    EXPECT_GE(other_host->open(0x1A, "d"), 0);  // the limit is per host
    EXPECT_EQ(c->close_handle(a), 0);
    EXPECT_GE(c->open(0x1A, "c"), 0);
}

TEST_F(HandleTest, HandleNumbersAreNotReusedAtOnce) {
    start();
    auto c = client();
    const int a = c->open(0x1A, "a");
    EXPECT_EQ(c->close_handle(a), 0);
    const int b = c->open(0x1A, "b");
    EXPECT_NE(a, b);
    EXPECT_EQ(c->close_handle(a), -102);  // a stale close does not hit the new file
    EXPECT_EQ(c->write(b, "b"), 1);
}

TEST_F(HandleTest, TableCloseClosesAnyHandleOfTheSharedSpace) {
    start();
    auto c = client();
    const int h = c->open(0x0A, "t.txt");
    ASSERT_TRUE(c->send_raw(be16(17) + be16(h)));
    EXPECT_EQ(c->recv16(), 0);
    EXPECT_EQ(server_->open_handles(), 0u);
}

TEST_F(HandleTest, StopClosesEveryOpenFileWithItsData) {
    start();
    auto c = client();
    const int h = c->open(0x0A, "open-at-stop.txt");
    EXPECT_EQ(c->write(h, "flushed"), 7);
    server_->stop();
    EXPECT_TRUE(c->closed_by_peer());
    EXPECT_EQ(server_->open_handles(), 0u);
    EXPECT_EQ(read_file(root_ + "open-at-stop.txt"), "flushed");
}

struct Nothing : server::OpenObject {
    int close() override { return 0; }
    std::string describe() const override { return "nothing"; }
};

// Attackers from other addresses use up their quota of one kind (and try twice more);
// the victim's address still connects, creates and writes, and each of an attacker's
// two refusals makes its log line.
TEST_F(HandleTest, AHostAtItsQuotaLeavesOtherHostsWorking) {
    struct Case {
        const char* kind;
        int connections, handles, descriptors;  // per host
        std::vector<const char*> attackers;
        int takes;  // what an attacker gets beyond its first connection
        const char* logged;
    };
    const Case cases[] = {
        {"connections", 2, 1024, 0, {"127.0.0.2"}, 1, "connections, its limit"},
        {"handles", 8, 3, 0, {"127.0.0.2", "127.0.0.4"}, 3, "handles, the limit"},
        {"descriptors", 8, 1024, 4, {"127.0.0.2"}, 2, "descriptors, the limit 4"},
    };
    for (const Case& c : cases) {
        server_.reset();
        log_.clear();
        config_.max_connections_per_host = c.connections;
        config_.max_handles_per_host = c.handles;
        config_.max_descriptors_per_host = c.descriptors;
        start();
        std::vector<std::unique_ptr<WireClient>> held;
        for (const char* ip : c.attackers) {
            held.push_back(client(ip));
            WireClient& first = *held.back();
            for (int i = 0; i < c.takes + 2; ++i) {
                const std::string name = std::string(c.kind) + ip + "-" + std::to_string(i);
                if (c.connections == 2) held.push_back(client(ip));
                const bool ok = c.connections == 2 ? held.back()->exists(name) == 0
                                                   : first.open(0x1A, name) >= 0;
                EXPECT_EQ(ok, i < c.takes) << c.kind << " " << i;
            }
        }
        auto victim = client("127.0.0.3");
        const int h = victim->open(0x1A, "victim");
        EXPECT_EQ(victim->write(h, "works"), 5) << c.kind;
        EXPECT_EQ(victim->close_handle(h), 0) << c.kind;
        std::lock_guard<std::mutex> lock(log_mutex_);
        EXPECT_EQ(std::count_if(log_.begin(), log_.end(),
                                [&](const std::string& line) {
                                    return line.find(c.logged) != std::string::npos;
                                }),
                  static_cast<long>(2 * c.attackers.size()))
            << c.kind;
    }
}

// One host holding every number leaves every other host all of its own.
TEST(HandleSpaceTest, AHostHoldingEveryNumberLeavesOthersTheirs) {
    server::HostAddr a, b, b_neighbour;
    ASSERT_TRUE(server::parse_host_addr("2001:db8::1", &a));
    ASSERT_TRUE(server::parse_host_addr("2001:db8:0:1::1", &b));
    ASSERT_TRUE(server::parse_host_addr("2001:db8:0:1::2", &b_neighbour));  // b's /64
    server::HandleTable table(server::kHandleCount);
    std::string why;
    for (int i = 0; i < server::kHandleCount; ++i) {
        ASSERT_GE(table.add(a, std::make_shared<Nothing>(), &why), 0) << why;
    }
    EXPECT_EQ(table.add(a, std::make_shared<Nothing>(), &why), -1);
    const int h = table.add(b, std::make_shared<Nothing>(), &why);
    ASSERT_GE(h, 0) << why;
    for (int i = 1; i < server::kHandleCount; ++i) {  // one quota for the /64
        ASSERT_GE(table.add(b_neighbour, std::make_shared<Nothing>(), &why), 0) << why;
    }
    EXPECT_EQ(table.add(b, std::make_shared<Nothing>(), &why), -1);
    server::Lookup found;
    EXPECT_FALSE(table.find(h, b_neighbour, &found));
    EXPECT_EQ(found, server::Lookup::kOtherHost);
    EXPECT_TRUE(table.find(h, b, &found));
    EXPECT_NE(table.find(h, a, &found), table.find(h, b, &found));
}

// A close takes the handle out only for its owner and only once; a refused close says
// why, as a lookup would. Owners go by their address's text, which must be exact.
TEST(HandleSpaceTest, ACloseTakesOnlyItsOwnersHandleAndOnlyOnce) {
    server::HostAddr owner, other;
    ASSERT_TRUE(server::parse_host_addr("10.0.0.1", &owner));
    ASSERT_TRUE(server::parse_host_addr("10.0.0.2", &other));
    server::HandleTable table(16, server::HandleClass{0, 2});  // node 1 of 2: even numbers
    std::string why;
    const int h = table.add(owner, std::make_shared<Nothing>(), &why);
    using server::Lookup;
    const struct {
        int handle;
        server::HostAddr who;
        Lookup expected;
    } closes[] = {{h, other, Lookup::kOtherHost},
                  {h + 1, owner, Lookup::kOtherNode},
                  {-1, owner, Lookup::kUnknown},
                  {h, owner, Lookup::kFound},
                  {h, owner, Lookup::kUnknown}};  // the last: closed already
    for (const auto& c : closes) {
        Lookup found;
        EXPECT_EQ(table.remove(c.handle, c.who, &found) != nullptr, c.expected == Lookup::kFound);
        EXPECT_EQ(found, c.expected) << c.handle << " by " << c.who.to_string();
    }
    for (const char* text : {"0.0.0.0", "9.10.99.100", "255.255.255.255", "2001:db8::1"}) {
        ASSERT_TRUE(server::parse_host_addr(text, &other));
        EXPECT_EQ(other.to_string(), text);
    }
}

// Every write through the seam fails as on a full disk.
struct DiskFull : server::Sys {
    ssize_t write(int, const void*, size_t) override {
        errno = ENOSPC;
        return -1;
    }
};

// A table with a mark file continues beyond every number its predecessor handed out and,
// for at least (32768 - 1024) / M - (numbers held back) opens, hands out none still held
// then; as node N of M it hands out only numbers of its class, and the others' are no
// handles of its own.
TEST(HandleMarkTest, ARestartedTableDoesNotSoonHandOutANumberStillHeld) {
    // Handles opened in the first run (the even ones closed again), whether it recorded
    // its stop (as at SIGTERM), bytes written over the mark, the next run's first number,
    // the class of numbers (0-based node, node count).
    const std::tuple<int, bool, const char*, int, server::HandleClass> cases[] = {
        {3, false, nullptr, 1024, {}},     {1500, false, nullptr, 2048, {}},
        {3, true, nullptr, 3, {}},         {3, false, "GAVOHND1 cut short", -1, {}},
        {3, false, nullptr, 1025, {2, 3}}, {3, true, nullptr, 7, {1, 2}}};
    server::HostAddr host;
    ASSERT_TRUE(server::parse_host_addr("127.0.0.1", &host));
    server::Lookup found;
    std::string why;
    for (const auto& [opened, clean, bytes, first_number, numbers] : cases) {
        const std::string dir = make_temp_dir(), path = dir + server::kHandleMarkName;
        auto keep = [&](server::HandleTable& t) {
            return t.keep_position(std::make_unique<server::HandleMarkFile>(path, false), &why);
        };
        auto add = [&](server::HandleTable& t) {
            return t.add(host, std::make_shared<Nothing>(), &why);
        };
        std::set<int> held;
        server::HandleTable first(server::kHandleCount, numbers),
            second(server::kHandleCount, numbers);
        ASSERT_TRUE(keep(first)) << why;
        for (int i = 0; i < opened; ++i) held.insert(add(first));
        for (auto it = held.begin(); it != held.end();) {
            const int h = *it;
            it = (h / numbers.count) % 2 == 0 && first.remove(h, host, &found) ? held.erase(it)
                                                                               : std::next(it);
        }
        EXPECT_TRUE(!clean || first.record_stop(&why)) << why;
        if (bytes) write_file(path, bytes);
        ASSERT_EQ(keep(second), first_number >= 0) << path << ": " << why;
        const size_t bound = static_cast<size_t>((server::kHandleCount - 1024) / numbers.count) -
                             second.held_back_count();
        for (size_t i = 0; i < bound && first_number >= 0; ++i) {
            const int h = add(second);
            ASSERT_TRUE(held.count(h) == 0 && (i > 0 || h == first_number) && numbers.contains(h))
                << h << " at " << i;
            second.remove(h, host, &found);
            // The neighbouring number is another node's (or, for a single server, unheld).
            EXPECT_FALSE(second.find(h + 1, host, &found));
            EXPECT_EQ(found,
                      numbers.count > 1 ? server::Lookup::kOtherNode : server::Lookup::kUnknown);
        }
        // A mark that cannot be written stops the numbering rather than risk it.
        DiskFull full;
        server::set_sys(&full);
        for (int i = 0; i <= 1024 && first_number >= 0 && add(second) >= 0; ++i) {
        }
        server::set_sys(nullptr);
        const char* expected = first_number >= 0 ? "cannot be recorded" : "damaged";
        EXPECT_NE(why.find(expected), std::string::npos) << why;
        remove_tree(dir);
    }
}

// Each fsync through the seam first runs `during` on another thread and waits for it.
struct SyncWatch : server::Sys {
    int fsync(int fd) override {
        if (during) std::thread(during).join();
        return server::Sys::fsync(fd);
    }
    std::function<void()> during;
};

// The open that needs a new reservation syncs the mark without the table's lock: while
// it does, another client's lookup and close go through (were the lock held, they would
// wait for ever), and the open gets its number once the mark is on disk.
TEST(HandleMarkTest, ASyncedReservationHoldsUpNoOtherClient) {
    server::HostAddr a, b;
    ASSERT_TRUE(server::parse_host_addr("10.0.0.1", &a));
    ASSERT_TRUE(server::parse_host_addr("10.0.0.2", &b));
    const std::string dir = make_temp_dir(), path = dir + server::kHandleMarkName;
    server::HandleTable table(server::kHandleCount);
    std::string why;
    ASSERT_TRUE(table.keep_position(std::make_unique<server::HandleMarkFile>(path, true), &why))
        << why;
    const int b_handle = table.add(b, std::make_shared<Nothing>(), &why);
    for (uint64_t p = 1; p < server::HandleTable::kReserveBlock; ++p) {
        ASSERT_GE(table.add(a, std::make_shared<Nothing>(), &why), 0) << why;
    }
    SyncWatch watch;
    int syncs = 0;
    server::Lookup found = server::Lookup::kUnknown, closed = server::Lookup::kUnknown;
    watch.during = [&] {
        if (syncs++ > 0) return;
        EXPECT_TRUE(table.find(b_handle, b, &found));
        EXPECT_TRUE(table.remove(b_handle, b, &closed));
    };
    EXPECT_TRUE(table.add_may_sync());  // the next open reserves: a caller leaves its loop
    server::set_sys(&watch);
    const int h = table.add(a, std::make_shared<Nothing>(), &why);
    server::set_sys(nullptr);
    EXPECT_FALSE(table.add_may_sync());
    EXPECT_EQ(h, static_cast<int>(server::HandleTable::kReserveBlock)) << why;
    EXPECT_EQ(syncs, 2);  // the mark and its folder
    EXPECT_EQ(found, server::Lookup::kFound);
    EXPECT_EQ(closed, server::Lookup::kFound);
    EXPECT_EQ(table.size(), server::HandleTable::kReserveBlock);
    // The stop's mark holds 1..1024 (b's 0 is closed): bit n%8 of byte n/8 after the
    // magic and the position.
    ASSERT_TRUE(table.record_stop(&why)) << why;
    const std::string mark = read_file(path);
    ASSERT_EQ(mark.size(), 16 + server::kHandleCount / 8 + 4u);
    EXPECT_EQ(static_cast<unsigned char>(mark[16]), 0xFE);
    EXPECT_EQ(static_cast<unsigned char>(mark[16 + 127]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(mark[16 + 128]), 0x01);
    remove_tree(dir);
}

}  // namespace
}  // namespace gavo::test
