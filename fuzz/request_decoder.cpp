// Fuzz target: the server's request decoder by bytes alone, no sockets. Byte 0 seeds the
// split points, byte 1 the framing given to every table record (bit 0: line or fixed;
// the rest: its size; 0xFF gives none); the rest is a client's byte stream.
//
// The stream is decoded twice, whole and cut at pseudo-random points, and must give the
// same steps (header fields, the place and length of each body, ends, the error). Checked at every step: no
// more bytes used than fed, "need more" only with every byte used, pieces inside the
// bytes fed and never beyond the counted body, malformed input final.
#include <cstddef>
#include <cstdint>

#include "fuzz/common.h"
#include "proto/request.h"

using gavo::fuzz::die;
using gavo::wire::RequestDecoder;
using Event = RequestDecoder::Event;

namespace {

struct Hash {
    uint64_t h = 14695981039346656037ull;
    void add(const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    }
    void add(uint64_t v) {
        for (int i = 0; i < 8; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * 1099511628211ull;
    }
};

void add_header(Hash& hash, const gavo::wire::RequestHeader& h) {
    hash.add(h.op());
    hash.add(static_cast<uint64_t>(h.flags) << 32 | static_cast<uint32_t>(h.handle));
    hash.add(static_cast<uint32_t>(h.count));
    for (const gavo::wire::NameField& name : h.names) {
        hash.add(name.length);
        hash.add(reinterpret_cast<const unsigned char*>(name.kept), name.kept_size());
    }
}

class Run {
public:
    // `stream` is the whole stream, of which feed() gets consecutive pieces.
    Run(const unsigned char* stream, uint8_t framing) : stream_(stream), framing_(framing) {}

    // Feeds one piece of the stream; false once the stream turned out malformed.
    bool feed(const unsigned char* p, size_t n) {
        for (;;) {
            const uint64_t due = decoder_.body_left();
            const RequestDecoder::Step s = decoder_.feed(p, n);
            if (s.used > n) die("used %zu of %zu bytes", s.used, n);
            if (s.data && (s.data < p || s.data + s.size > p + s.used)) die("piece outside");
            if (s.event == Event::kData && s.size > due) die("piece beyond the count");
            p += s.used;
            n -= s.used;
            if (!step(s)) return false;
            if (s.event == Event::kNeedMore) {
                if (n != 0) die("need more with %zu bytes left", n);
                return true;
            }
        }
    }
    uint64_t digest() const { return hash_.h; }

private:
    bool step(const RequestDecoder::Step& s) {
        switch (s.event) {
        case Event::kNeedMore: return true;
        case Event::kHeader:
            add_header(hash_, decoder_.header());
            if (decoder_.header().op() == gavo::wire::kOpTableWrite && framing_ != 0xFF) {
                if (framing_ & 1) decoder_.expect_fixed(framing_ >> 1);
                else decoder_.expect_line(framing_ >> 1);
            }
            return true;
        case Event::kData:
        case Event::kRecord:
            // A body's pieces lie end to end in the stream: its place and length say
            // which bytes it is, without looking at each.
            if (body_size_ == 0) body_start_ = static_cast<size_t>(s.data - stream_);
            if (s.data != stream_ + body_start_ + body_size_) die("body pieces not contiguous");
            body_size_ += s.size;
            return true;
        case Event::kEnd:
            hash_.add(body_start_ << 32 | body_size_);
            body_start_ = body_size_ = 0;
            return true;
        case Event::kMalformed:
            // A record cut short by the error is dropped, however much of it came.
            hash_.add(static_cast<uint64_t>(decoder_.error()));
            hash_.add(static_cast<uint64_t>(decoder_.error_value()));
            if (decoder_.feed(nullptr, 0).event != Event::kMalformed) die("malformed not final");
            return false;
        }
        return true;
    }

    const unsigned char* const stream_;
    const uint8_t framing_;
    RequestDecoder decoder_;
    Hash hash_;
    uint64_t body_start_ = 0, body_size_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const unsigned char* stream = data + 2;
    const size_t n = size - 2;
    Run whole(stream, data[1]);
    whole.feed(stream, n);
    Run split(stream, data[1]);
    uint32_t seed = data[0] * 2654435761u + 1;
    for (size_t from = 0; from < n;) {
        seed = seed * 1103515245u + 12345u;
        // Byte 0 picks fine cuts (every field split), medium ones or whole receives.
        const size_t len = 1 + (seed >> 16) % (data[0] < 64 ? 4 : data[0] < 160 ? 64 : 1024);
        const size_t take = len < n - from ? len : n - from;
        if (!split.feed(stream + from, take)) break;
        from += take;
    }
    if (whole.digest() != split.digest()) die("the split stream decodes differently");
    return 0;
}
