#include "proto/request.h"

#include <algorithm>
#include <cstring>

#include "proto/codec.h"

namespace gavo::wire {

namespace {

constexpr size_t kOpcodeField = SIZE_MAX;  // field_ while the opcode is being collected

// The header keeps room for two name fields: no request carries more.
constexpr bool names_fit() {
    for (const Message& m : kMessages) {
        size_t names = 0;
        for (size_t i = 0; i < m.field_count; ++i) names += m.fields[i] == Field::kName;
        if (names > 2) return false;
    }
    return true;
}
static_assert(names_fit(), "RequestHeader::names must hold every name field of a request");

// The 16-bit field is the open flags for the opens, the handle for every other request.
bool short_is_flags(Opcode op) { return op == kOpOpen || op == kOpOpenEx; }

}  // namespace

RequestDecoder::Step RequestDecoder::feed(const unsigned char* in, size_t n) {
    size_t used = 0;
    for (;;) {
        Step step;
        switch (state_) {
        case State::kInteger: {
            const size_t take = std::min(want_ - have_, n - used);
            if (take > 0) memcpy(scratch_ + have_, in + used, take);
            have_ += take;
            used += take;
            if (have_ < want_) return Step{Event::kNeedMore, used};
            step = integer_done(used);
            break;
        }
        case State::kName: {
            NameField& name = header_.names[names_];
            const size_t take = std::min(name.length - name_seen_, n - used);
            const size_t keep =
                name_seen_ < kNameFieldKeep ? std::min(take, kNameFieldKeep - name_seen_) : 0;
            if (keep > 0) memcpy(name.kept + name_seen_, in + used, keep);
            name_seen_ += take;
            used += take;
            if (name_seen_ < name.length) return Step{Event::kNeedMore, used};
            ++names_;
            ++field_;
            step = field_done(used);
            break;
        }
        case State::kEndNext: return end(used);
        case State::kData:
        case State::kFixed: {
            if (left_ == 0) return end(used);
            const size_t take = static_cast<size_t>(std::min<uint64_t>(left_, n - used));
            if (take == 0) return Step{Event::kNeedMore, used};
            left_ -= take;
            return piece(state_ == State::kData ? Event::kData : Event::kRecord, in, used, take);
        }
        case State::kLine: {
            step = feed_line(in + used, n - used);
            step.used += used;
            return step;
        }
        case State::kAwaitFraming: return fail(Error::kNoFraming, 0, used);
        case State::kBroken: return Step{Event::kMalformed, used};
        }
        if (step.event != Event::kNeedMore) return step;
    }
}

// A line's bytes up to the line feed go on as pieces; the line feed itself ends it.
RequestDecoder::Step RequestDecoder::feed_line(const unsigned char* in, size_t n) {
    if (n == 0) return Step{Event::kNeedMore, 0};
    const auto* found = static_cast<const unsigned char*>(memchr(in, '\n', n));
    const size_t take = found ? static_cast<size_t>(found - in) : n;
    if (line_seen_ + take > line_max_) {
        return fail(Error::kLineTooLong, static_cast<int64_t>(line_max_), line_max_ - line_seen_);
    }
    if (take == 0) return end(1);
    line_seen_ += take;
    return piece(Event::kRecord, in, 0, take);
}

RequestDecoder::Step RequestDecoder::integer_done(size_t used) {
    have_ = 0;
    if (field_ == kOpcodeField) {
        const int op = codec::get16(scratch_);
        header_.message = find_message(op);
        header_.flags = header_.handle = header_.count = 0;
        header_.names[0].length = header_.names[1].length = 0;
        if (!header_.message) return fail(Error::kUnknownOpcode, op, used);
        field_ = 0;
        names_ = 0;
        return field_done(used);
    }
    const Field field = header_.message->fields[field_];
    if (field == Field::kName) {
        header_.names[names_].length = static_cast<size_t>(codec::get16(scratch_));
        name_seen_ = 0;
        state_ = State::kName;
        return Step{Event::kNeedMore, used};
    }
    if (field == Field::kShort) {
        (short_is_flags(header_.op()) ? header_.flags : header_.handle) = codec::get16(scratch_);
    } else {
        header_.count = codec::get32(scratch_);
    }
    ++field_;
    return field_done(used);
}

// Starts the next field; after the last field before the body, hands the header out.
RequestDecoder::Step RequestDecoder::field_done(size_t used) {
    const Message& m = *header_.message;
    const Field next = field_ < m.field_count ? m.fields[field_] : Field::kShort;
    if (field_ < m.field_count && next != Field::kData && next != Field::kRecord) {
        begin_integer(next == Field::kLong ? 4 : 2);  // a name begins with its length
        return Step{Event::kNeedMore, used};
    }
    if (field_ == m.field_count) {
        state_ = State::kEndNext;
    } else if (next == Field::kData) {
        // The data's length is unknowable when its count is negative.
        if (header_.count < 0) return fail(Error::kNegativeCount, header_.count, used);
        left_ = static_cast<uint64_t>(header_.count);
        state_ = State::kData;
    } else {
        state_ = State::kAwaitFraming;
    }
    return Step{Event::kHeader, used};
}

void RequestDecoder::begin_integer(size_t width) {
    state_ = State::kInteger;
    want_ = width;
    have_ = 0;
}

RequestDecoder::Step RequestDecoder::fail(Error error, int64_t value, size_t used) {
    state_ = State::kBroken;
    error_ = error;
    error_value_ = value;
    return Step{Event::kMalformed, used};
}

RequestDecoder::Step RequestDecoder::piece(Event event, const unsigned char* in, size_t used,
                                           size_t take) {
    return Step{event, used + take, in + used, take};
}

RequestDecoder::Step RequestDecoder::end(size_t used) {
    begin_integer(2);
    field_ = kOpcodeField;
    return Step{Event::kEnd, used};
}

void RequestDecoder::expect_line(size_t max) {
    if (state_ != State::kAwaitFraming) return;
    state_ = State::kLine;
    line_max_ = max;
    line_seen_ = 0;
}

void RequestDecoder::expect_fixed(size_t n) {
    if (state_ != State::kAwaitFraming) return;
    state_ = State::kFixed;
    left_ = n;
}

uint64_t RequestDecoder::body_left() const {
    return state_ == State::kData || state_ == State::kFixed ? left_ : 0;
}

void RequestDecoder::reset() { *this = RequestDecoder{}; }

}  // namespace gavo::wire
