// Group commit: a session queues its record; when no commit is running, that session
// itself stores everything queued (up to the batch size) in one transaction, and the
// sessions whose records were in it just wait for the outcome. Records of many clients
// that arrive together thus share one disk flush, a lone client pays no hand-over to
// another thread, and each session still answers only after its own record committed.
//
// Thread-safe. The store is used by one session at a time (the one committing), never
// concurrently.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "server/base/log.h"
#include "server/tables/table_store.h"

namespace gavo::server {

class RecordWriter {
public:
    // `max_batch`: most records per transaction (1 turns group commit off).
    RecordWriter(std::unique_ptr<TableStore> store, Logger& log, size_t max_batch);
    ~RecordWriter();

    // Accepts records from now on.
    void start();
    // Waits until every record already queued is stored. Later submits fail.
    void stop();

    // Queues `record` and waits until it is committed: 0, or a negative code when the
    // store failed (the record is then not stored) or the writer has stopped.
    int submit(Record record);

    // Records and transactions committed so far (for benchmarks and tests).
    uint64_t committed_records() const;
    uint64_t transactions() const;
    // Records waiting for the writer right now.
    size_t queued() const;
    // False while the store's last commit failed (until one succeeds again).
    bool healthy() const { return last_ok_.load(std::memory_order_relaxed); }

private:
    struct Pending {
        Record record;
        bool done = false;
        int code = 0;
    };
    // Takes the oldest queued records (up to the batch size), stores them with the lock
    // released and publishes their outcome. Called with `lock` held and committing_ set.
    void commit_batch(std::unique_lock<std::mutex>& lock);

    std::unique_ptr<TableStore> store_;
    Logger& log_;
    const size_t max_batch_;

    mutable std::mutex mutex_;          // guards everything below
    std::condition_variable finished_;  // a commit ended: waiting sessions look again
    std::deque<std::shared_ptr<Pending>> queue_;
    bool committing_ = false;  // a session is storing a batch
    bool stopping_ = false;
    bool running_ = false;
    uint64_t records_ = 0;
    uint64_t transactions_ = 0;
    std::atomic<bool> last_ok_{true};
};

}  // namespace gavo::server
