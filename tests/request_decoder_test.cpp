// The request decoder by bytes alone: every request kind, every malformed field, and
// every split of the stream (whole, cut at each byte boundary, byte by byte) giving the
// same steps.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "proto/request.h"

namespace gavo::wire {
namespace {

using namespace std::string_literals;
using Event = RequestDecoder::Event;

std::string be16(int v) { return {char(v >> 8), char(v)}; }
std::string be32(int64_t v) { return be16(int(v >> 16)) + be16(int(v)); }
std::string name(const std::string& s) { return be16(int(s.size() + 1)) + s + '\0'; }

// A name field as kept: its length, then the kept bytes (long ones by their ends).
std::string show(const NameField& f) {
    std::string kept(f.kept, f.kept_size());
    if (kept.size() > 16) kept = kept.substr(0, 4) + "~" + kept.substr(kept.size() - 4);
    if (!kept.empty() && kept.back() == '\0') kept.back() = '0';
    return " n" + std::to_string(f.length) + ":" + kept;
}

std::string show(const RequestHeader& h) {
    std::string out = std::string(" H ") + h.message->name;
    if (h.flags) out += " f" + std::to_string(h.flags);
    if (h.handle) out += " h" + std::to_string(h.handle);
    if (h.count) out += " c" + std::to_string(h.count);
    size_t names = 0;
    for (size_t i = 0; i < h.message->field_count; ++i) {
        if (h.message->fields[i] == Field::kName) out += show(h.names[names++]);
    }
    return out;
}

struct Case {
    const char* what;
    std::string bytes;
    std::string framing;  // for table writes: "line:N", "fixed:N" or "" (none given)
    std::string steps;
};

// Feeds `bytes` split at `cuts` and renders the steps; a body's pieces are joined, and
// a record's dropped when the request turns out malformed (the server stores nothing).
std::string run(const Case& c, const std::vector<size_t>& cuts) {
    RequestDecoder d;
    std::string out, body;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : c.bytes.size();
        const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data()) + from;
        for (size_t n = to - from;;) {
            const RequestDecoder::Step s = d.feed(p, n);
            EXPECT_LE(s.used, n);
            p += s.used;
            n -= s.used;
            if (s.event == Event::kNeedMore) {
                EXPECT_EQ(n, 0u) << "need more with bytes left";
                break;
            }
            if (s.event == Event::kMalformed) {
                return out + " M" + std::to_string(int(d.error())) + "(" +
                       std::to_string(d.error_value()) + ")";
            }
            if (s.event == Event::kData || s.event == Event::kRecord) {
                EXPECT_EQ(s.data + s.size, p) << "a piece lies right before the bytes left";
                if (body.empty()) body = s.event == Event::kData ? "D" : "R";
                body.append(reinterpret_cast<const char*>(s.data), s.size);
            }
            if (s.event == Event::kHeader) {
                out += show(d.header());
                const size_t size =
                    c.framing.empty() ? 0 : std::stoul(c.framing.substr(c.framing.find(':') + 1));
                if (c.framing[0] == 'l') d.expect_line(size);
                if (c.framing[0] == 'f') d.expect_fixed(size);
            }
            if (s.event == Event::kEnd) {
                out += (body.empty() ? "" : " " + body) + " E";
                body.clear();
            }
        }
        from = to;
    }
    return out;
}

TEST(RequestDecoderTest, EveryRequestAndMalformedFieldDecodesAlikeAtEverySplit) {
    const std::string long_name = std::string(599, 'x') + "\0"s;
    const Case cases[] = {
        {"open", be16(1) + be16(3) + name("a.txt"), "", " H open f3 n6:a.txt0 E"},
        {"close", be16(2) + be16(7), "", " H close h7 E"},
        {"read", be16(3) + be16(7) + be32(256), "", " H read h7 c256 E"},
        {"write", be16(4) + be16(7) + be32(3) + "abc", "", " H write h7 c3 Dabc E"},
        {"empty write", be16(4) + be16(7) + be32(0), "", " H write h7 E"},
        {"open-ex", be16(5) + be16(0x8001) + name("d/b"), "", " H open-ex f32769 n4:d/b0 E"},
        {"rename", be16(6) + name("a") + name("bc"), "", " H rename n2:a0 n3:bc0 E"},
        {"remove", be16(7) + name("a"), "", " H remove n2:a0 E"},
        {"exists", be16(8) + be16(0), "", " H exists n0: E"},
        {"table open", be16(16) + name("events"), "", " H table open n7:events0 E"},
        {"table close", be16(17) + be16(65535), "", " H close h65535 E"},
        {"line record", be16(19) + be16(2) + "ab\n", "line:2", " H table write h2 Rab E"},
        {"empty line", be16(19) + be16(2) + "\n", "line:0", " H table write h2 E"},
        {"fixed record", be16(19) + be16(2) + "wx\ny", "fixed:4", " H table write h2 Rwx\ny E"},
        {"pipelined",
         be16(4) + be16(1) + be32(2) + "\0\2"s + be16(19) + be16(3) + "z\n" + be16(2) + be16(1),
         "line:9", " H write h1 c2 D\0\2 E H table write h3 Rz E H close h1 E"s},
        {"long name: first bytes kept, rest skipped",
         be16(7) + be16(600) + long_name + be16(2) + be16(5), "",
         " H remove n600:xxxx~xxxx E H close h5 E"},
        {"list", be16(0x0101) + name("d") + name("x\x01y"), "", " H list n2:d0 n4:x\x01y0 E"},
        {"stat", be16(0x0102) + name(""), "", " H stat n1:0 E"},
        {"rmdir", be16(0x0103) + name("d/e"), "", " H rmdir n4:d/e0 E"},
        {"unknown opcode 0x0104", be16(0x0104) + name("d"), "", " M1(260)"},
        {"unknown opcode 0", be16(0), "", " M1(0)"},
        {"unknown opcode 18", be16(2) + be16(1) + be16(18) + be16(1), "", " H close h1 E M1(18)"},
        {"unknown opcode 65535", be16(65535), "", " M1(65535)"},
        {"negative write count", be16(4) + be16(1) + be32(-1) + "abc", "", " M2(-1)"},
        {"lowest write count", be16(4) + be16(1) + be32(INT32_MIN), "", " M2(-2147483648)"},
        {"line without its feed", be16(19) + be16(2) + "abc\n", "line:2",
         " H table write h2 M3(2)"},
        {"record without framing", be16(19) + be16(2) + "a", "", " H table write h2 M4(0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string whole = run(c, {});
        EXPECT_EQ(whole, c.steps);
        std::vector<size_t> every;
        for (size_t cut = 1; cut < c.bytes.size(); ++cut) {
            EXPECT_EQ(run(c, {cut}), whole) << "cut at " << cut;
            every.push_back(cut);
        }
        EXPECT_EQ(run(c, every), whole) << "byte by byte";
    }
}

}  // namespace
}  // namespace gavo::wire
