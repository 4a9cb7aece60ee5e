#include "server/tables/record_writer.h"

#include <algorithm>
#include <system_error>

#include "proto/codes.h"
#include "server/base/metrics.h"

namespace gavo::server {

namespace {

// The longest the committer waits for the records of the sessions just answered: their
// round trip, bounded so that a client that went quiet costs the others little.
constexpr std::chrono::steady_clock::duration kMaxGather = std::chrono::milliseconds(10);
// Commits a thread makes in one commit_deferred(): the later ones take what other loop
// threads queued meanwhile (they leave it to the slot's holder), which spares a wake-up
// of the committer thread; beyond that the thread returns to its connections.
constexpr int kInlineRounds = 4;

}  // namespace

RecordWriter::RecordWriter(std::unique_ptr<TableStore> store, Logger& log, size_t max_batch)
    : store_(std::move(store)),
      log_(log),
      max_batch_(max_batch < 1 ? 1 : max_batch),
      inline_(store_->commits_quickly()) {}

RecordWriter::~RecordWriter() { stop(); }

bool RecordWriter::start(std::string* error) {
    MutexLock lock(mutex_);
    if (stopping_ || running_) return running_;
    try {
        committer_ = std::thread([this] { committer_main(); });
    } catch (const std::system_error& e) {
        *error = std::string("cannot start the tables committer thread: ") + e.what();
        return false;
    }
    running_ = true;
    return true;
}

void RecordWriter::stop() {
    {
        MutexLock lock(mutex_);
        stopping_ = true;
        work_.notify_all();  // a gathering committer commits what it has
    }
    // The committer ends once the queue is empty: every queued record is stored and
    // answered, and the store is left alone.
    if (committer_.joinable()) committer_.join();
}

bool RecordWriter::call_committer() {
    // It waits for a first record, or gathers up to expected_ ones. Inline, it is woken
    // at every call: it may have slept through records that loop threads took.
    wanted_ = true;
    return inline_ || queue_.size() == 1 || (gathering_ && queue_.size() >= expected_);
}

void RecordWriter::submit(Record record, Done done, bool deferred) {
    bool queued = false, wake = false;
    {
        MutexLock lock(mutex_);
        if (running_ && !stopping_) {
            queue_.push_back(Pending{std::move(record), std::move(done)});
            queued = true;
            if (deferred && inline_) {
                wake = gathering_ && queue_.size() >= expected_;
            } else {
                wake = call_committer();
            }
        }
    }
    // Woken after the lock is released, the committer does not block on it at once.
    if (wake) work_.notify_all();
    if (!queued) done(kCodeIoError, 1);
}

int RecordWriter::submit(Record record) {
    Mutex mutex;
    CondVar answered;
    bool done = false;
    int code = 0;
    submit(std::move(record), [&](int outcome, size_t) {
        MutexLock lock(mutex);
        code = outcome;
        done = true;
        answered.notify_all();
    });
    MutexLock lock(mutex);
    while (!done) answered.wait(mutex);
    return code;
}

void RecordWriter::commit_deferred() {
    // A store that does not commit quickly had its committer woken at submit(): a loop
    // thread must not wait for its flush.
    if (!inline_) return;
    bool wake = false;
    {
        MutexLock lock(mutex_);
        if (committing_) {
            // A loop thread holding the slot takes these in its next round; the committer
            // thread takes them after its commit.
            if (!slot_inline_) wanted_ = true;
            return;
        }
        committing_ = slot_inline_ = true;
        for (int round = 0; round < kInlineRounds && !queue_.empty() && !upkeep_; ++round) {
            if (!commit_batch(true)) break;
            upkeep_ = store_->upkeep_due();
        }
        committing_ = slot_inline_ = false;
        // What is left goes to the committer, which at a stop also waits for the slot.
        wake = (!queue_.empty() && call_committer()) || stopping_ || upkeep_;
    }
    if (wake) work_.notify_all();
}

void RecordWriter::hand_over() {
    if (!inline_) return;  // the committer was woken at submit()
    bool wake = false;
    {
        MutexLock lock(mutex_);
        if (!queue_.empty()) wake = call_committer();
    }
    if (wake) work_.notify_all();
}

void RecordWriter::committer_main() {
    MutexLock lock(mutex_);
    for (;;) {
        // Inline, records are left to the threads that deferred them unless handed over.
        while (!stopping_ &&
               (committing_ || (!upkeep_ && (queue_.empty() || (inline_ && !wanted_))))) {
            work_.wait(mutex_);
        }
        if (committing_) {  // stopping: the thread holding the slot wakes it when done
            work_.wait(mutex_);
            continue;
        }
        if (upkeep_) {
            upkeep_ = false;
            committing_ = true;
            mutex_.unlock();
            store_->run_upkeep();
            mutex_.lock();
            committing_ = false;
            continue;
        }
        if (queue_.empty()) return;  // stopping, and everything queued is answered
        wanted_ = false;
        committing_ = true;
        gather();
        commit_batch(false);
        committing_ = false;
    }
}

void RecordWriter::gather() {
    const auto deadline = std::chrono::steady_clock::now() + std::min(last_commit_, kMaxGather);
    gathering_ = true;
    while (!stopping_ && queue_.size() < expected_) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= left.zero() || !work_.wait_for(mutex_, left)) break;
    }
    gathering_ = false;
}

