// The replies of the listing requests, this server's extension of the archive channel
// (wire.h: kOpList, kOpStat, kOpRemoveFolder).
//
//   list FOLDER AFTER  The entries of FOLDER ("" or "/" for the root) whose names sort
//                      after AFTER byte by byte, in that order; AFTER "" starts at the
//                      first. Reply: entry count (32; or a negative code and nothing more),
//                      more (16: 1 when entries follow this page: ask again with AFTER set
//                      to its last name), then the entries. A page holds at most
//                      kListMaxEntries entries, so one reply is at most kListMaxReply bytes.
//   stat NAME          Reply: 0 (32) then NAME's entry without the name; or a code (32).
//   rmdir NAME         Removes the empty folder NAME. Reply: 0 or a code (32).
//
// An entry: kind (16), size (64), modification time (64, seconds since 1970 UTC, signed),
// name (16-bit length counting its zero, the bytes, the zero). Names are the bytes the
// file system holds, control characters included. Only regular files (with one link,
// unless the server allows more) and folders carry a size and a time; anything the server
// will not open (a link, a device, a FIFO, a socket, a file with several links) is kOther
// with both 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/codec.h"

namespace gavo::wire {

enum class EntryKind : int { kFile = 1, kFolder = 2, kOther = 3 };

// What a stat or a listing tells of one entry.
struct EntryInfo {
    EntryKind kind = EntryKind::kOther;
    int64_t size = 0;
    int64_t mtime = 0;
};

constexpr size_t kListMaxEntries = 1024;
constexpr size_t kEntryInfoBytes = 18;  // kind, size, time
constexpr size_t kEntryNameMax = 255;   // a file system's longest component (NAME_MAX)
constexpr size_t kListHeadBytes = 6;    // count, more
constexpr size_t kListMaxReply =
    kListHeadBytes + kListMaxEntries * (kEntryInfoBytes + 2 + kEntryNameMax + 1);

inline void encode_entry_info(unsigned char* out, const EntryInfo& e) {
    codec::put16(out, static_cast<int>(e.kind));
    codec::put64(out + 2, static_cast<uint64_t>(e.size));
    codec::put64(out + 10, static_cast<uint64_t>(e.mtime));
}

// An unknown kind reads as kOther.
inline EntryInfo decode_entry_info(const unsigned char* in) {
    EntryInfo e;
    const int kind = codec::get16(in);
    e.kind = kind == 1 ? EntryKind::kFile : kind == 2 ? EntryKind::kFolder : EntryKind::kOther;
    e.size = static_cast<int64_t>(codec::get64(in + 2));
    e.mtime = static_cast<int64_t>(codec::get64(in + 10));
    return e;
}

inline void encode_list_head(unsigned char* out, int32_t count, bool more) {
    codec::put32(out, count);
    codec::put16(out + 4, more ? 1 : 0);
}

}  // namespace gavo::wire
