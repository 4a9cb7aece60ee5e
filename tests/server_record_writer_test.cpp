// Group commit: records queued while a commit runs go into the next transaction
// together, each submitter learns its own outcome (once, after its commit), and a failed
// transaction stores none.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "server/tables/record_writer.h"

namespace gavo::test {
namespace {

using server::Record;
using server::StoreError;

// A store that records each batch; its first append can be held until released.
class FakeStore : public server::TableStore {
public:
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        bool hold_first = false;
        bool released = false;
        bool fail = false;
        bool quick = false;  // commits_quickly(): deferred records are committed inline
        int busy = 0;        // append_or_busy() calls still to find the store locked
        int entered = 0;     // appends begun
        std::vector<std::vector<std::string>> batches;  // the record bytes of each append
    };
    explicit FakeStore(Shared* s) : s_(s) {}
    bool open(StoreError*) override { return true; }
    bool append(const std::vector<const Record*>& batch, StoreError* error) override {
        std::unique_lock<std::mutex> lock(s_->mutex);
        ++s_->entered;
        if (s_->hold_first && s_->batches.empty()) {
            s_->cv.wait(lock, [this] { return s_->released; });
        }
        std::vector<std::string> bytes;
        for (const Record* r : batch) bytes.push_back(r->bytes);
        s_->batches.push_back(bytes);
        if (s_->fail) {
            error->text = "disk on fire";
            error->code = -106;
            return false;
        }
        return true;
    }
    bool append_or_busy(const std::vector<const Record*>& batch, StoreError* error) override {
        {
            std::lock_guard<std::mutex> lock(s_->mutex);
            if (s_->busy > 0) {
                --s_->busy;
                error->busy = true;
                return false;
            }
        }
        return append(batch, error);
    }
    bool commits_quickly() const override { return s_->quick; }
    bool scan(const std::string&, const std::function<void(const server::StoredRecord&)>&,
              StoreError*) override {
        return true;
    }
    std::string describe() const override { return "fake"; }

private:
    Shared* s_;
};

Record record(const std::string& bytes) { return Record{"t", "", 0, bytes}; }

void start(server::RecordWriter& writer) {
    std::string error;
    ASSERT_TRUE(writer.start(&error)) << error;
}

bool wait_until(const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// Holds the first commit, queues `n` more records from `n` threads, then releases.
void run_held_burst(server::RecordWriter& writer, FakeStore::Shared& shared, int n,
                    std::vector<int>* codes) {
    codes->assign(static_cast<size_t>(n + 1), 1);
    std::vector<std::thread> threads;
    threads.emplace_back([&] { (*codes)[0] = writer.submit(record("first")); });
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> lock(shared.mutex);
        return shared.entered == 1;
    }));
    for (size_t i = 1; i < codes->size(); ++i) {
        threads.emplace_back([&, i] { (*codes)[i] = writer.submit(record(std::to_string(i))); });
    }
    ASSERT_TRUE(wait_until([&] { return writer.queued() == static_cast<size_t>(n); }));
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.released = true;
    }
    shared.cv.notify_all();
    for (auto& t : threads) t.join();
}

TEST(RecordWriterTest, RecordsArrivingDuringACommitShareTheNextTransaction) {
    FakeStore::Shared shared;
    shared.hold_first = true;
    server::Logger log([](const std::string&) {});
    server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, 1024);
    start(writer);
    std::vector<int> codes;
    run_held_burst(writer, shared, 6, &codes);
    for (int code : codes) EXPECT_EQ(code, 0);
    ASSERT_EQ(shared.batches.size(), 2u);
    EXPECT_EQ(shared.batches[0], std::vector<std::string>{"first"});
    EXPECT_EQ(shared.batches[1].size(), 6u);
    EXPECT_EQ(writer.committed_records(), 7u);
    EXPECT_EQ(writer.transactions(), 2u);
}

TEST(RecordWriterTest, WithoutGroupCommitEachRecordIsItsOwnTransaction) {
    FakeStore::Shared shared;
    shared.hold_first = true;
    server::Logger log([](const std::string&) {});
    server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, 1);
    start(writer);
    std::vector<int> codes;
    run_held_burst(writer, shared, 4, &codes);
    EXPECT_EQ(shared.batches.size(), 5u);
    EXPECT_EQ(writer.transactions(), 5u);
}