bool RecordWriter::commit_batch(bool without_waiting) {
    while (!queue_.empty() && batch_.size() < max_batch_) {
        batch_.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    // What the batch's bound leaves behind may have been handed to the committer thread
    // already (its threads' calls are spent): it takes it in its next round.
    if (!without_waiting && !queue_.empty()) wanted_ = true;
    in_commit_ = batch_.size();
    mutex_.unlock();
    std::vector<const Record*> records;
    records.reserve(batch_.size());
    for (const Pending& p : batch_) records.push_back(&p.record);
    const auto began = std::chrono::steady_clock::now();
    StoreError error;
    const bool ok =
        without_waiting ? store_->append_or_busy(records, &error) : store_->append(records, &error);
    const auto took = std::chrono::steady_clock::now() - began;
    if (!ok && error.busy && without_waiting) {
        // Another process holds the store: the committer thread waits for it instead.
        mutex_.lock();
        for (auto it = batch_.rbegin(); it != batch_.rend(); ++it) {
            queue_.push_front(std::move(*it));
        }
        batch_.clear();
        in_commit_ = 0;
        return false;
    }
    last_ok_.store(ok, std::memory_order_relaxed);
    if (ok) metrics().commit_batch.observe(batch_.size());
    if (!ok) {
        metrics().commit_failed();
        log_.linef(LogLevel::kError, "tables: storing %zu records failed (%s); answered with %d",
                   batch_.size(), error.text.c_str(), error.code);
    }
    {
        MutexLock lock(mutex_);
        in_commit_ = 0;
        last_commit_ = took;
        expected_ = std::min(max_batch_, batch_.size() + queue_.size());
        if (ok) {
            records_ += batch_.size();
            ++transactions_;
        }
    }
    // Without the writer's lock: a completion takes its session's locks.
    for (Pending& p : batch_) p.done(ok ? 0 : error.code, batch_.size());
    batch_.clear();
    mutex_.lock();
    return true;
}

uint64_t RecordWriter::committed_records() const {
    MutexLock lock(mutex_);
    return records_;
}

size_t RecordWriter::queued() const {
    MutexLock lock(mutex_);
    return queue_.size();
}

size_t RecordWriter::pending() const {
    MutexLock lock(mutex_);
    return queue_.size() + in_commit_;
}

uint64_t RecordWriter::transactions() const {
    MutexLock lock(mutex_);
    return transactions_;
}

}  // namespace gavo::server
