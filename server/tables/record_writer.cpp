#include "server/tables/record_writer.h"

#include <algorithm>
#include <vector>

#include "proto/codes.h"
#include "server/base/metrics.h"

namespace gavo::server {

namespace {

// The longest a leader waits for the records of the sessions just answered: their round
// trip, bounded so that a client that went quiet costs the others little.
constexpr std::chrono::steady_clock::duration kMaxGather = std::chrono::milliseconds(10);

}  // namespace

RecordWriter::RecordWriter(std::unique_ptr<TableStore> store, Logger& log, size_t max_batch)
    : store_(std::move(store)), log_(log), max_batch_(max_batch < 1 ? 1 : max_batch) {}

RecordWriter::~RecordWriter() { stop(); }

void RecordWriter::start() {
    MutexLock lock(mutex_);
    if (!stopping_) running_ = true;
}

void RecordWriter::stop() {
    MutexLock lock(mutex_);
    stopping_ = true;
    // No more records will come: a gathering leader commits what it has. The sessions
    // waiting with queued records commit them; the store is left alone once they have.
    if (gathering_) gathering_->wake.notify_all();
    while (!queue_.empty() || committing_) finished_.wait(mutex_);
}

int RecordWriter::submit(Record record) {
    Pending me;
    me.record = std::move(record);
    MutexLock lock(mutex_);
    if (stopping_ || !running_) return kCodeIoError;
    queue_.push_back(&me);
    if (!committing_) {
        committing_ = true;  // nothing is queued before this record: it leads at once
        me.lead = true;
    } else if (gathering_ && queue_.size() >= expected_) {
        gathering_->wake.notify_all();
    }
    while (!me.done && !me.lead) me.wake.wait(mutex_);
    if (!me.done) {
        gather(me);
        commit_batch();  // the leader is the oldest queued record: this commits it
    }
    return me.code;
}

void RecordWriter::gather(Pending& leader) {
    const auto deadline = std::chrono::steady_clock::now() + std::min(last_commit_, kMaxGather);
    gathering_ = &leader;
    while (!stopping_ && queue_.size() < expected_) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= left.zero() || !leader.wake.wait_for(mutex_, left)) break;
    }
    gathering_ = nullptr;
}

void RecordWriter::commit_batch() {
    std::vector<Pending*> batch;
    while (!queue_.empty() && batch.size() < max_batch_) {
        batch.push_back(queue_.front());
        queue_.pop_front();
    }
    std::vector<const Record*> records;
    records.reserve(batch.size());
    for (const Pending* p : batch) records.push_back(&p->record);
    mutex_.unlock();
    const auto began = std::chrono::steady_clock::now();
    StoreError error;
    const bool ok = store_->append(records, &error);
    const auto took = std::chrono::steady_clock::now() - began;
    last_ok_.store(ok, std::memory_order_relaxed);
    if (ok) metrics().commit_batch.observe(batch.size());
    if (!ok) {
        metrics().commit_failed();
        log_.linef(LogLevel::kError, "tables: storing %zu records failed (%s); answered with %d",
                   batch.size(), error.text.c_str(), error.code);
    }
    mutex_.lock();
    last_commit_ = took;
    expected_ = std::min(max_batch_, batch.size() + queue_.size());
    if (ok) {
        records_ += batch.size();
        ++transactions_;
    }
    // A session returns (and its Pending ends) once it holds mutex_ again: none is
    // touched after this loop.
    for (Pending* p : batch) {
        p->done = true;
        p->code = ok ? 0 : error.code;
        p->wake.notify_all();
    }
    if (queue_.empty()) {
        committing_ = false;
        finished_.notify_all();
    } else {
        queue_.front()->lead = true;
        queue_.front()->wake.notify_all();
    }
}

uint64_t RecordWriter::committed_records() const {
    MutexLock lock(mutex_);
    return records_;
}

size_t RecordWriter::queued() const {
    MutexLock lock(mutex_);
    return queue_.size();
}

uint64_t RecordWriter::transactions() const {
    MutexLock lock(mutex_);
    return transactions_;
}

}  // namespace gavo::server
