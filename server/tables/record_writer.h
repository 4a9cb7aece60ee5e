// Group commit: a session queues its record; when no commit is running, that session
// itself (the leader) stores everything queued (up to the batch size) in one
// transaction, and the sessions whose records were in it just wait for the outcome.
// Records of many clients that arrive together thus share one disk flush, a lone client
// pays no hand-over to another thread, and each session still answers only after its
// own record committed.
//
// Only the sessions that have something to do are woken: those of the batch just
// committed, and the oldest waiting one, which leads the next commit. Before it
// commits, a leader waits (at most as long as the last commit took) until as many
// records are queued as there were sessions active at the last commit: the clients just
// answered send their next record within a round trip, and without that wait they would
// miss the next transaction and the clients would split into two halves taking turns,
// each commit carrying half of them.
//
// Thread-safe: mutex_ guards the queue, the flags, the counts and every queued Pending.
// The store is used by one session at a time, the leader, with mutex_ released (a
// commit takes a disk flush), never concurrently.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "server/base/log.h"
#include "server/base/mutex.h"
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
    // A queued record, on its submitting session's stack until it is done.
    struct Pending {
        Record record;
        CondVar wake;       // done, or lead: only this session waits on it
        bool done = false;  // done, code and lead: under the writer's mutex_
        int code = 0;
        bool lead = false;  // this session commits the next batch
    };
    // Waits (bounded) for the sessions of the last commit to queue their next records.
    void gather(Pending& leader) GAVO_REQUIRES(mutex_);
    // Takes the oldest queued records (up to the batch size), stores them with the lock
    // released, publishes their outcome and hands the lead on. Called by the leader.
    void commit_batch() GAVO_REQUIRES(mutex_);

    std::unique_ptr<TableStore> store_;  // used only by the session that set committing_
    Logger& log_;
    const size_t max_batch_;

    mutable Mutex mutex_;
    CondVar finished_;  // the last leader let go with nothing queued (stop() waits for it)
    std::deque<Pending*> queue_ GAVO_GUARDED_BY(mutex_);
    bool committing_ GAVO_GUARDED_BY(mutex_) = false;       // a session leads (gathers or stores)
    Pending* gathering_ GAVO_GUARDED_BY(mutex_) = nullptr;  // the leader while it gathers
    size_t expected_ GAVO_GUARDED_BY(mutex_) = 1;           // sessions active at the last commit
    std::chrono::steady_clock::duration last_commit_ GAVO_GUARDED_BY(mutex_){};
    bool stopping_ GAVO_GUARDED_BY(mutex_) = false;
    bool running_ GAVO_GUARDED_BY(mutex_) = false;
    uint64_t records_ GAVO_GUARDED_BY(mutex_) = 0;
    uint64_t transactions_ GAVO_GUARDED_BY(mutex_) = 0;
    std::atomic<bool> last_ok_{true};
};

}  // namespace gavo::server
