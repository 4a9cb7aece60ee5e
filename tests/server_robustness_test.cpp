// Load and bad input: stalled and hostile clients, connection limits and the allow-list.
// Whatever arrives, the server answers or closes that one connection, and keeps serving
// the others, without leaking a descriptor.

#include <random>
#include <thread>

#include "tests/server_fixture.h"

namespace gavo::test {
namespace {

using RobustnessTest = ServerTest;

TEST_F(RobustnessTest, StalledClientDoesNotBlockAnotherAndIsClosed) {
    config_.stall_timeout = std::chrono::milliseconds(300);
    start();
    auto staller = client();
    const int h = staller->open(0x0A, "s.txt");
    ASSERT_GE(h, 0);
    // Half a write: the header promises 1000 bytes, 10 arrive.
    ASSERT_TRUE(staller->send_raw(be16(4) + be16(h) + be32(1000) + std::string(10, 's')));
    auto other = client();
    const int o = other->open(0x0A, "o.txt");
    EXPECT_EQ(other->write(o, "fine"), 4);
    EXPECT_EQ(other->close_handle(o), 0);
    EXPECT_TRUE(staller->closed_by_peer());
    EXPECT_TRUE(eventually([&] { return logged("stalled"); }));
}

TEST_F(RobustnessTest, IdleConnectionIsNeverTimedOut) {
    config_.stall_timeout = std::chrono::milliseconds(50);
    start();
    auto c = client();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(c->exists("nothing"), 0);
}

TEST_F(RobustnessTest, UnknownOpcodeClosesOnlyThatConnection) {
    start();
    auto bad = client();
    auto good = client();
    ASSERT_TRUE(bad->send_raw(be16(99) + "garbage"));
    EXPECT_TRUE(bad->closed_by_peer());
    EXPECT_TRUE(logged("unknown opcode 99"));
    EXPECT_EQ(good->exists("x"), 0);
}

TEST_F(RobustnessTest, ImpossibleWriteCountClosesTheConnection) {
    start();
    auto c = client();
    const int h = c->open(0x0A, "w");
    ASSERT_TRUE(c->send_raw(be16(4) + be16(h) + be32(-5)));
    EXPECT_TRUE(c->closed_by_peer());
    EXPECT_TRUE(logged("impossible byte count -5"));
}

TEST_F(RobustnessTest, RandomBytesNeverCrashHangOrLeak) {
    config_.handle_grace = std::chrono::milliseconds(0);
    config_.stall_timeout = std::chrono::milliseconds(100);
    // Connections still waiting in the backlog would otherwise hold the host's quota
    // when the last client comes.
    config_.max_connections_per_host = 1000;
    start();
    const int baseline = open_descriptors();
    std::mt19937 rng(20240611);
    for (int round = 0; round < 150; ++round) {
        auto c = client();
        std::string junk(1 + rng() % 300, '\0');
        for (char& ch : junk) ch = static_cast<char>(rng());
        // Start most rounds with a real opcode so the requests get past the first check.
        junk[0] = 0;
        junk[1] = static_cast<char>(1 + rng() % 8);
        c->send_raw(junk);
        c->close();
    }
    // Every connection ends (stall time-out or peer closed), every handle is closed.
    ASSERT_TRUE(eventually([&] { return server_->connections() == 0; }));
    ASSERT_TRUE(eventually([&] { return server_->open_handles() == 0; }));
    ASSERT_TRUE(eventually([&] { return open_descriptors() <= baseline; }));
    auto c = client();
    const int h = c->open(0x0A, "after.txt");
    EXPECT_GE(h, 0);
    EXPECT_EQ(c->write(h, "ok"), 2);
}

TEST_F(RobustnessTest, ConnectionLimitRefusesNewcomersWithoutDisturbingOthers) {
    config_.max_connections = 2;
    start();
    auto a = client();
    auto b = client();
    EXPECT_EQ(a->exists("x"), 0);
    EXPECT_EQ(b->exists("x"), 0);
    auto c = client();
    EXPECT_TRUE(c->closed_by_peer());
    EXPECT_TRUE(logged("2 connections already"));
    EXPECT_EQ(a->exists("x"), 0);
    b->close();
    ASSERT_TRUE(eventually([&] { return server_->connections() == 1; }));
    auto d = client();
    EXPECT_EQ(d->exists("x"), 0);
}

TEST_F(RobustnessTest, AllowListRefusesOtherAddresses) {
    server::Cidr only;
    ASSERT_TRUE(server::parse_cidr("127.0.0.2/32", &only));
    config_.allow.push_back(only);
    start();
    auto refused = client("127.0.0.1");
    EXPECT_TRUE(refused->closed_by_peer());
    EXPECT_TRUE(logged("not in the allow-list"));
    auto allowed = client("127.0.0.2");
    EXPECT_EQ(allowed->exists("x"), 0);
}

TEST_F(RobustnessTest, StopFinishesTheRequestInFlight) {
    start();
    auto c = client();
    const int h = c->open(0x0A, "inflight.txt");
    ASSERT_GE(h, 0);
    ASSERT_TRUE(c->send_raw(be16(4) + be16(h) + be32(6) + "hal"));
    // The request has begun when the stop comes; its rest arrives afterwards.
    std::thread stopper([&] { server_->stop(); });
    ASSERT_TRUE(c->send_raw("f!!"));
    EXPECT_EQ(c->recv32(), 6);
    EXPECT_TRUE(c->closed_by_peer());
    stopper.join();
    EXPECT_EQ(read_file(root_ + "inflight.txt"), "half!!");
}

}  // namespace
}  // namespace gavo::test
