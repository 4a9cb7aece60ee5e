// Framing shared by the archive-channel and log-channel back ends.
//
// A request is sent as its message in proto/wire.h describes it: the 16-bit opcode,
// then each field by one primitive call; a name travels as a 16-bit length counting its
// zero and the bytes with the zero. Nothing is flushed here: reading the reply sends the
// buffered request.
//
// Every field has a step number that a failure report names: the opcode is step 1, a
// 16- or 32-bit field takes the next step, a name the next two (length, then bytes), and
// data or a record has kDataStep; the reply takes the step after the last field. The
// log channel's requests keep the numbers of the archive requests they mirror, which
// carry one field more: a table open sends no flags (there is no step 2) and a table
// write no byte count (no step 3).
#pragma once

#include <initializer_list>

#include "net/netconn.h"
#include "proto/wire.h"
#include "runtime/lock.h"

namespace gavo {

// The step of a request's data bytes, which has no step number of its own.
constexpr int kDataStep = 0;

// Detail text of step `step`: "1" to "6", or the data-transfer message for kDataStep.
const char* step_detail(int step);

// Reads a 16-bit reply (0..65535, or a transport code) as a signed 16-bit value, so
// that 0x8000..0xFFFF are the server's codes -32768..-1 and transport codes keep theirs.
int as_signed16(int reply);

// The value of one request field: a number for a 16- or 32-bit field, the text for a
// name, the bytes and their count for data or a record. Not owning.
struct FieldValue {
    FieldValue(int value) : number(value) {}
    FieldValue(const char* name) : text(name) {}
    FieldValue(const void* data, int count) : number(count), bytes(data) {}

    int number = 0;
    const char* text = nullptr;
    const void* bytes = nullptr;
};

// One request on one channel. Takes the channel's lock on construction and holds it
// until release() or destruction, so the request and its whole reply are never
// interleaved with another thread's. Every field is sent on the connection that `conn`
// points to at that moment.
//
// Failures must be reported only after release(): the report may run the reconnection,
// which takes both channel locks.
class ChannelRequest {
public:
    ChannelRequest(NFileLock* lock, NetConn* const& conn);
    ~ChannelRequest();
    ChannelRequest(const ChannelRequest&) = delete;
    ChannelRequest& operator=(const ChannelRequest&) = delete;

    // Sends the opcode `op` and `values`, one for each field of its message, in order.
    // After the first field that fails to go out nothing more is sent, and failed_step()
    // names that field. A name must be non-null and fit 16 bits with its zero. True
    // when every field went out whole.
    bool send(wire::Opcode op, std::initializer_list<FieldValue> values);

    // True while every field so far went out whole.
    bool sent() const { return failed_step_ < 0; }
    int failed_step() const { return failed_step_; }
    // The detail text of the failed field, or of the reply.
    const char* failed_detail() const { return step_detail(failed_step_); }
    const char* reply_detail() const { return step_detail(reply_step_); }

    // The reply's leading integer, as wide as the shape of the message sent says: the
    // 16-bit value as received (0..65535) of a kShort or kHandleAndLength reply, the
    // 32-bit value of the others; or the receive's negative code. A 32-bit value may be
    // negative itself, so a negative one counts as a failure code.
    int get_reply();
    // The second integer of a kHandleAndLength reply, whose every value is valid,
    // negative ones included: true with the value in `value`, or false with the
    // receive's own code there when it did not arrive.
    bool get_any_long(int& value);
    // Receives up to `count` bytes of a kCountAndData reply; what net_read returned.
    int get_bytes(void* dest, int count) { return net_read(dest, 1, count, conn_); }
    // Receives and drops `count` bytes, stopping early when the peer closes or the
    // receive fails, so that the next request reads its own reply.
    void drop_bytes(int count);

    // Releases the lock; later calls do nothing.
    void release();

private:
    int take_step();
    void put_field(wire::Field field, const FieldValue& value);
    void put_short(int value, int step);
    void put_long(int value, int step);
    void put_bytes(const void* data, int count, int step);
    void sent_whole(int result, int expected, int step);

    NFileLock* lock_;
    NetConn* const& conn_;
    const wire::Message* message_ = nullptr;
    int next_step_ = 1;
    int skipped_step_ = 0;  // the mirrored archive request's field this one lacks
    int failed_step_ = -1;
    int reply_step_ = -1;
};

}  // namespace gavo