TEST(RecordWriterTest, FailedTransactionAnswersEveryRecordInItWithTheStoreCode) {
    FakeStore::Shared shared;
    shared.fail = true;
    std::vector<std::string> lines;
    server::Logger log([&](const std::string& l) { lines.push_back(l); });
    server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, 1024);
    start(writer);
    EXPECT_EQ(writer.submit(record("x")), -106);
    EXPECT_EQ(writer.committed_records(), 0u);
    writer.stop();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("disk on fire"), std::string::npos);
}

// Queued without waiting, as a session on the event loop does: each completion runs
// exactly once, after its record is counted as committed, and without the writer's lock
// (a completion that asks the writer anything would otherwise hang the committer).
TEST(RecordWriterTest, CompletionsRunOnceEachAfterTheirCommitWithoutTheWritersLock) {
    for (const bool fail : {false, true}) {
        SCOPED_TRACE(fail);
        FakeStore::Shared shared;
        shared.fail = fail;
        server::Logger log([](const std::string&) {});
        server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, 4);
        start(writer);
        constexpr size_t kRecords = 20;
        std::vector<int> calls(kRecords, 0), codes(kRecords, 1);
        std::vector<uint64_t> committed_then(kRecords, 0);
        for (size_t i = 0; i < kRecords; ++i) {
            writer.submit(record(std::to_string(i)), [&, i](int code, size_t) {
                ++calls[i];
                codes[i] = code;
                committed_then[i] = writer.committed_records();
            });
        }
        writer.stop();  // returns once every completion has run
        EXPECT_EQ(calls, std::vector<int>(kRecords, 1));
        EXPECT_EQ(codes, std::vector<int>(kRecords, fail ? -106 : 0));
        for (size_t i = 0; !fail && i < kRecords; ++i) EXPECT_GT(committed_then[i], i);
        int late = 1;  // after the stop: answered at once, on this thread
        writer.submit(record("late"), [&](int code, size_t) { late = code; });
        EXPECT_LT(late, 0);
    }
}

TEST(RecordWriterTest, StopWaitsUntilQueuedRecordsAreStored) {
    FakeStore::Shared shared;
    shared.hold_first = true;
    server::Logger log([](const std::string&) {});
    server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, 1024);
    start(writer);
    std::vector<int> codes(2, 1);
    std::thread first([&] { codes[0] = writer.submit(record("first")); });
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> lock(shared.mutex);
        return shared.entered == 1;
    }));
    std::thread second([&] { codes[1] = writer.submit(record("second")); });
    ASSERT_TRUE(wait_until([&] { return writer.queued() == 1u; }));
    std::thread stopper([&] { writer.stop(); });
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.released = true;
    }
    shared.cv.notify_all();
    stopper.join();
    // Once stop() has returned, both records are stored and the store is left alone.
    EXPECT_EQ(writer.committed_records(), 2u);
    first.join();
    second.join();
    EXPECT_EQ(codes, (std::vector<int>{0, 0}));
}

TEST(RecordWriterTest, SubmitAfterStopIsRefusedInsteadOfWaitingForever) {
    FakeStore::Shared shared;
    server::Logger log([](const std::string&) {});
    server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, 1024);
    start(writer);
    EXPECT_EQ(writer.submit(record("before")), 0);
    writer.stop();
    EXPECT_LT(writer.submit(record("after")), 0);
    EXPECT_EQ(shared.batches.size(), 1u);
}

