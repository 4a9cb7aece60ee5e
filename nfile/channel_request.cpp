#include "nfile/channel_request.h"

#include <cassert>
#include <cstdint>
#include <cstring>

#include "net/messages.h"

namespace gavo {

const char* step_detail(int step) {
    static const char* const kSteps[] = {"1", "2", "3", "4", "5", "6"};
    if (step >= 1 && step <= 6) return kSteps[step - 1];
    return msg::kTransferFailed;
}

int as_signed16(int reply) { return static_cast<int16_t>(static_cast<uint16_t>(reply & 0xFFFF)); }

// The lock is held for the object's life, which the lock analysis cannot follow.
ChannelRequest::ChannelRequest(NFileLock* lock, NetConn* const& conn) GAVO_NO_THREAD_SAFETY_ANALYSIS
    : lock_(lock),
      conn_(conn) {
    nfile_lock(lock_);
}

ChannelRequest::~ChannelRequest() { release(); }

void ChannelRequest::release() GAVO_NO_THREAD_SAFETY_ANALYSIS {
    if (lock_ == nullptr) return;
    nfile_unlock(lock_);
    lock_ = nullptr;
}

// A field counts as sent only when the primitive took all of it; a negative code, or a
// direct send that moved nothing, is fewer.
void ChannelRequest::sent_whole(int result, int expected, int step) {
    if (result != expected) failed_step_ = step;
}

void ChannelRequest::put_short(int value, int step) {
    if (sent()) sent_whole(net_putshort(value, conn_), 2, step);
}

void ChannelRequest::put_long(int value, int step) {
    if (sent()) sent_whole(net_putlong(value, conn_), 4, step);
}

void ChannelRequest::put_bytes(const void* data, int count, int step) {
    if (sent()) sent_whole(net_write(data, 1, count, conn_), count, step);
}

int ChannelRequest::take_step() {
    if (next_step_ == skipped_step_) ++next_step_;
    return next_step_++;
}

void ChannelRequest::put_field(wire::Field field, const FieldValue& value) {
    switch (field) {
    case wire::Field::kShort: put_short(value.number, take_step()); break;
    case wire::Field::kLong: put_long(value.number, take_step()); break;
    case wire::Field::kName: {
        int length = static_cast<int>(std::strlen(value.text)) + 1;
        put_short(length, take_step());
        put_bytes(value.text, length, take_step());
        break;
    }
    case wire::Field::kData:
    case wire::Field::kRecord: put_bytes(value.bytes, value.number, kDataStep); break;
    }
}

bool ChannelRequest::send(wire::Opcode op, std::initializer_list<FieldValue> values) {
    message_ = wire::find_message(op);
    assert(message_ != nullptr && values.size() == message_->field_count);
    if (op == wire::kOpTableOpen) skipped_step_ = 2;
    if (op == wire::kOpTableWrite) skipped_step_ = 3;
    put_short(op, take_step());
    const wire::Field* field = message_->fields;
    for (const FieldValue& value : values) put_field(*field++, value);
    reply_step_ = take_step();
    return sent();
}

int ChannelRequest::get_reply() {
    bool narrow =
        message_->reply == wire::Reply::kShort || message_->reply == wire::Reply::kHandleAndLength;
    return narrow ? net_getshort(conn_) : net_getlong(conn_);
}

// net_getlong gives a failure as a transport code, a number that a value can also have.
// Only a receive that failed leaves the connection missing or marked broken, or gives
// the wait's code on a connection that waits before each receive.
bool ChannelRequest::get_any_long(int& value) {
    value = net_getlong(conn_);
    if (value > kNetNoConnection || value < kNetPeerClosed) return true;
    if (conn_ == nullptr || conn_->broken) return false;
    return !(value == kNetWaitFailed && conn_->read_wait > 0);
}

void ChannelRequest::drop_bytes(int count) {
    unsigned char sink[kNetBufferSize];
    while (count > 0) {
        int chunk = count < kNetBufferSize ? count : kNetBufferSize;
        int got = net_read(sink, 1, chunk, conn_);
        if (got <= 0) return;
        count -= got;
    }
}

}  // namespace gavo
