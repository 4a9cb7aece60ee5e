// SIGKILL loop: the writers of kill_loop_fixture.h store records and files on the real
// gavo-server program while it is killed at random moments and started again on the same
// port, root and state.
//
// The suite runs a short loop. scripts/kill-loop.sh runs it long through the variables
// GAVO_KILLS (kills, default 30), GAVO_KILL_NO_SYNC=1 (--no-sync),
// GAVO_KILL_STORE=postgres (records in a throw-away PostgreSQL) and GAVO_KILL_SEED (the
// random draws); the figures go to standard output as lines beginning "kill loop:".
#include "tests/kill_loop_fixture.h"

namespace gavo::test {
namespace {

class KillLoopTest : public KillLoopFixture {
protected:
    void SetUp() override {
        KillLoopFixture::SetUp();
        args_.insert(args_.end(), {"--root", root_, "--state", dir_ + "state"});
        const char* store = getenv("GAVO_KILL_STORE");
        if (store != nullptr && std::string(store) == "postgres") {
            std::string error;
            ASSERT_TRUE(use_postgres(&error)) << error;
        }
    }
    void TearDown() override {
        KillLoopFixture::TearDown();
        server_.reset();
    }

    // Starts the server (on the port of its first run once there was one) and wakes the
    // library's reconnection waiting for it.
    void start_server() {
        auto next = std::make_unique<ServerProcess>();
        std::vector<std::string> args = args_;
        args.insert(args.end(), {"--listen", "127.0.0.1:" + std::to_string(port_)});
        ASSERT_TRUE(next->start(args, dir_ + "server" + std::to_string(runs_++) + ".log"));
        if (port_ == 0) port_ = next->port();  // set before the writers start
        {
            std::lock_guard<std::mutex> lock(mutex_);
            server_ = std::move(next);
        }
        set_up(true);
    }
    void kill_server() {
        std::lock_guard<std::mutex> lock(mutex_);
        up_ = false;
        server_->signal_and_wait(SIGKILL);
    }

    std::unique_ptr<ServerProcess> server_;
    int runs_ = 0;
};

TEST_F(KillLoopTest, AcknowledgedRecordsAndFilesSurviveSigkillsExactlyOnceInTheirPlace) {
    const int kills = env_int("GAVO_KILLS", 30);
    const char* seed_text = getenv("GAVO_KILL_SEED");
    const unsigned seed =
        seed_text ? static_cast<unsigned>(strtoul(seed_text, nullptr, 10)) : std::random_device{}();
    start_server();
    run_loop(kills, seed, [this](int) {
        kill_server();
        start_server();
    });
    kill_server();
    printf("kill loop: %d kills (seed %u)%s%s\n", kills, seed,
           pg_url_.empty() ? ", SQLite" : ", PostgreSQL",
           env_int("GAVO_KILL_NO_SYNC", 0) ? ", --no-sync" : "");
    check_stores("kill loop");
}

}  // namespace
}  // namespace gavo::test
