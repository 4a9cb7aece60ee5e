// One client connection's byte stream: a receive buffer and a send buffer of 4096 bytes
// each over a blocking socket, with the wire's 16/32-bit big-endian integers.
//
// Time limits: waiting for the first byte of a request has none (clients hold their
// connections idle for hours), but once a request has begun, every receive and send
// must make progress within the stall time-out, or the connection fails. The first
// failure is sticky: every later call returns false, and error() says what happened.
// Not thread-safe: one connection is served by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace gavo::server {

class Conn {
public:
    static constexpr size_t kBufferSize = 4096;

    // `fd` stays owned by the caller. `stop_fd` becomes readable when the server stops.
    Conn(int fd, std::chrono::milliseconds stall, int stop_fd)
        : fd_(fd), stall_ms_(static_cast<int>(stall.count())), stop_fd_(stop_fd) {}

    // Waits, without a time limit, until the next request's first byte is here. False
    // when the peer closed, the connection failed, or the server is stopping (a request
    // whose bytes are already here when the stop comes is still served, no later one).
    bool wait_request();

    bool get16(int* value);       // 0..65535
    bool get32(int32_t* value);   // signed
    bool get_bytes(void* dest, size_t n);
    // Up to `max` (> 0) bytes: what is buffered, or one receive; 0 on failure.
    size_t get_some(void* dest, size_t max);
    // Reads and drops `n` bytes.
    bool skip(size_t n);
    // Reads the bytes before the next `delim` into `out` and consumes the delimiter.
    // kTooLong when `max` bytes came without it (they are consumed; the stream is then
    // out of step); kFailed on a connection failure.
    enum class Until { kFound, kTooLong, kFailed };
    Until get_until(unsigned char delim, size_t max, std::string* out);
    // True when bytes beyond those consumed are here already (buffered, or waiting in
    // the socket). A client that waits for each reply sends none before it, so such
    // bytes mean the request was longer than the server took it to be.
    bool input_pending();

    bool put16(int value);        // the low 16 bits
    bool put32(int32_t value);
    bool put_bytes(const void* src, size_t n);
    // Sends everything buffered.
    bool flush();

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    // Marks the connection failed with `why` (for the log), if it has not failed yet.
    bool fail(const std::string& why);

private:
    bool fill();  // one receive into the empty buffer, within the stall time-out
    bool send_all(const unsigned char* p, size_t n);
    // Waits for `events` on the socket within the stall time-out.
    bool wait_ready(short events, const char* what);

    const int fd_;
    const int stall_ms_;
    const int stop_fd_;
    unsigned char in_[kBufferSize];
    size_t in_pos_ = 0;
    size_t in_len_ = 0;
    unsigned char out_[kBufferSize];
    size_t out_len_ = 0;
    std::string error_;
    bool stop_seen_ = false;  // the stop has come; only the request then arriving is served
};

}  // namespace gavo::server
