// Group commit on a thread of its own: sessions queue their records with a completion
// and go on (a session on the event loop parks its connection, holding no thread); the
// writer's committer thread stores everything queued (up to the batch size) in one
// transaction and then calls the completion of each record in it with the outcome. So
// records of many clients that arrive together share one disk flush, a waiting record
// holds no thread, and each session still answers only after its own record committed.
//
// Before it commits, the committer waits (at most as long as the last commit took) until
// as many records are queued as there were in the last transaction and queued behind
// it: the clients just answered send their next record within a round trip, and without
// that wait they would miss the next transaction and the clients would split into two
// halves taking turns, each commit carrying half of them.
//
// Where the store commits quickly (SQLite without sync), an event-loop thread commits
// the records of its own batch of events itself: it queues them deferred (the committer
// is not woken) and calls commit_deferred() once the batch is served, which stores the
// queue in one transaction on that thread and runs the completions there. That spares
// each record two hand-overs between threads. One thread commits at a time (the commit
// slot): a thread that finds the slot taken leaves its records to the holder (a loop
// thread commits them in its next round, the committer thread after its commit) rather
// than wait; records the store cannot take at once (another process holds its lock), or
// more than a loop thread's rounds take, go to the committer thread, and so does the
// store's upkeep (a checkpoint that flushes).
//
// Thread-safe: mutex_ guards the queue, the flags and the counts. The store and batch_
// are used by the holder of the commit slot only, with mutex_ released. Completions run
// on the committing thread with no lock of the writer held, so they may take the
// caller's own locks; they must not block (a completion hands its session back to
// whoever serves it).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/base/log.h"
#include "server/base/mutex.h"
#include "server/tables/table_store.h"

namespace gavo::server {

class RecordWriter {
public:
    // Called once per queued record: 0 when it is committed, or a negative code when the
    // store failed (the record is then not stored) or the writer was not running; with
    // the number of records whose completions are called in the same turn (1 when the
    // writer was not running).
    using Done = std::function<void(int code, size_t batch)>;

    // `max_batch`: most records per transaction (1 turns group commit off).
    RecordWriter(std::unique_ptr<TableStore> store, Logger& log, size_t max_batch);
    ~RecordWriter();

    // Starts the committer thread and accepts records from now on. False (with `error`)
    // when the thread cannot be started.
    bool start(std::string* error);
    // Stores every record already queued (their completions have run when it returns),
    // then ends the committer thread. Later submits fail. Idempotent; not to be called
    // from two threads at once.
    void stop();

    // Queues `record`; `done` runs on the committing thread once it is committed or its
    // transaction failed. When the writer is not running, `done` runs at once, on the
    // calling thread, with kCodeIoError. `deferred`: the caller calls commit_deferred()
    // or hand_over() on this thread before it waits for anything; with a store that does
    // not commit quickly the committer is woken all the same.
    void submit(Record record, Done done, bool deferred = false);
    // Queues `record` and waits for its outcome (as `done` above would get it).
    int submit(Record record);
    // Commits the queued records on the calling thread (a bounded number of rounds),
    // without waiting: records it cannot commit now go to the committer thread.
    void commit_deferred();
    // Gives the queued records to the committer thread (the caller is about to block).
    void hand_over();
    // True when deferred records are committed by the thread that queued them.
    bool commits_inline() const { return inline_; }

    // Records and transactions committed so far (for benchmarks and tests).
    uint64_t committed_records() const;
    uint64_t transactions() const;
    // Records waiting for the writer right now; with those of the commit running.
    size_t queued() const;
    size_t pending() const;
    // False while the store's last commit failed (until one succeeds again).
    bool healthy() const { return last_ok_.load(std::memory_order_relaxed); }

private:
    struct Pending {
        Record record;
        Done done;
    };
    void committer_main();
    // Waits (bounded) for the sessions of the last commit to queue their next records.
    void gather() GAVO_REQUIRES(mutex_);
    // For the holder of the commit slot: takes the oldest queued records (up to the batch
    // size), stores them with the lock released and calls their completions. With
    // `without_waiting`, a store locked elsewhere puts them back at the queue's front
    // for the committer thread; false then.
    bool commit_batch(bool without_waiting) GAVO_REQUIRES(mutex_);
    // Wakes the committer thread for what is queued.
    bool call_committer() GAVO_REQUIRES(mutex_);

    std::unique_ptr<TableStore> store_;  // used by the holder of the commit slot only
    std::vector<Pending> batch_;         // the batch being committed; slot holder only
    Logger& log_;
    const size_t max_batch_;
    const bool inline_;  // deferred records are committed by the threads that queue them
    std::thread committer_;

    mutable Mutex mutex_;
    CondVar work_;  // for the committer: records queued, enough gathered, or the stop
    std::deque<Pending> queue_ GAVO_GUARDED_BY(mutex_);
    size_t in_commit_ GAVO_GUARDED_BY(mutex_) = 0;      // records of the commit running
    bool committing_ GAVO_GUARDED_BY(mutex_) = false;   // a thread holds the commit slot
    bool slot_inline_ GAVO_GUARDED_BY(mutex_) = false;  // ... a loop thread, in commit_deferred()
    // Inline: the committer thread is to take the queue (records not deferred, or left
    // over by a thread that could not commit them).
    bool wanted_ GAVO_GUARDED_BY(mutex_) = false;
    // Inline: the store has upkeep due, which the committer thread does (it may block).
    bool upkeep_ GAVO_GUARDED_BY(mutex_) = false;
    bool gathering_ GAVO_GUARDED_BY(mutex_) = false;  // the committer waits for more
    size_t expected_ GAVO_GUARDED_BY(mutex_) = 1;     // records to gather for the next commit
    std::chrono::steady_clock::duration last_commit_ GAVO_GUARDED_BY(mutex_){};
    bool stopping_ GAVO_GUARDED_BY(mutex_) = false;
    bool running_ GAVO_GUARDED_BY(mutex_) = false;
    uint64_t records_ GAVO_GUARDED_BY(mutex_) = 0;
    uint64_t transactions_ GAVO_GUARDED_BY(mutex_) = 0;
    std::atomic<bool> last_ok_{true};
};

}  // namespace gavo::server
