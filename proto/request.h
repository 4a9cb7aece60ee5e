// The server's request decoder: bytes in, the steps of each request out. Pure: no I/O,
// no clocks, no global state and no allocation, so it is tested and fuzzed by bytes, and
// it resumes at any byte boundary (a field split over two receives decodes as if whole).
//
// A request decodes as: kHeader (the opcode and every field before the body), then the
// body's pieces (kData for write data, kRecord for a table record), then kEnd. A request
// without a body gives kHeader then kEnd. Bodies are handed on piece by piece as they
// arrive, pointing into the bytes fed, never buffered. Name fields keep their first
// kNameFieldKeep bytes and their full length; the rest is skipped.
//
// A table record carries no length: only the table its handle names knows the framing.
// After a table write's kHeader the caller looks the handle up and gives the framing
// with expect_line() or expect_fixed() before feeding on; the decoder then frames the
// record. Malformed input (kMalformed) is final: the stream cannot be kept in step, the
// connection ends, and the decoder answers kMalformed until reset().
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/names.h"
#include "proto/wire.h"

namespace gavo::wire {

// A name field as the server judges it: its first bytes and the length its count gave.
struct NameField {
    char kept[kNameFieldKeep];  // the first kept_size() bytes of the field
    size_t length = 0;          // the field's full length, counting the name's zero
    size_t kept_size() const { return length < kNameFieldKeep ? length : kNameFieldKeep; }
};

// A request's opcode and the fields before its body.
struct RequestHeader {
    const Message* message = nullptr;  // the opcode's entry in kMessages
    int flags = 0;                     // open, open-ex
    int handle = 0;                    // close, read, write, table close, table write
    int32_t count = 0;                 // read, write (a write's is never negative)
    NameField names[2];                // the name fields in order (rename has two)
    Opcode op() const { return message->op; }
};

// True when data or a record follows the message's header.
constexpr bool has_body(const Message& m) {
    return m.field_count > 0 && (m.fields[m.field_count - 1] == Field::kData ||
                                 m.fields[m.field_count - 1] == Field::kRecord);
}

class RequestDecoder {
public:
    enum class Event : uint8_t {
        kNeedMore,   // every byte fed is used; feed more
        kHeader,     // header() holds the request's fields
        kData,       // a piece of write data: data/size
        kRecord,     // a piece of a table record (a line's bytes exclude its line feed)
        kEnd,        // the request is complete; the next bytes begin the next request
        kMalformed,  // error() says why; final until reset()
    };
    enum class Error : uint8_t {
        kNone,
        kUnknownOpcode,  // header().message is null; error_value() is the opcode
        kNegativeCount,  // a write's byte count below 0; error_value() is the count
        kLineTooLong,    // no line feed within the line's maximum
        kNoFraming,      // a table record fed before its framing was given
    };
    struct Step {
        Event event = Event::kNeedMore;
        size_t used = 0;                      // bytes of the input consumed
        const unsigned char* data = nullptr;  // kData, kRecord: the piece, inside the input
        size_t size = 0;
    };

    // Decodes from `in[0..n)`. Returns at the first event, with the bytes used up to it;
    // the caller feeds the rest (and, for kHeader/kEnd, may feed zero bytes to go on).
    Step feed(const unsigned char* in, size_t n);

    // After a table write's kHeader: the record is a line of at most `max` bytes before
    // its line feed (which ends it and is not handed on) ...
    void expect_line(size_t max);
    // ... or exactly `n` bytes.
    void expect_fixed(size_t n);

    const RequestHeader& header() const { return header_; }
    // Bytes still due of the body in progress when it is counted (write data, a fixed
    // record); 0 otherwise.
    uint64_t body_left() const;
    Error error() const { return error_; }
    int64_t error_value() const { return error_value_; }
    // Back to the start of a request, for a new stream.
    void reset();

private:
    enum class State : uint8_t {
        kInteger,  // collecting the opcode, a 16/32-bit field or a name's length
        kName,     // a name field's bytes
        kEndNext,  // the header was handed out and nothing follows
        kData,
        kAwaitFraming,
        kLine,
        kFixed,
        kBroken,
    };
    Step integer_done(size_t used);
    Step field_done(size_t used);
    void begin_integer(size_t width);
    Step fail(Error error, int64_t value, size_t used);
    Step piece(Event event, const unsigned char* in, size_t used, size_t take);
    Step feed_line(const unsigned char* in, size_t n);
    Step end(size_t used);

    State state_ = State::kInteger;
    RequestHeader header_;
    unsigned char scratch_[4] = {};
    size_t want_ = 2;          // kInteger: the integer's width
    size_t have_ = 0;          // kInteger: bytes of it collected
    size_t field_ = SIZE_MAX;  // index of the next field of the message; SIZE_MAX: opcode
    size_t names_ = 0;         // name fields begun
    size_t name_seen_ = 0;     // kName: bytes of the field seen
    uint64_t left_ = 0;        // kData, kFixed: bytes still due
    size_t line_max_ = 0;      // kLine: the most bytes before the line feed
    size_t line_seen_ = 0;     // kLine: bytes handed on so far
    Error error_ = Error::kNone;
    int64_t error_value_ = 0;
};

}  // namespace gavo::wire