// Many sessions writing one record after another: the lead passes from batch to batch,
// and every record is stored exactly once, answered 0, in a batch within the bound.
TEST(RecordWriterTest, ManySessionsInTurnStoreEveryRecordOnce) {
    for (size_t max_batch : {1u, 3u, 1024u}) {
        SCOPED_TRACE(max_batch);
        FakeStore::Shared shared;
        server::Logger log([](const std::string&) {});
        server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, max_batch);
        start(writer);
        constexpr size_t kSessions = 8, kEach = 50;
        std::vector<int> failures(kSessions, 0);
        std::vector<std::thread> threads;
        for (size_t s = 0; s < kSessions; ++s) {
            threads.emplace_back([&, s] {
                for (size_t i = 0; i < kEach; ++i) {
                    failures[s] += writer.submit(record(std::to_string(s * kEach + i))) != 0;
                }
            });
        }
        for (auto& t : threads) t.join();
        writer.stop();
        EXPECT_EQ(failures, std::vector<int>(kSessions, 0));
        std::multiset<std::string> stored;
        for (const auto& batch : shared.batches) {
            EXPECT_LE(batch.size(), max_batch);
            stored.insert(batch.begin(), batch.end());
        }
        EXPECT_EQ(stored.size(), kSessions * kEach);
        for (size_t k = 0; k < kSessions * kEach; ++k)
            EXPECT_EQ(stored.count(std::to_string(k)), 1u);
        EXPECT_EQ(writer.committed_records(), kSessions * kEach);
    }
}

// Records deferred by a loop thread: committed on that thread in one transaction when
// the store commits quickly and the commit slot is free; otherwise the committer thread
// stores them. Either way each is stored once, in order, and answered 0 after it.
TEST(RecordWriterTest, DeferredRecordsAreCommittedInlineOrByTheCommitter) {
    enum class Then { kCommitHere, kHandOver };
    struct Case {
        const char* name;
        bool quick;
        int busy;          // inline attempts that find the store locked by another process
        bool held;         // the committer holds the slot with a commit of its own
        size_t max_batch;  // 1: more transactions than a thread's inline rounds
        Then then;
        size_t committed_here;  // records this thread commits itself
    };
    constexpr size_t kRecords = 6;
    const Case cases[] = {
        {"quick store: committed here", true, 0, false, 1024, Then::kCommitHere, kRecords},
        {"store locked elsewhere", true, 1, false, 1024, Then::kCommitHere, 0},
        {"slot taken by the committer", true, 0, true, 1024, Then::kCommitHere, 0},
        {"thread leaves for blocking work", true, 0, false, 1024, Then::kHandOver, 0},
        {"rounds used up: the committer takes the rest", true, 0, false, 1, Then::kCommitHere, 4},
        {"store with sync: the committer commits", false, 0, false, 1024, Then::kCommitHere, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStore::Shared shared;
        shared.quick = c.quick;
        shared.busy = c.busy;
        shared.hold_first = c.held;
        server::Logger log([](const std::string&) {});
        server::RecordWriter writer(std::make_unique<FakeStore>(&shared), log, c.max_batch);
        start(writer);
        std::thread first;
        if (c.held) {
            first = std::thread([&] { EXPECT_EQ(writer.submit(record("first")), 0); });
            ASSERT_TRUE(wait_until([&] {
                std::lock_guard<std::mutex> lock(shared.mutex);
                return shared.entered == 1;
            }));
        }
        std::mutex mutex;
        std::vector<int> codes(kRecords, 1);
        size_t here = 0;
        const std::thread::id self = std::this_thread::get_id();
        std::vector<std::string> deferred;
        for (size_t i = 0; i < kRecords; ++i) {
            auto done = [&, i](int code, size_t) {
                std::lock_guard<std::mutex> lock(mutex);
                codes[i] = code;
                if (std::this_thread::get_id() == self) ++here;
            };
            deferred.push_back(std::to_string(i));
            writer.submit(record(deferred.back()), done, true);
        }
        if (c.then == Then::kCommitHere) writer.commit_deferred();
        if (c.then == Then::kHandOver) writer.hand_over();
        if (c.held) {
            {
                std::lock_guard<std::mutex> lock(shared.mutex);
                EXPECT_EQ(shared.entered, 1);  // the slot was not waited for
                shared.released = true;
            }
            shared.cv.notify_all();
            first.join();
        }
        ASSERT_TRUE(wait_until([&] { return writer.committed_records() == kRecords + c.held; }));
        writer.stop();
        EXPECT_EQ(codes, std::vector<int>(kRecords, 0));
        EXPECT_EQ(here, c.committed_here);
        // Every record once, in order, after the committer's own.
        std::vector<std::string> stored;
        for (size_t b = c.held; b < shared.batches.size(); ++b) {
            stored.insert(stored.end(), shared.batches[b].begin(), shared.batches[b].end());
        }
        EXPECT_EQ(stored, deferred);
    }
}

}  // namespace
}  // namespace gavo::test
