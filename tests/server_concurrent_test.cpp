// Many clients at once, and two connections of one host on one handle: every request
// is answered and no byte is lost or mixed (run under ThreadSanitizer too).
#include <sys/stat.h>

#include <thread>

#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using ServerConcurrentTest = ServerTest;

TEST_F(ServerConcurrentTest, ManyClientsWorkAtOnceWithoutMixingData) {
    config_.sync = false;
    start();
    constexpr int kClients = 8;
    std::vector<std::thread> threads;
    int failures[kClients] = {};
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            WireClient c;
            const std::string name = "dir" + std::to_string(i % 3) + "/f" + std::to_string(i);
            const std::string chunk(static_cast<size_t>(1000 + i), static_cast<char>('a' + i));
            if (!c.connect(server_->port())) return void(++failures[i]);
            const int h = c.open(0x0A, name);
            for (int k = 0; k < 50; ++k) failures[i] += c.write(h, chunk) != 1000 + i;
            failures[i] += c.close_handle(h) != 0;
            const int r = c.open(0x01, name);
            std::string back;
            failures[i] += c.read(r, 1 << 20, &back) != 50 * (1000 + i);
            failures[i] += back != std::string(50 * chunk.size(), static_cast<char>('a' + i));
            failures[i] += c.close_handle(r) != 0;
            failures[i] += c.rename(name, name + ".done") != 0;
            failures[i] += c.remove(name + ".done") != 0;
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(failures[i], 0) << "client " << i;
    EXPECT_EQ(server_->open_handles(), 0u);
}

TEST_F(ServerConcurrentTest, TwoConnectionsOfOneHostWriteThroughOneHandle) {
    config_.sync = false;
    start();
    auto opener = client();
    const int h = opener->open(0x1A, "shared.log");
    ASSERT_GE(h, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            WireClient c;
            ASSERT_TRUE(c.connect(server_->port()));
            const std::string record(100, static_cast<char>('0' + t));
            for (int k = 0; k < 100; ++k) EXPECT_EQ(c.write(h, record), 100);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(opener->close_handle(h), 0);
    const std::string data = read_file(root_ + "shared.log");
    ASSERT_EQ(data.size(), 20000u);
    // Each write lands whole: records never interleave within themselves.
    for (size_t at = 0; at < data.size(); at += 100) {
        EXPECT_EQ(data.substr(at, 100), std::string(100, data[at])) << at;
    }
}

TEST_F(ServerConcurrentTest, ClientsComingAndGoingWhileTheGracePeriodRuns) {
    config_.sync = false;
    config_.handle_grace = std::chrono::milliseconds(1);
    start();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 20; ++k) {
                WireClient c;
                ASSERT_TRUE(c.connect(server_->port(), t % 2 ? "127.0.0.2" : "127.0.0.1"));
                const std::string name = std::string("g")
                                             .append(std::to_string(t))
                                             .append("_")
                                             .append(std::to_string(k));
                const int h = c.open(0x1A, name);
                EXPECT_GE(h, 0);
                EXPECT_EQ(c.write(h, "x"), 1);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(eventually([&] { return server_->open_handles() == 0; }));
}

}  // namespace
}  // namespace gavo::test
