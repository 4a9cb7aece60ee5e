// The bytes of each reply shape (wire.h's Reply). A reply is at most six bytes; a read's
// data follow its count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/codec.h"

namespace gavo::wire {

struct ReplyBytes {
    unsigned char bytes[6] = {};
    size_t size = 0;
};

// Reply::kShort: a handle, 0, or a negative code (its low 16 bits).
inline ReplyBytes encode_short(int value) {
    ReplyBytes r;
    codec::put16(r.bytes, value);
    r.size = 2;
    return r;
}

// Reply::kLong, and the count that heads Reply::kCountAndData: a count, an answer or a
// negative code.
inline ReplyBytes encode_long(int32_t value) {
    ReplyBytes r;
    codec::put32(r.bytes, value);
    r.size = 4;
    return r;
}

// Reply::kHandleAndLength on success: the handle, then the file's length (its low 32
// bits). A refusal is encode_short(code).
inline ReplyBytes encode_handle_and_length(int handle, uint32_t length) {
    ReplyBytes r;
    codec::put16(r.bytes, handle);
    codec::put32(r.bytes + 2, static_cast<int>(length));
    r.size = 6;
    return r;
}

}  // namespace gavo::wire
