// Load and bad input: stalled and hostile clients, connection limits and the allow-list.
// Whatever arrives, the server answers or closes that one connection, and keeps serving
// the others, without leaking a descriptor.

#include <atomic>
#include <random>
#include <thread>

#include "tests/server_fixture.h"
#include "tests/server_process.h"

namespace gavo::test {
namespace {

using RobustnessTest = ServerTest;

// Begins a write of 1000 bytes to `name` through `c`, then sends one byte of it every
// 100 ms (each wait far shorter than any stall time-out) until `done` or a failed send.
std::thread trickle(WireClient& c, const std::string& name, std::atomic<bool>& done) {
    const int h = c.open(0x0A, name);
    EXPECT_GE(h, 0);
    EXPECT_TRUE(c.send_raw(be16(4) + be16(h) + be32(1000)));
    return std::thread([&c, &done] {
        for (int i = 0; i < 600 && !done && c.send_raw("t"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
}

// More stalled requests than the loop has threads, beside idle connections that hold none.
// Nothing here depends on the number of cores or on how fast the machine is: the counts
// follow the loop's own thread count, and no staller can time out while the test runs.
TEST_F(RobustnessTest, StalledClientsDoNotBlockOthersAndIdleOnesHoldNoThread) {
    config_.max_connections_per_host = 1000;
    config_.stall_timeout = std::chrono::minutes(10);
    start();
    const int loop_threads = server_->pool_threads();
    std::vector<std::unique_ptr<WireClient>> idle, stallers;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(client());
        EXPECT_EQ(idle.back()->exists("x"), 0);
    }
    EXPECT_LT(server_->pool_threads(), loop_threads + static_cast<int>(idle.size()));
    for (int i = 0; i < loop_threads + 2; ++i) {
        stallers.push_back(client());
        const int h = stallers.back()->open(0x0A, "s" + std::to_string(i) + ".txt");
        ASSERT_GE(h, 0);
        // Half a write: the header promises 1000 bytes, 10 arrive.
        ASSERT_TRUE(
            stallers.back()->send_raw(be16(4) + be16(h) + be32(1000) + std::string(10, 's')));
    }
    auto other = client();
    const int o = other->open(0x0A, "o.txt");
    EXPECT_EQ(other->write(o, "fine"), 4);  // served while every staller holds its request
    EXPECT_EQ(other->close_handle(o), 0);
    for (auto& s : stallers) {
        ASSERT_TRUE(s->send_raw(std::string(990, 's')));
        EXPECT_EQ(s->recv32(), 1000);
    }
    for (auto& c : idle) EXPECT_EQ(c->exists("x"), 0);
}

TEST_F(RobustnessTest, StalledRequestIsClosedAndTakenBack) {
    config_.stall_timeout = std::chrono::milliseconds(100);
    start();
    auto s = client();
    const int h = s->open(0x0A, "s.txt");
    ASSERT_TRUE(s->send_raw(be16(4) + be16(h) + be32(1000) + std::string(10, 's')));
    EXPECT_TRUE(s->closed_by_peer());
    EXPECT_TRUE(eventually([&] { return logged("stalled"); }));
    EXPECT_EQ(read_file(root_ + "s.txt"), "");
}

// More stalled writers than --max-threads lets wait: the rest are refused at their first
// wait (connection closed, with a line), and the loop still serves everyone else.
TEST_F(RobustnessTest, StalledWritersBeyondTheThreadBoundAreRefusedAndOthersServed) {
    config_.max_threads = 4;  // waits for clients may take 3 of them
    config_.max_connections_per_host = 100;
    config_.stall_timeout = std::chrono::seconds(60);
    start();
    auto idle = client();
    EXPECT_EQ(idle->exists("x"), 0);
    std::vector<std::unique_ptr<WireClient>> stallers;
    for (int i = 0; i < 10; ++i) {
        stallers.push_back(client());
        const int h = stallers.back()->open(0x0A, "s" + std::to_string(i) + ".txt");
        ASSERT_GE(h, 0);
        ASSERT_TRUE(
            stallers.back()->send_raw(be16(4) + be16(h) + be32(1000) + std::string(10, 's')));
    }
    EXPECT_TRUE(eventually([&] { return server_->gauges().blocking_refused_limit == 7; }));
    EXPECT_EQ(server_->gauges().threads_blocking, 3);
    EXPECT_TRUE(logged("server busy"));
    EXPECT_EQ(idle->exists("x"), 0);
    auto other = client();
    const int o = other->open(0x0A, "o.txt");
    EXPECT_EQ(other->write(o, "fine"), 4);
    EXPECT_EQ(other->close_handle(o), 0);
}

// A pids or tasks limit: no thread can be started after the loop's own. Waits are refused
// instead of leaving a set without its thread, and every connection is still served.
TEST_F(RobustnessTest, WhenNoThreadCanStartWaitsAreRefusedAndTheSetsStayServed) {
    std::atomic<bool> may_start{true};
    config_.thread_starter = [&may_start](std::function<void()> body) {
        if (!may_start) return false;
        std::thread(std::move(body)).detach();
        return true;
    };
    config_.max_connections_per_host = 100;
    start();
    may_start = false;
    auto staller = client();
    const int h = staller->open(0x0A, "s.txt");
    ASSERT_TRUE(staller->send_raw(be16(4) + be16(h) + be32(1000) + "s"));
    EXPECT_TRUE(staller->closed_by_peer());
    EXPECT_TRUE(logged("cannot start a thread"));
    EXPECT_GE(server_->gauges().blocking_refused_no_thread, 1u);
    std::vector<std::unique_ptr<WireClient>> others;
    for (int i = 0; i < 16; ++i) {  // spread over the sets, round robin
        others.push_back(client());
        EXPECT_EQ(others.back()->exists("x"), 0);
    }
    // Without a thread for each set the server does not start at all.
    config_.thread_starter = [](std::function<void()>) { return false; };
    config_.root = dir_ + "other/";
    server::Server none(config_, *logger_);
    std::string error;
    EXPECT_FALSE(none.start(&error));
    EXPECT_NE(error.find("cannot start a thread"), std::string::npos) << error;
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

TEST_F(RobustnessTest, TricklingRequestIsClosedDespiteEachByteComingInTime) {
    config_.stall_timeout = std::chrono::milliseconds(1000);  // 1024 bytes/s minimum
    start();
    auto c = client();
    std::atomic<bool> done{false};
    std::thread sender = trickle(*c, "trickle.txt", done);
    EXPECT_TRUE(c->closed_by_peer());  // before the trickle's 60 s are over
    done = true;
    sender.join();
    EXPECT_TRUE(eventually([&] { return logged("stalled (request slower than 1024 bytes/s"); }));
    EXPECT_EQ(read_file(root_ + "trickle.txt"), "");  // the cut-off write was taken back
}

TEST_F(RobustnessTest, SigtermMidRequestEndsTheServerWithItsFilesClosed) {
    ServerProcess p;
    ASSERT_TRUE(p.start({"--listen", "127.0.0.1:0", "--root", root_}, dir_ + "log"));
    WireClient keeper, trickler;
    ASSERT_TRUE(keeper.connect(p.port()) && trickler.connect(p.port()));
    const int h = keeper.open(0x0A, "kept.txt");
    EXPECT_EQ(keeper.write(h, "kept"), 4);
    std::atomic<bool> done{false};
    std::thread sender = trickle(trickler, "trickle.txt", done);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(p.signal_and_wait(SIGTERM), 0);
    // The bound is the stop grace (3 s); the trickle alone would last 60 s.
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    done = true;
    sender.join();
    const std::string log = read_file(dir_ + "log");
    EXPECT_NE(log.find("cutting them"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped; 2 open handles closed"), std::string::npos) << log;
    EXPECT_EQ(read_file(root_ + "kept.txt"), "kept");
    EXPECT_EQ(read_file(root_ + "trickle.txt"), "");
}

TEST_F(RobustnessTest, HeaderOnlyRecordsCostLittleAndTheCapEndsTheNewestRequests) {
    write_file(dir_ + "tables.conf", "big = fixed:1048576\n");
    config_.tables_file = dir_ + "tables.conf";
    config_.state_dir = dir_ + "state";
    config_.max_pending_bytes = 1 << 20;
    config_.max_connections_per_host = 200;            // 100 requests from one address
    config_.stall_timeout = std::chrono::seconds(60);  // the early headers wait for the rest
    config_.max_threads = 200;                         // each waits on a thread
    start();
    std::vector<std::unique_ptr<WireClient>> cs;
    for (int i = 0; i < 100; ++i) {
        cs.push_back(client());
        const int h = cs.back()->table_open("big");
        ASSERT_TRUE(h >= 0 && cs.back()->send_raw(be16(19) + be16(h)));
        // The first is the oldest only once the server has it: the others may be served
        // by other threads of the loop.
        if (i == 0) {
            ASSERT_TRUE(eventually([&] { return server_->pending_bytes() == 4096; }));
        }
    }
    // Each header-only record holds only its first 4 KiB buffer (the count is of the
    // buffers' sizes); whole records would take 100 MiB.
    EXPECT_TRUE(eventually([&] { return server_->pending_bytes() == 100 * 4096; }));
    // The oldest request's record arrives whole: the newer ones make room for it.
    ASSERT_TRUE(cs[0]->send_raw(std::string(1 << 20, 'r')));
    EXPECT_EQ(cs[0]->recv32(), 1 << 20);
    EXPECT_TRUE(cs[99]->closed_by_peer());
    EXPECT_TRUE(logged("passed the cap of 1048576 (--max-pending-bytes)"));
    EXPECT_TRUE(eventually([&] { return server_->pending_bytes() == 0; }));
}

TEST_F(RobustnessTest, ClientBytesCannotForgeLogLinesAndRepeatsAreSummarised) {
    start();
    auto c = client();
    const struct {
        std::string name, shown;
    } cases[] = {
        {"a\n2026-01-01 00:00:00.000 forged", "a\\n2026-01-01 00:00:00.000 forged"},
        {"b\x1b[2J\r\t", "b\\x1b[2J\\r\\t"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},                                    // printable UTF-8 stays
        {"d\xff\xc2\x9b\xed\xa0\x80", "d\\xff\\xc2\\x9b\\xed\\xa0\\x80"},  // not
        // Format controls would reorder or hide what follows: U+202E, U+2066, U+200F,
        // U+061C, U+2028, U+FEFF, U+E0041; U+2030 beside them is printable.
        {"e\xe2\x80\xae"
         "b\xe2\x81\xa6",
         "e\\xe2\\x80\\xaeb\\xe2\\x81\\xa6"},
        {"f\xe2\x80\x8f\xd8\x9c", "f\\xe2\\x80\\x8f\\xd8\\x9c"},
        {"g\xe2\x80\xa8\xef\xbb\xbf", "g\\xe2\\x80\\xa8\\xef\\xbb\\xbf"},
        {"h\xf3\xa0\x81\x81\xe2\x80\xb0", "h\\xf3\\xa0\\x81\\x81\xe2\x80\xb0"},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(c->open(0, k.name), -102);
        EXPECT_TRUE(logged("open '" + k.shown + "' refused")) << k.shown;
    }
    for (int i = 0; i < 30; ++i) EXPECT_EQ(c->exists("../up"), -107);
    server_->stop();
    std::lock_guard<std::mutex> lock(log_mutex_);
    size_t exists_lines = 0, summaries = 0;
    for (const std::string& line : log_) {
        EXPECT_EQ(line.find_first_of("\n\r\x1b"), std::string::npos) << line;
        exists_lines += line.find("exists '../up' refused") != std::string::npos;
        summaries +=
            line.find("exists refused with -107: 10 logged, and 20 more") != std::string::npos;
    }
    EXPECT_EQ(exists_lines, 10u);
    EXPECT_EQ(summaries, 1u);
}

}  // namespace
}  // namespace gavo::test
