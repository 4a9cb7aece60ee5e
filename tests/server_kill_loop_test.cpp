// SIGKILL loop: writers store records and files on the real gavo-server program while it
// is killed at random moments and started again on the same port, root and state. The
// writers are this process's library in working mode 2 (two table objects and two file
// objects, all kept open across the kills) and raw wire clients from two client hosts
// (each file opened, written and closed). Every record and every written piece carries
// "<writer target seq>", so that at the end a record or piece stored twice, or stored
// in a table or file other than its own, shows, as does an acknowledged one missing.
//
// The suite runs a short loop. scripts/kill-loop.sh runs it long through the variables
// GAVO_KILLS (kills, default 30), GAVO_KILL_NO_SYNC=1 (--no-sync),
// GAVO_KILL_STORE=postgres (records in a throw-away PostgreSQL) and GAVO_KILL_SEED (the
// random draws); the figures go to standard output as lines beginning "kill loop:".
#include <dirent.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include "include/GAVO_Client.h"
#include "runtime/state.h"
#include "server/tables/table_store.h"
#include "tests/pg_fixture.h"
#include "tests/server_process.h"
#include "tests/wire_client.h"

namespace gavo::test {
namespace {

int env_int(const char* name, int fallback) {
    const char* v = getenv(name);
    return v != nullptr && *v != '\0' ? atoi(v) : fallback;
}

std::string token(const std::string& writer, const std::string& target, int seq) {
    return "<" + writer + " " + target + " " + std::to_string(seq) + ">";
}

// Acknowledged and found figures of one kind of write.
struct Figures {
    int acked = 0, lost = 0, duplicated = 0, misdirected = 0;
    std::string text(const char* what) const {
        char line[200];
        snprintf(line, sizeof line, "%s acknowledged %d lost %d duplicated %d misdirected %d", what,
                 acked, lost, duplicated, misdirected);
        return line;
    }
};

// Where each token was found: token -> the targets (table or file names) holding it.
using Found = std::map<std::string, std::vector<std::string>>;

// Adds the duplicated and misdirected tokens of `found` whose writer starts with
// `writer`, and the acknowledged ones found nowhere.
void tally(const Found& found, const std::set<std::string>& acked, const std::string& writer,
           Figures* f) {
    f->acked = static_cast<int>(acked.size());
    for (const auto& [tok, places] : found) {
        if (tok.compare(1, writer.size(), writer) != 0) continue;
        const size_t from = tok.find(' ') + 1;
        const std::string target = tok.substr(from, tok.rfind(' ') - from);
        f->duplicated += places.size() > 1;
        for (const std::string& p : places) f->misdirected += p != target;
    }
    for (const std::string& tok : acked) f->lost += found.count(tok) == 0;
}

// Every "<...>" in `bytes` (pieces cut off by a kill have no '>' and are skipped).
void scan_tokens(const std::string& bytes, const std::string& place, Found* found) {
    for (size_t at = bytes.find('<'); at != std::string::npos; at = bytes.find('<', at + 1)) {
        const size_t end = bytes.find_first_of("<>", at + 1);
        if (end != std::string::npos && bytes[end] == '>') {
            (*found)[bytes.substr(at, end - at + 1)].push_back(place);
        }
    }
}

class KillLoopTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        root_ = dir_ + "root";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        write_file(dir_ + "tables.conf", "ta = line\ntb = line\n");
        args_ = {"--root", root_, "--state", dir_ + "state", "--tables", dir_ + "tables.conf"};
        if (env_int("GAVO_KILL_NO_SYNC", 0) != 0) args_.push_back("--no-sync");
        const char* store = getenv("GAVO_KILL_STORE");
        if (store != nullptr && std::string(store) == "postgres") {
            std::string error;
            ASSERT_TRUE(pg_.start(true, &error)) << error;
            pg_url_ = pg_.url();
            args_.insert(args_.end(), {"--tables-db", pg_url_});
        }
    }
    void TearDown() override {
        LibraryTest::TearDown();
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
        std::lock_guard<std::mutex> lock(mutex_);
        server_ = std::move(next);
        up_ = true;
        changed_.notify_all();
    }
    void kill_server() {
        std::lock_guard<std::mutex> lock(mutex_);
        up_ = false;
        server_->signal_and_wait(SIGKILL);
    }
    // The reconnection's pauses wait for the server instead of sleeping, so the library
    // never gives up on a server that is only slow to come back.
    void wait_for_server() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(60), [this] { return up_ || stop_; });
    }
    // Notes one acknowledgement of writer `w` (0 to 3).
    void acked(int w, std::set<std::string>* into, const std::string& tok) {
        std::lock_guard<std::mutex> lock(mutex_);
        into->insert(tok);
        ++progress_[w];
        changed_.notify_all();
    }

    // Library objects kept open across the kills; an object whose write fails is closed
    // and replaced at once by a new one (a close that fails leaves the old one holding
    // its handle), while the other goes on with its handle. `table` objects write
    // records, the others lines of a file.
    void library_writer(bool table) {
        const std::string names[2] = {table ? "ta" : "lib-a.dat", table ? "tb" : "lib-b.dat"};
        std::unique_ptr<CNFile> objects[2];
        bool created[2] = {table, table};
        auto open = [&](int i) {
            objects[i] = std::make_unique<CNFile>();
            const unsigned flags = table ? 0x100 : created[i] ? 0x06 : 0x0A;
            if (objects[i]->Open(names[i].c_str(), flags) != 0) objects[i].reset();
            created[i] = created[i] || objects[i];
        };
        for (int seq = 0; !stop_; ++seq) {
            const int i = seq % 2;
            if (!objects[i]) open(i);
            if (!objects[i]) continue;
            const std::string tok = token("lib", names[i], seq);
            const std::string piece = tok + "\n";
            if (objects[i]->WriteEx(piece.data(), static_cast<unsigned>(piece.size())) ==
                piece.size()) {
                acked(table ? 0 : 1, table ? &acked_records_ : &acked_pieces_, tok);
            } else {
                objects[i]->Close();
                open(i);
            }
        }
    }

    // A raw client host writing one new file after another, each in three writes and
    // acknowledged by its close; any failure drops the connection and opens a new one.
    void wire_writer(int k, const char* local_ip) {
        const std::string writer = "w" + std::to_string(k);
        WireClient c;
        bool connected = false;
        for (int n = 0; !stop_; ++n) {
            if (!connected && !(connected = c.connect(port_, local_ip))) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            const std::string name = writer + "-" + std::to_string(n) + ".dat";
            const int h = c.open(0x0A, name);
            std::string content;
            int written = 0;
            for (; written < 3 && h >= 0; ++written) {
                const std::string piece = token(writer, name, written) + "\n";
                if (c.write(h, piece) != static_cast<int64_t>(piece.size())) break;
                content += piece;
            }
            if (written == 3 && c.close_handle(h) == 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                acked_files_[name] = content;
                ++progress_[1 + k];
                changed_.notify_all();
            } else {
                connected = false;
            }
        }
    }

    // Waits until every writer has had `more` acknowledgements since the call (a safety
    // limit of two minutes, not a timing requirement).
    bool progressed(int more) {
        std::unique_lock<std::mutex> lock(mutex_);
        int64_t goal[4];
        for (int w = 0; w < 4; ++w) goal[w] = progress_[w] + more;
        return changed_.wait_for(lock, std::chrono::minutes(2), [&] {
            for (int w = 0; w < 4; ++w) {
                if (progress_[w] < goal[w]) return false;
            }
            return true;
        });
    }

    std::vector<server::StoredRecord> stored_records() {
        auto store = pg_url_.empty() ? server::make_sqlite_store(dir_ + "state/tables.db", false)
                                     : server::make_pg_store(pg_url_);
        std::vector<server::StoredRecord> rows;
        server::StoreError error;
        EXPECT_TRUE(store->open(&error) &&
                    store->scan(
                        "", [&](const server::StoredRecord& r) { rows.push_back(r); }, &error))
            << error.text;
        return rows;
    }

    std::string root_, pg_url_;
    std::vector<std::string> args_;
    ThrowawayPostgres pg_;
    std::unique_ptr<ServerProcess> server_;
    int port_ = 0, runs_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool up_ = false;
    std::atomic<bool> stop_{false};
    int64_t progress_[4] = {};  // acknowledgements per writer
    std::set<std::string> acked_records_, acked_pieces_;
    std::map<std::string, std::string> acked_files_;
};

