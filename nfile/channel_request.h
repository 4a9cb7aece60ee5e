// Framing shared by the archive-channel and log-channel back ends.
//
// A request is a run of fields sent one primitive call per field, starting with the
// 16-bit opcode; strings travel as a 16-bit length counting their zero and the bytes
// with the zero. Nothing is flushed here: reading the reply sends the buffered request.
#pragma once

#include "net/netconn.h"
#include "runtime/lock.h"

namespace gavo {

// The step of a request's data bytes, which has no step number of its own.
constexpr int kDataStep = 0;

// Detail text of step `step`: "1" to "6", or the data-transfer message for kDataStep.
const char* step_detail(int step);

// Reads a 16-bit reply (0..65535, or a transport code) as a signed 16-bit value, so
// that 0x8000..0xFFFF are the server's codes -32768..-1 and transport codes keep theirs.
int as_signed16(int reply);

// One request on one channel. Takes the channel's lock on construction and holds it
// until release() or destruction, so the request and its whole reply are never
// interleaved with another thread's. Every field is sent on the connection that `conn`
// points to at that moment. After the first field that fails to go out, nothing more
// is sent and failed_step() names that field.
//
// Failures must be reported only after release(): the report may run the reconnection,
// which takes both channel locks.
class ChannelRequest {
public:
    ChannelRequest(NFileLock* lock, NetConn* const& conn);
    ~ChannelRequest();
    ChannelRequest(const ChannelRequest&) = delete;
    ChannelRequest& operator=(const ChannelRequest&) = delete;

    void put_short(int value, int step);
    void put_long(int value, int step);
    void put_bytes(const void* data, int count, int step);
    // The string's length with its zero as `length_step`, then its bytes as `bytes_step`.
    // The caller has checked that the length fits 16 bits.
    void put_string(const char* text, int length_step, int bytes_step);

    // True while every field so far went out whole.
    bool sent() const { return failed_step_ < 0; }
    int failed_step() const { return failed_step_; }

    // A 16-bit reply as received: 0..65535, or the receive's negative code.
    int get_short() { return net_getshort(conn_); }
    // A 16-bit reply taken as signed (handle or error code), see as_signed16.
    int get_signed_short() { return as_signed16(net_getshort(conn_)); }
    int get_long() { return net_getlong(conn_); }
    // A 32-bit reply whose every value is valid, negative ones included: true with the
    // value in `value`, or false with the receive's own code there when it did not arrive.
    bool get_any_long(int& value);
    // Receives up to `count` bytes; what net_read returned.
    int get_bytes(void* dest, int count) { return net_read(dest, 1, count, conn_); }
    // Receives and drops `count` bytes, stopping early when the peer closes or the
    // receive fails, so that the next request reads its own reply.
    void drop_bytes(int count);

    // Releases the lock; later calls do nothing.
    void release();

private:
    void sent_whole(int result, int expected, int step);

    NFileLock* lock_;
    NetConn* const& conn_;
    int failed_step_ = -1;
};

}  // namespace gavo
