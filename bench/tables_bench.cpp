// Records per second into server tables: one client and many clients at once, with and
// without group commit, for SQLite (synchronous=FULL) and PostgreSQL (fsync on, a
// throw-away cluster on a Unix socket).
//
// Runs the server in-process on a free loopback port; every client opens the table
// "bench" (64-byte fixed records) and writes records one after another, each waiting
// for its acknowledgement, for a fixed time. Usage: tables_bench [seconds] [clients]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "server/server.h"
#include "tests/pg_fixture.h"
#include "tests/test_support.h"
#include "tests/wire_client.h"

namespace {

using namespace gavo;

struct Run {
    const char* store;
    bool group_commit;
    int clients;
};

// Records acknowledged per second, and records per transaction.
void measure(const Run& run, const std::string& pg_url, double seconds) {
    const std::string dir = test::make_temp_dir();
    test::write_file(dir + "tables.conf", "bench = fixed:64\n");
    server::ServerConfig config;
    config.listen_port = 0;
    config.root = dir + "root";
    config.tables_file = dir + "tables.conf";
    config.state_dir = dir + "state";
    config.tables_db = pg_url;
    config.group_commit = run.group_commit;
    server::Logger log([](const std::string&) {});
    server::Server server(config, log);
    std::string error;
    if (!server.start(&error)) {
        fprintf(stderr, "cannot start: %s\n", error.c_str());
        return;
    }
    std::atomic<long> acked{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const std::string record(64, 'r');
    for (int k = 0; k < run.clients; ++k) {
        threads.emplace_back([&] {
            test::WireClient c;
            if (!c.connect(server.port())) return;
            const int h = c.table_open("bench");
            while (h >= 0 && !stop && c.table_write(h, record) == 64) ++acked;
        });
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto* w = server.tables().writer();
    printf("%-10s %-13s %3d clients  %9.0f records/s  %6.1f records/transaction\n", run.store,
           run.group_commit ? "group commit" : "one by one", run.clients,
           static_cast<double>(acked) / took,
           w->transactions() ? static_cast<double>(w->committed_records()) /
                                   static_cast<double>(w->transactions())
                             : 0.0);
    server.stop();
    test::remove_tree(dir);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    const int many = argc > 2 ? atoi(argv[2]) : 16;
    gavo::test::ThrowawayPostgres pg;
    std::string error;
    const bool have_pg = pg.start(true, &error);
    if (!have_pg) fprintf(stderr, "PostgreSQL skipped: %s\n", error.c_str());
    for (const char* store : {"sqlite", "postgresql"}) {
        if (std::string(store) == "postgresql" && !have_pg) continue;
        for (bool group : {true, false}) {
            for (int clients : {1, many}) {
                measure({store, group, clients}, store[0] == 'p' ? pg.url() : "", seconds);
            }
        }
    }
    return 0;
}
