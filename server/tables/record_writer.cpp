#include "server/tables/record_writer.h"

#include <vector>

#include "proto/codes.h"
#include "server/base/metrics.h"

namespace gavo::server {

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
    // The sessions waiting with queued records commit them; the store is left alone
    // once they have.
    while (!queue_.empty() || committing_) finished_.wait(mutex_);
}

int RecordWriter::submit(Record record) {
    auto pending = std::make_shared<Pending>();
    pending->record = std::move(record);
    MutexLock lock(mutex_);
    if (stopping_ || !running_) return kCodeIoError;
    queue_.push_back(pending);
    for (;;) {
        // While another session commits, more records queue up for the next batch.
        while (!pending->done && committing_) finished_.wait(mutex_);
        if (pending->done) return pending->code;
        committing_ = true;
        commit_batch();
        committing_ = false;
        finished_.notify_all();
    }
}

void RecordWriter::commit_batch() {
    std::vector<std::shared_ptr<Pending>> batch;
    while (!queue_.empty() && batch.size() < max_batch_) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    std::vector<const Record*> records;
    records.reserve(batch.size());
    for (const auto& p : batch) records.push_back(&p->record);
    mutex_.unlock();
    StoreError error;
    const bool ok = store_->append(records, &error);
    last_ok_.store(ok, std::memory_order_relaxed);
    if (ok) metrics().commit_batch.observe(batch.size());
    if (!ok) {
        metrics().commit_failed();
        log_.linef(LogLevel::kError, "tables: storing %zu records failed (%s); answered with %d",
                   batch.size(), error.text.c_str(), error.code);
    }
    mutex_.lock();
    for (auto& p : batch) {
        p->done = true;
        p->code = ok ? 0 : error.code;
    }
    if (ok) {
        records_ += batch.size();
        ++transactions_;
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
