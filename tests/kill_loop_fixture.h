// Writers that store records and files through the file port while servers are killed:
// this process's library in working mode 2 (two table objects and two file objects, all
// kept open across the kills) and raw wire clients from two client hosts (each file
// opened, written and closed). Every record and every written piece carries
// "<writer target seq>", so that at the end a record or piece stored twice, or stored
// in a table or file other than its own, shows, as does an acknowledged one missing.
// A subclass says what a kill is (one server, or one node behind a balancer).
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "include/GAVO_Client.h"
#include "runtime/state.h"
#include "server/tables/table_store.h"
#include "tests/pg_fixture.h"
#include "tests/server_process.h"
#include "tests/wire_client.h"

namespace gavo::test {

inline int env_int(const char* name, int fallback) {
    const char* v = getenv(name);
    return v != nullptr && *v != '\0' ? atoi(v) : fallback;
}

inline std::string token(const std::string& writer, const std::string& target, int seq) {
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
inline void tally(const Found& found, const std::set<std::string>& acked, const std::string& writer,
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
inline void scan_tokens(const std::string& bytes, const std::string& place, Found* found) {
    for (size_t at = bytes.find('<'); at != std::string::npos; at = bytes.find('<', at + 1)) {
        const size_t end = bytes.find_first_of("<>", at + 1);
        if (end != std::string::npos && bytes[end] == '>') {
            (*found)[bytes.substr(at, end - at + 1)].push_back(place);
        }
    }
}

class KillLoopFixture : public LibraryTest {
protected:
    static constexpr int kWriters = 4;

    void SetUp() override {
        LibraryTest::SetUp();
        roots_ = test_roots();
        root_ = roots_[0];
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0) << root_;
        write_file(dir_ + "tables.conf", "ta = line\ntb = line\n");
        args_ = {"--tables", dir_ + "tables.conf"};
        if (env_int("GAVO_KILL_NO_SYNC", 0) != 0) args_.push_back("--no-sync");
    }
    void TearDown() override {
        LibraryTest::TearDown();
        if (root_.compare(0, dir_.size(), dir_) != 0) remove_tree(root_);
    }

    // The served root as each server sees it: a folder in the test's folder, or with
    // GAVO_TEST_ROOT_BASE set to mounts of one shared file system ("m1:m2"), a new
    // folder seen through each mount in turn (the first is the test's own view).
    std::vector<std::string> test_roots() const {
        const char* bases = getenv("GAVO_TEST_ROOT_BASE");
        if (bases == nullptr || *bases == '\0') return {dir_ + "root"};
        const std::string trimmed = dir_.substr(0, dir_.size() - 1);
        const std::string name = trimmed.substr(trimmed.rfind('/') + 1);
        std::vector<std::string> roots;
        std::string list = bases;
        for (size_t from = 0, to; from <= list.size(); from = to + 1) {
            to = std::min(list.find(':', from), list.size());
            if (to > from) roots.push_back(list.substr(from, to - from) + "/" + name);
        }
        return roots;
    }
    // Records go to a throw-away PostgreSQL; false with `error` when it cannot start.
    bool use_postgres(std::string* error) {
        if (!pg_.start(true, error)) return false;
        pg_url_ = pg_.url();
        args_.insert(args_.end(), {"--tables-db", pg_url_});
        return true;
    }

    // Up (true) or down: the library's reconnection pauses wait while it is down.
    void set_up(bool up) {
        std::lock_guard<std::mutex> lock(mutex_);
        up_ = up;
        changed_.notify_all();
    }
    // The reconnection's pauses wait for the server instead of sleeping, so the library
    // never gives up on a server that is only slow to come back.
    void wait_for_server() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(60), [this] { return up_ || stop_; });
    }
    // Notes the moment of a kill: the next acknowledgement of each writer ends its wait.
    void killed() {
        std::lock_guard<std::mutex> lock(mutex_);
        killed_at_ = std::chrono::steady_clock::now();
        worst_.push_back(0);
        std::fill(waiting_, waiting_ + kWriters, true);
    }
    // Notes one acknowledgement of writer `w` (0 to 3).
    void acked(int w, std::set<std::string>* into, const std::string& tok) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (into != nullptr) into->insert(tok);
        ++progress_[w];
        if (waiting_[w]) {
            waiting_[w] = false;
            const std::chrono::duration<double, std::milli> took =
                std::chrono::steady_clock::now() - killed_at_;
            worst_.back() = std::max(worst_.back(), took.count());
        }
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
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    acked_files_[name] = content;
                }
                acked(1 + k, nullptr, name);
            } else {
                connected = false;
            }
        }
    }

    // Waits until every writer has had `more` acknowledgements since the call (a safety
    // limit of two minutes, not a timing requirement).
    bool progressed(int more) {
        std::unique_lock<std::mutex> lock(mutex_);
        int64_t goal[kWriters];
        for (int w = 0; w < kWriters; ++w) goal[w] = progress_[w] + more;
        return changed_.wait_for(lock, std::chrono::minutes(2), [&] {
            for (int w = 0; w < kWriters; ++w) {
                if (progress_[w] < goal[w]) return false;
            }
            return true;
        });
    }

    // Starts the writers on port_ (the library with gavo.ini naming it), calls `kill(k)`
    // `kills` times, each once every writer has had 1 to 8 more acknowledgements (the
    // writers' own pace decides where in their requests that falls), then stops the
    // writers and the library. The caller checks the stores with check_stores().
    void run_loop(int kills, unsigned seed, const std::function<void(int)>& kill) {
        std::mt19937 random(seed);
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
            if (!progressed(std::uniform_int_distribution<int>(1, 8)(random))) {
                ADD_FAILURE() << "no progress before kill " << k;
                break;
            }
            kill(k);
        }
        const bool last_progress = progressed(4);  // every writer works on the last run too
        stop_ = true;
        changed_.notify_all();
        for (std::thread& t : writers) t.join();
        EXPECT_TRUE(last_progress);
        EXPECT_EQ(gavo::lib::fsmode.load(), 2) << "the library fell back to working mode 1";
        NFile_Close();
    }

    // Looks for every acknowledged record and piece in the tables and the root, prints
    // the figures as lines beginning `label` and expects none lost, duplicated or
    // misdirected.
    void check_stores(const std::string& label) {
        Found records, pieces;
        for (const server::StoredRecord& r : stored_records()) {
            scan_tokens(r.bytes, r.table, &records);
        }
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
        for (const auto& [what, f] :
             {std::make_pair("records", &rec), std::make_pair("files closed", &files),
              std::make_pair("writes to files kept open", &kept)}) {
            printf("%s: %s\n", label.c_str(), f->text(what).c_str());
            EXPECT_GT(f->acked, 0) << what;
            EXPECT_EQ(f->lost + f->duplicated + f->misdirected, 0) << what;
        }
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

    std::vector<std::string> roots_;  // the root through each mount (one when local)
    std::string root_, pg_url_;       // root_: the first of roots_
    std::vector<std::string> args_;
    ThrowawayPostgres pg_;
    int port_ = 0;  // where the writers connect
    std::mutex mutex_;
    std::condition_variable changed_;
    bool up_ = false;
    std::atomic<bool> stop_{false};
    int64_t progress_[kWriters] = {};  // acknowledgements per writer
    bool waiting_[kWriters] = {};      // no acknowledgement since the last kill
    std::chrono::steady_clock::time_point killed_at_;
    std::vector<double> worst_;  // per kill: ms from it to the last writer's next ack
    std::set<std::string> acked_records_, acked_pieces_;
    std::map<std::string, std::string> acked_files_;
};

}  // namespace gavo::test
