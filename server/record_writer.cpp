#include "server/record_writer.h"

#include <vector>

namespace gavo::server {

RecordWriter::RecordWriter(std::unique_ptr<TableStore> store, Logger& log, size_t max_batch)
    : store_(std::move(store)), log_(log), max_batch_(max_batch < 1 ? 1 : max_batch) {}

RecordWriter::~RecordWriter() { stop(); }

void RecordWriter::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || stopping_) return;
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void RecordWriter::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queued_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

int RecordWriter::submit(Record record) {
    auto pending = std::make_shared<Pending>();
    pending->record = std::move(record);
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_ || !running_) return -105;
    queue_.push_back(pending);
    queued_.notify_one();
    finished_.wait(lock, [&] { return pending->done; });
    return pending->code;
}

void RecordWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and everything queued is stored
        std::vector<std::shared_ptr<Pending>> batch;
        while (!queue_.empty() && batch.size() < max_batch_) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        // While this batch commits, new records queue up for the next one.
        lock.unlock();
        commit(batch);
        lock.lock();
    }
}

void RecordWriter::commit(std::vector<std::shared_ptr<Pending>>& batch) {
    std::vector<const Record*> records;
    records.reserve(batch.size());
    for (const auto& p : batch) records.push_back(&p->record);
    StoreError error;
    const bool ok = store_->append(records, &error);
    if (!ok) {
        log_.linef("tables: storing %zu records failed (%s); answered with %d", batch.size(),
                   error.text.c_str(), error.code);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& p : batch) {
        p->done = true;
        p->code = ok ? 0 : error.code;
    }
    if (ok) {
        records_ += batch.size();
        ++transactions_;
    }
    finished_.notify_all();
}

uint64_t RecordWriter::committed_records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

size_t RecordWriter::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

uint64_t RecordWriter::transactions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transactions_;
}

}  // namespace gavo::server
