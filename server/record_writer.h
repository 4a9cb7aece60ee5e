// Group commit: sessions hand their records to one writer thread, which stores whatever
// has queued up since its last commit in one transaction. Records of many clients that
// arrive together thus share one disk flush, while each session still waits until its
// own record is committed before it answers.
//
// Thread-safe. The store is used only by the writer thread once start() has run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/log.h"
#include "server/table_store.h"

namespace gavo::server {

class RecordWriter {
public:
    // `max_batch`: most records per transaction (1 turns group commit off).
    RecordWriter(std::unique_ptr<TableStore> store, Logger& log, size_t max_batch);
    ~RecordWriter();

    void start();
    // Stores every record already queued, then ends the thread. Later submits fail.
    void stop();

    // Queues `record` and waits until it is committed: 0, or a negative code when the
    // store failed (the record is then not stored) or the writer has stopped.
    int submit(Record record);

    // Records and transactions committed so far (for benchmarks and tests).
    uint64_t committed_records() const;
    uint64_t transactions() const;
    // Records waiting for the writer right now.
    size_t queued() const;

private:
    struct Pending {
        Record record;
        bool done = false;
        int code = 0;
    };
    void run();
    // Stores one batch (outside the lock) and publishes its outcome.
    void commit(std::vector<std::shared_ptr<Pending>>& batch);

    std::unique_ptr<TableStore> store_;
    Logger& log_;
    const size_t max_batch_;
    std::thread thread_;

    mutable std::mutex mutex_;          // guards everything below
    std::condition_variable queued_;    // the writer waits for work
    std::condition_variable finished_;  // sessions wait for their commit
    std::deque<std::shared_ptr<Pending>> queue_;
    bool stopping_ = false;
    bool running_ = false;
    uint64_t records_ = 0;
    uint64_t transactions_ = 0;
};

}  // namespace gavo::server
