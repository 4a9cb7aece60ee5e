// Fuzz target: sequences of requests on one connection. A small decoder turns the input
// into well-formed requests (names, flags and counts from dictionaries of interesting
// values or raw), with the handles that earlier opens returned carried into later
// requests, so the fuzzer reaches reads and writes of real files, closes of live
// handles, renames of open files and the handle limit. A few choices break the framing
// (unknown opcode, impossible count, request cut off); the server must then end the
// connection, and the sequence stops there.
//
// The session runs on the fuzzing thread: each request is written whole, served, and
// its reply read back. Besides the harness's invariants (see server_harness.h), every
// well-formed request must be answered, without the connection ending, by a reply of
// its request's shape: a handle or a negative code, a read count no
// larger than asked for, an existence answer of 1, 0 or a code.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzz/server_harness.h"
#include "fuzz/session_client.h"

using gavo::fuzz::be16;
using gavo::fuzz::be32;
using gavo::fuzz::Decoder;
using gavo::fuzz::die;
using gavo::fuzz::name_field;
using gavo::fuzz::WireExchange;

namespace {

constexpr int kMaxRequests = 32;

enum Kind {
    kOpen,
    kClose,
    kRead,
    kWrite,
    kOpenEx,
    kRename,
    kRemove,
    kExists,
    kTableOpen,
    kTableWrite,
    kTableClose,
    kList,
    kStat,
    kRmdir,
    kBreak,
    kKinds
};

const char* const kNames[] = {
    "a.txt",
    "b.txt",
    "d/b.txt",
    "d\\b.txt",
    "d/sub/n.txt",
    "new/deep/dir/f.txt",
    "./a.txt",
    "d/../a.txt",
    "..\\a.txt",
    "../canary/secret.txt",
    "out/secret.txt",
    "out",
    "secret",
    "d/abs",
    "fifo",
    "d",
    "d/sub",
    "/a.txt",
    "\\\\host\\share\\x",
    "C:\\a.txt",
    "c:a.txt",
    "a.txt/",
    "",
    "A.TXT",
    "d/./sub/../b.txt",
    "d/sub/..",
    "..",
    "x/../../a.txt",
    "d//b.txt",
    ("a\x01"
     "b"),
    "out/inner/new.txt",
    "d/abs/x",
};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

// Table names with the framing the harness's tables file gives them (0: line, else
// the fixed record size), then names the server refuses.
struct TableName {
    const char* name;
    size_t fixed;
};
const TableName kTables[] = {{"events", 0},   {"fixed8", 8}, {"other.t-1", 4}, {"x", 4},
                             {"bad name", 0}, {"", 0},       {"../events", 0}, {"a/b", 0}};
constexpr size_t kValidTables = 4;
constexpr size_t kTableCount = sizeof kTables / sizeof kTables[0];

const int kFlags[] = {0x01, 0x02, 0x03, 0x0A, 0x0B, 0x09, 0x06, 0x04, 0x0E,  0x11,  0x21,
                      0x41, 0x81, 0x2A, 0x12, 0x22, 0x42, 0x82, 0x00, 0x100, 0x200, 0xFFFF};
constexpr size_t kFlagCount = sizeof kFlags / sizeof kFlags[0];

// The data of every write: made before the first input, so no input seems to keep it.
const std::string kPattern = [] {
    std::string p(80 * 1024, '\0');
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>('a' + i % 26);
    return p;
}();

class Sequence {
public:
    Sequence(Decoder& in, WireExchange& wire, gavo::server::Session& session)
        : in_(in), wire_(wire), session_(session) {}

    // Runs requests until the input ends; false once the connection is over.
    bool step();

private:
    std::string name() {
        const uint8_t b = in_.byte();
        if (b < 0xE0) return kNames[b % kNameCount];
        if (b == 0xFE) return std::string(499, 'n');
        if (b == 0xFF) return std::string(500, 'm');
        return in_.bytes(in_.byte() % 32);  // raw bytes, zero-terminated by name_field
    }
    int flags() {
        const uint8_t b = in_.byte();
        return b < 0xF0 ? kFlags[b % kFlagCount] : in_.u16();
    }
    int handle() {
        const uint8_t b = in_.byte();
        if (b >= 0xF0 || handles_.empty()) return b >= 0xF8 ? in_.u16() : b & 0x0F;
        return handles_[b % handles_.size()];
    }
    int32_t read_count() {
        const uint8_t b = in_.byte();
        if (b < 0x80) return b;
        if (b < 0xF0) return (b - 0x80) * 700;  // up to 77 KiB: past the 64 KiB data step
        return in_.s32();
    }
    uint32_t write_count() {
        const uint8_t b = in_.byte();
        return b < 0xC0 ? b : (b - 0xC0) * 1200u;  // up to 75 KiB: past the data step
    }

