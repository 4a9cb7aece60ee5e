// Pure text handling of the trace log's message lines.
#pragma once

#include <cstddef>

namespace gavo {

// A formatted message, its "\n" and the terminator share this many bytes.
constexpr size_t kTraceMessageSize = 512;

// The longest prefix of `text` (code page 936) that is at most `limit` bytes and does not
// end inside a double-byte character (lead byte 0x81 to 0xFE, then one trail byte).
inline size_t cp936_cut(const char* text, size_t length, size_t limit) {
    size_t end = 0;
    while (end < length) {
        unsigned char c = static_cast<unsigned char>(text[end]);
        size_t width = (c >= 0x81 && c <= 0xFE) ? 2 : 1;
        if (end + width > limit) break;
        end += width;
    }
    return end;
}

// Ends the message in `line` (a kTraceMessageSize buffer that vsnprintf filled, `length`
// being the length it wanted) with "\n". A message longer than the 510 bytes that fit is
// cut at the last whole character before the "\n".
inline void finish_trace_message(char* line, size_t length) {
    const size_t room = kTraceMessageSize - 2;
    if (length > room) length = cp936_cut(line, room, room);
    line[length] = '\n';
    line[length + 1] = '\0';
}

}  // namespace gavo
