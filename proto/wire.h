// The wire's messages: each request's opcode (its first 16-bit field), the fields that
// follow it, and the shape of its reply. Both ends build on this one description: the
// library's request senders and reply readers, and the server's request decoder and
// reply encoder. Archive-channel requests are 1-8, log-channel requests 16-19. The
// listing requests (0x0101-0x0103) are this server's extension of the archive channel:
// hosts built against the reference never send them, and a server without them closes
// the connection at their opcode as at any unknown one (proto/listing.h has their
// replies).
//
// Integers are big-endian (proto/codec.h). A name is a 16-bit length counting its
// terminating zero, then the bytes with the zero. Write data is counted by the 32-bit
// field before it; a table record carries no length: the table's framing (a line ending
// in '\n', or a fixed byte count) delimits it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gavo::wire {

enum Opcode : uint16_t {
    kOpOpen = 1,
    kOpClose = 2,
    kOpRead = 3,
    kOpWrite = 4,
    kOpOpenEx = 5,
    kOpRename = 6,
    kOpRemove = 7,
    kOpExists = 8,
    kOpTableOpen = 16,
    kOpTableClose = 17,
    kOpTableWrite = 19,
    kOpList = 0x0101,
    kOpStat = 0x0102,
    kOpRemoveFolder = 0x0103,
};

// One field of a request after its opcode.
enum class Field : uint8_t {
    kShort,   // 16-bit unsigned: open flags, handle
    kLong,    // 32-bit signed: byte count
    kName,    // 16-bit length with the zero, then the bytes with the zero
    kData,    // as many bytes as the kLong before it says
    kRecord,  // one table record, delimited by the table's framing
};

// The shape of a reply.
enum class Reply : uint8_t {
    kShort,            // 16-bit: handle or 0, or a negative code
    kLong,             // 32-bit: count or answer, or a negative code
    kHandleAndLength,  // 16-bit handle then the file's 32-bit length; or a 16-bit code
    kCountAndData,     // 32-bit count then that many bytes; or a 32-bit code
    kListing,          // 32-bit entry count, 16-bit "more follow", the entries; or a code
    kStat,             // 32-bit 0 then one entry without its name; or a 32-bit code
};

struct Message {
    Opcode op;
    const char* name;  // for log lines
    Field fields[3];
    size_t field_count;
    Reply reply;
};

inline constexpr Message kMessages[] = {
    {kOpOpen, "open", {Field::kShort, Field::kName}, 2, Reply::kShort},
    {kOpClose, "close", {Field::kShort}, 1, Reply::kShort},
    {kOpRead, "read", {Field::kShort, Field::kLong}, 2, Reply::kCountAndData},
    {kOpWrite, "write", {Field::kShort, Field::kLong, Field::kData}, 3, Reply::kLong},
    {kOpOpenEx, "open-ex", {Field::kShort, Field::kName}, 2, Reply::kHandleAndLength},
    {kOpRename, "rename", {Field::kName, Field::kName}, 2, Reply::kLong},
    {kOpRemove, "remove", {Field::kName}, 1, Reply::kLong},
    {kOpExists, "exists", {Field::kName}, 1, Reply::kLong},
    {kOpTableOpen, "table open", {Field::kName}, 1, Reply::kShort},
    {kOpTableClose, "close", {Field::kShort}, 1, Reply::kShort},
    {kOpTableWrite, "table write", {Field::kShort, Field::kRecord}, 2, Reply::kLong},
    // Folder, then the name after which the page begins ("" for the first page).
    {kOpList, "list", {Field::kName, Field::kName}, 2, Reply::kListing},
    {kOpStat, "stat", {Field::kName}, 1, Reply::kStat},
    {kOpRemoveFolder, "rmdir", {Field::kName}, 1, Reply::kLong},
};

// The description of opcode `op`; null for an opcode no end knows.
constexpr const Message* find_message(int op) {
    for (const Message& m : kMessages) {
        if (m.op == op) return &m;
    }
    return nullptr;
}

}  // namespace gavo::wire
