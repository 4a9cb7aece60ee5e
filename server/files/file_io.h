// Taking back a write to an open file that failed or whose data stopped coming, so that
// the file does not keep the front of a request its client was told had failed. Calls go
// through sys() (whose read_full and write_all move the bytes).
#pragma once

#include <cstdint>

#include "server/files/files.h"

namespace gavo::server {

// Where a write began, for taking it back: the file's length and change count then, and
// the changes (chunks) the write has made since.
struct WriteStart {
    int64_t size = 0;
    uint64_t count = 0;
    uint64_t chunks = 0;
};

enum class Undo { kDone, kFailed, kKept, kKeptOutside };
// Why a take-back was kept (Undo::kKept, Undo::kKeptOutside), for the log.
constexpr const char* kKeptWhy = "another handle wrote to the file meanwhile";
constexpr const char* kKeptOutsideWhy =
    "the file changed outside this server meanwhile (another process may have written)";
inline const char* kept_why(Undo u) { return u == Undo::kKeptOutside ? kKeptOutsideWhy : kKeptWhy; }

// The file's length for a write about to begin: the one the server's changes left, or
// the length the last look at the file found after a change elsewhere. Its only look is
// the one the chunk completing the last write left due; a change elsewhere since then
// shows in the length after the write's first chunk, and the write is then not taken
// back. The caller holds the FileWrites mutex.
int64_t size_before_write(OpenFile& file) GAVO_REQUIRES(file.mutex, file.writes->mutex);

// Takes back the `written` bytes of a failed or cut-off write that began at `start`: the
// position returns to where the write began and the file to its length then (bytes it
// overwrote inside that length cannot be brought back; a file that now reaches past the
// write's end grew outside the server and is not cut). Kept (kKept) when another handle
// wrote to the file or cut it since the write began: its bytes may lie beyond the old
// length (an append acknowledged meanwhile), so the file then keeps everything; the same
// (kKeptOutside) when the file changed since the write's last chunk without this server,
// since another process's bytes may then lie anywhere in the part to cut; the same when
// the length after one of its chunks showed a change elsewhere. kFailed when
// the file's state could not be read (the bytes stay), or when the cut or the seek
// failed. The caller holds the file's mutex.
Undo take_back(OpenFile& file, const WriteStart& start, int64_t written) GAVO_REQUIRES(file.mutex);

}  // namespace gavo::server