    bool open(bool extended);
    bool close(int opcode);
    bool read();
    bool write();
    bool names(int opcode, int count);
    bool list();
    bool stat();
    bool table_open();
    bool table_write();
    void break_framing();
    // Sends a well-formed request (`request`, then `data_size` bytes of kPattern) and serves
    // it: the connection must stay up.
    void exchange(const std::string& request, size_t data_size = 0) {
        wire_.send(request.data(), request.size(), kPattern.data(), data_size);
        if (!session_.serve_next()) {
            die("server ended the connection on a well-formed request (opcode %d): %s",
                (static_cast<unsigned char>(request[0]) << 8) |
                    static_cast<unsigned char>(request[1]),
                session_.end_reason().c_str());
        }
    }
    // The reply's next `n` bytes must be there.
    void expect(size_t n, const char* what) {
        if (!wire_.need(n)) die("no complete reply to %s", what);
    }

    void send(const std::string& bytes) { wire_.send(bytes.data(), bytes.size()); }

    Decoder& in_;
    WireExchange& wire_;
    gavo::server::Session& session_;
    std::vector<int> handles_;
    std::map<int, size_t> tables_;  // table handles and their record size (0: line)
};

bool Sequence::step() {
    const auto kind = static_cast<uint8_t>(in_.byte() % kKinds);
    switch (kind) {
    case kOpen: return open(false);
    case kOpenEx: return open(true);
    case kClose: return close(2);
    case kRead: return read();
    case kWrite: return write();
    case kRename: return names(6, 2);
    case kRemove: return names(7, 1);
    case kExists: return names(8, 1);
    case kTableOpen: return table_open();
    case kTableWrite: return table_write();
    case kTableClose: return close(17);
    case kList: return list();
    case kStat: return stat();
    case kRmdir: return names(0x0103, 1);
    default: break_framing(); return false;
    }
}

bool Sequence::open(bool extended) {
    const int f = flags();
    exchange(be16(extended ? 5 : 1) + be16(f) + name_field(name()));
    expect(2, "an open");
    const int h = wire_.take16();
    if (h >= 0x8000) return true;  // a code
    if (extended) {
        expect(4, "an extended open");
        if (wire_.take32() < 0) die("extended open gave a negative length");
    }
    handles_.push_back(h);
    return true;
}

// Files and tables share one handle space: either close closes either.
bool Sequence::close(int opcode) {
    const int h = handle();
    exchange(be16(opcode) + be16(h));
    expect(2, "a close");
    if (wire_.take16() == 0) tables_.erase(h);  // a later write through it breaks framing
    return true;
}

bool Sequence::read() {
    const int h = handle();
    const int32_t count = read_count();
    exchange(be16(3) + be16(h) + be32(count));
    expect(4, "a read");
    const int32_t n = wire_.take32();
    if (n < 0) return true;
    if (n > count) die("read of %d bytes answered with %d", count, n);
    expect(static_cast<size_t>(n), "a read's data");
    wire_.drop(static_cast<size_t>(n));
    return true;
}

bool Sequence::write() {
    const int h = handle();
    const uint32_t count = write_count();
    exchange(be16(4) + be16(h) + be32(static_cast<int32_t>(count)), count);
    expect(4, "a write");
    const int32_t status = wire_.take32();
    if (status >= 0 && status != static_cast<int32_t>(count)) {
        die("write of %u bytes answered with %d", count, status);
    }
    return true;
}

bool Sequence::names(int opcode, int count) {
    std::string request = be16(opcode);
    for (int i = 0; i < count; ++i) request += name_field(name());
    exchange(request);
    expect(4, "a name request");
    const int32_t answer = wire_.take32();
    if (answer > (opcode == 8 ? 1 : 0)) die("opcode %d answered with %d", opcode, answer);
    return true;
}

// A page of a folder, or of a name that is none; the cursor is a name or raw bytes.
bool Sequence::list() {
    const uint8_t b = in_.byte();
    const std::string after = b < 0x80 ? "" : b < 0xC0 ? name() : in_.bytes(in_.byte() % 40);
    exchange(be16(0x0101) + name_field(name()) + name_field(after));
    expect(4, "a list");
    const int32_t n = wire_.take32();
    if (n < 0) return true;
    if (static_cast<size_t>(n) > gavo::wire::kListMaxEntries) die("list of %d entries", n);
    expect(2, "a list's more");
    wire_.drop(2);
    for (int32_t i = 0; i < n; ++i) {
        expect(gavo::wire::kEntryInfoBytes + 2, "a list entry");
        wire_.drop(gavo::wire::kEntryInfoBytes);
        const int length = wire_.take16();
        if (length < 2 || static_cast<size_t>(length) > gavo::wire::kEntryNameMax + 1) {
            die("list entry name of %d bytes", length);
        }
        expect(static_cast<size_t>(length), "a list entry's name");
        wire_.drop(static_cast<size_t>(length));
    }
    return true;
}

bool Sequence::stat() {
    exchange(be16(0x0102) + name_field(name()));
    expect(4, "a stat");
    if (wire_.take32() != 0) return true;
    expect(gavo::wire::kEntryInfoBytes, "a stat's entry");
    wire_.drop(gavo::wire::kEntryInfoBytes);
    return true;
}

bool Sequence::table_open() {
    const uint8_t b = in_.byte();
    const std::string name = b < 0xF0 ? kTables[b % kTableCount].name : in_.bytes(in_.byte() % 80);
    exchange(be16(16) + name_field(name));
    expect(2, "a table open");
    const int h = wire_.take16();
    if (h >= 0x8000) return true;
    if (b < 0xF0 && b % kTableCount >= kValidTables) die("table '%s' opened", name.c_str());
    handles_.push_back(h);
    // A raw name that opened is valid and framed as declared, or by the default.
    tables_[h] = name == "events" ? 0 : name == "fixed8" ? 8 : 4;
    return true;
}

// A record as the table frames it; a write through a handle that is not a table's
// cannot be framed and is left to break_framing.
bool Sequence::table_write() {
    if (tables_.empty()) return true;
    auto it = tables_.begin();
    std::advance(it, in_.byte() % tables_.size());
    const auto [h, fixed] = *it;
    const uint8_t b = in_.byte();
    const std::string record =
        fixed != 0 ? kPattern.substr(b, fixed) : kPattern.substr(b, b % 64) + "\n";
    exchange(be16(19) + be16(h) + record);
    expect(4, "a table write");
    const int32_t status = wire_.take32();
    // A closed handle is refused; a live one stores the record and counts its bytes.
    if (status >= 0 && status != static_cast<int32_t>(record.size())) {
        die("table write of %zu bytes answered with %d", record.size(), status);
    }
    return true;
}

// Sends something that cannot be kept in step with and ends the client's side; the
// caller then lets the server run to the connection's end.
void Sequence::break_framing() {
    switch (in_.byte() % 6) {
    case 4: send(be16(19) + be16(handle()) + in_.bytes(in_.byte() % 16)); break;  // framing?
    case 5: send(be16(16) + be16(in_.u16())); break;  // table name cut off
    case 0: send(be16(in_.u16() | 0x0200)); break;    // no such opcode
    case 1: send(be16(4) + be16(handle()) + be32(-1 - (in_.byte() & 0x7F))); break;
    case 2: send(be16(1) + be16(flags()) + be16(in_.u16())); break;  // name cut off
    default: send(be16(6) + name_field(name()) + be16(300) + "abc"); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& harness = gavo::fuzz::ServerHarness::get();
    const int fd = harness.begin(SOCK_STREAM);
    {
        Decoder in(data, size);
        WireExchange wire(fd);
        Sequence sequence(in, wire, harness.session());
        for (int i = 0; i < kMaxRequests && !in.done() && sequence.step(); ++i) {
        }
        ::shutdown(fd, SHUT_WR);
        harness.serve_to_end();
    }
    ::close(fd);
    harness.end("server_session");
    return 0;
}
