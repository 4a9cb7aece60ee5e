// Records per second into server tables: one client and many clients at once, with and
// without group commit, for SQLite (synchronous=FULL) and PostgreSQL (fsync on, a
// throw-away cluster on a Unix socket), each group-commit figure beside its floor: the
// store alone, one writer appending as many records per transaction as there are
// clients (the most group commit can do), with met/short against 80% at 64 clients.
//
// Runs the server in-process on a free loopback port; every client opens the table
// "bench" (64-byte fixed records) and writes records one after another, each waiting
// for its acknowledgement, for a fixed time.
// Usage: tables_bench [seconds] [client counts, e.g. 1,16,64,256]
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

// Records appended per second by one writer, `n` per transaction, into a fresh store.
double floor_rate(const Run& run, const std::string& pg_url, double seconds) {
    const std::string dir = test::make_temp_dir();
    auto store = pg_url.empty() ? server::make_sqlite_store(dir + "floor.db", true)
                                : server::make_pg_store(pg_url);
    server::StoreError error;
    double rate = 0;
    if (store->open(&error)) {
        std::vector<server::Record> rows(static_cast<size_t>(run.clients),
                                         {"bench", "127.0.0.1", 0, std::string(64, 'r')});
        std::vector<const server::Record*> batch;
        for (auto& r : rows) batch.push_back(&r);
        long stored = 0;
        const auto start = std::chrono::steady_clock::now();
        const auto took = [&] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        while (took() < seconds && store->append(batch, &error)) stored += run.clients;
        rate = static_cast<double>(stored) / took();
    }
    store.reset();
    test::remove_tree(dir);
    return rate;
}

// Records acknowledged per second, and records per transaction.
double measure(const Run& run, const std::string& pg_url, double seconds) {
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
        return 0;
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
    const double rate = static_cast<double>(acked) / took;
    printf("%-10s %-13s %3d clients  %9.0f records/s  %6.1f records/transaction\n", run.store,
           run.group_commit ? "group commit" : "one by one", run.clients, rate,
           w->transactions() ? static_cast<double>(w->committed_records()) /
                                   static_cast<double>(w->transactions())
                             : 0.0);
    server.stop();
    test::remove_tree(dir);
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 2.0;
    std::vector<int> counts;
    for (const char* p = argc > 2 ? argv[2] : "1,16,64,256"; *p;) {
        char* end = nullptr;
        const long n = strtol(p, &end, 10);
        if (end == p) break;
        if (n > 0) counts.push_back(static_cast<int>(n));
        p = *end == ',' ? end + 1 : end;
    }
    gavo::test::ThrowawayPostgres pg;
    std::string error;
    const bool have_pg = pg.start(true, &error);
    if (!have_pg) fprintf(stderr, "PostgreSQL skipped: %s\n", error.c_str());
    for (const char* store : {"sqlite", "postgresql"}) {
        if (std::string(store) == "postgresql" && !have_pg) continue;
        const std::string url = store[0] == 'p' ? pg.url() : "";
        for (int clients : counts) {
            const double group = measure({store, true, clients}, url, seconds);
            if (clients == 1 || clients == counts.back())
                measure({store, false, clients}, url, seconds);
            const double floor = floor_rate({store, true, clients}, url, seconds);
            printf(
                "%-10s floor (%3d per commit)        %9.0f records/s  group commit at %.0f%%%s\n",
                store, clients, floor, floor > 0 ? 100 * group / floor : 0.0,
                clients == 64 ? (group >= 0.8 * floor ? "  (>= 80%: met)" : "  (>= 80%: short)")
                              : "");
        }
    }
    return 0;
}
