// One client connection's byte stream: a receive buffer and a send buffer of 4096 bytes
// each over a blocking socket. It moves bytes only; the session decodes them.
//
// Time limits: waiting for the first byte of a request has none (clients hold their
// connections idle for hours), but once a request has begun, every receive and send
// must make progress within the stall time-out, and the request as a whole must keep a
// minimum rate: it starts with a waiting budget of the stall time-out, every wait for
// the peer spends from it, and every byte moved adds back 1/`min_rate` s (up to the
// stall time-out again). A request trickling below the rate thus ends within about one
// stall time-out, however often single bytes arrive; `min_rate` 0 bounds the waiting of
// a whole request by the stall time-out. Time the server spends on its own work
// (disk, database) does not count. The first failure is sticky: every later call
// returns false, and error() says what happened.
// Not thread-safe: one connection is served by one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace gavo::server {

class Conn {
public:
    static constexpr size_t kBufferSize = 4096;

    // `fd` stays owned by the caller. `stop_fd` becomes readable when the server stops.
    // `min_rate` in bytes per second.
    Conn(int fd, std::chrono::milliseconds stall, int min_rate, int stop_fd)
        : fd_(fd),
          stall_ms_(static_cast<int>(stall.count())),
          ns_per_byte_(min_rate > 0 ? 1000000000 / min_rate : 0),
          stop_fd_(stop_fd) {}

    // Waits, without a time limit, until the next request's first byte is here. False
    // when the peer closed, the connection failed, or the server is stopping (a request
    // whose bytes are already here when the stop comes is still served, no later one).
    bool wait_request();

    // The received bytes not yet consumed, and how many there are.
    const unsigned char* buffered() const { return in_ + in_pos_; }
    size_t buffered_size() const { return in_len_ - in_pos_; }
    // Marks the first `n` (<= buffered_size()) of them as used.
    void consume(size_t n) { in_pos_ += n; }
    // With nothing buffered: one receive into the buffer (what is there, up to its size).
    // False on failure.
    bool receive_more();
    // With nothing buffered: one receive of up to `max` bytes straight into `dest`, for
    // large bodies that need not pass through the buffer. The count, 0 on failure.
    size_t receive_into(void* dest, size_t max);
    // True when bytes beyond those consumed are here already (buffered, or waiting in
    // the socket). A client that waits for each reply sends none before it, so such
    // bytes mean the request was longer than the server took it to be.
    bool input_pending();

    bool put_bytes(const void* src, size_t n);
    // Sends everything buffered.
    bool flush();

    int fd() const { return fd_; }
    // The bytes received and sent since the last call (for the server's counters).
    std::pair<uint64_t, uint64_t> take_counts() {
        const std::pair<uint64_t, uint64_t> counts{received_, sent_};
        received_ = sent_ = 0;
        return counts;
    }
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    // Marks the connection failed with `why` (for the log), if it has not failed yet.
    bool fail(const std::string& why);
    // Replaces the reason of a failure already recorded (or records it): for a failure
    // whose real cause the caller knows better than the socket does.
    bool fail_instead(const std::string& why);

private:
    bool fill();  // one receive into the empty buffer, within the stall time-out
    // One receive of up to `max` bytes into `dest`, within the stall time-out; the count,
    // or 0 / -1 after the connection has been marked failed.
    ssize_t receive(void* dest, size_t max);
    void ack_now();  // acknowledge received data without delay
    bool send_all(const unsigned char* p, size_t n);
    // Sends `head` then `body` as one stream, with as few sends as the socket allows.
    bool send_pair(const unsigned char* head, size_t head_len, const unsigned char* body,
                   size_t body_len);
    // Waits for `events` on the socket within the stall time-out and the request's
    // budget.
    bool wait_ready(short events, const char* what);
    // Adds the budget earned by `n` bytes moved.
    void earn(size_t n);
    // True once the server has begun to stop.
    bool stop_requested() const;

    const int fd_;
    const int stall_ms_;
    const int64_t ns_per_byte_;
    const int stop_fd_;
    int64_t budget_ns_ = 0;  // what the request in progress may still spend waiting
    unsigned char in_[kBufferSize];
    size_t in_pos_ = 0;
    size_t in_len_ = 0;
    unsigned char out_[kBufferSize];
    size_t out_len_ = 0;
    std::string error_;
    bool stop_seen_ = false;  // the stop has come; only the request then arriving is served
    uint64_t received_ = 0;   // bytes since take_counts()
    uint64_t sent_ = 0;
};

}  // namespace gavo::server