TEST_F(KillLoopTest, AcknowledgedRecordsAndFilesSurviveSigkillsExactlyOnceInTheirPlace) {
    const int kills = env_int("GAVO_KILLS", 30);
    const char* seed_text = getenv("GAVO_KILL_SEED");
    const unsigned seed =
        seed_text ? static_cast<unsigned>(strtoul(seed_text, nullptr, 10)) : std::random_device{}();
    std::mt19937 random(seed);
    start_server();
    write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" + std::to_string(port_) +
              "\n");
    ASSERT_EQ(NFile_Init(), 1);
    platform_->on_sleep([this](size_t) { wait_for_server(); });

    std::vector<std::thread> writers;
    writers.emplace_back([this] { library_writer(true); });
    writers.emplace_back([this] { library_writer(false); });
    writers.emplace_back([this] { wire_writer(1, "127.0.0.1"); });
    writers.emplace_back([this] { wire_writer(2, "127.0.0.2"); });
    for (int k = 0; k < kills && !HasFatalFailure(); ++k) {
        // A random moment: once every writer has had 1 to 8 more acknowledgements; the
        // writers' own pace decides where in their requests that falls.
        if (!progressed(std::uniform_int_distribution<int>(1, 8)(random))) {
            ADD_FAILURE() << "no progress before kill " << k;
            break;
        }
        kill_server();
        start_server();
    }
    const bool last_progress = progressed(4);  // every writer works on the last run too
    stop_ = true;
    changed_.notify_all();
    for (std::thread& t : writers) t.join();
    EXPECT_TRUE(last_progress);
    EXPECT_EQ(gavo::lib::fsmode.load(), 2) << "the library fell back to working mode 1";
    NFile_Close();
    kill_server();

    Found records, pieces;
    for (const server::StoredRecord& r : stored_records()) scan_tokens(r.bytes, r.table, &records);
    Figures rec, files, kept;
    tally(records, acked_records_, "lib", &rec);
    DIR* d = opendir(root_.c_str());
    ASSERT_NE(d, nullptr);
    for (struct dirent* e; (e = readdir(d)) != nullptr;) {
        const std::string name = e->d_name;
        if (name[0] != '.') scan_tokens(read_file(root_ + "/" + name), name, &pieces);
    }
    closedir(d);
    tally(pieces, acked_pieces_, "lib", &kept);
    tally(pieces, {}, "w", &files);
    files.acked = static_cast<int>(acked_files_.size());
    for (const auto& [name, content] : acked_files_) {
        files.lost += read_file(root_ + "/" + name) != content;
    }
    printf("kill loop: %d kills (seed %u)%s%s\nkill loop: %s\nkill loop: %s\nkill loop: %s\n",
           kills, seed, pg_url_.empty() ? ", SQLite" : ", PostgreSQL",
           env_int("GAVO_KILL_NO_SYNC", 0) ? ", --no-sync" : "", rec.text("records").c_str(),
           files.text("files closed").c_str(), kept.text("writes to files kept open").c_str());
    for (const Figures* f : {&rec, &files, &kept}) {
        EXPECT_GT(f->acked, 0);
        EXPECT_EQ(f->lost + f->duplicated + f->misdirected, 0);
    }
}

}  // namespace
}  // namespace gavo::test
