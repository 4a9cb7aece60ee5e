// The library's result codes. An operation returns 0 or a count for success and a
// negative code for failure; the host sees these codes, and any negative code the file
// server sends, unchanged. The library, the server and the gavo tool all name the codes
// through this enum and describe them through code_meaning(), the one table of meanings.
#pragma once

#include <cstddef>

namespace gavo {

enum ResultCode : int {
    kCodeRefused = -1,         // refused (mode, count, name, flags, limits, sharing), or a
                               // local error that has no code of its own
    kCodeNoConnection = -50,   // the channel has no connection
    kCodeWaitFailed = -51,     // the readiness wait before a receive or a send failed
    kCodeSendFailed = -52,     // a send of buffered output failed
    kCodeRecvFailed = -53,     // a receive failed
    kCodePeerClosed = -54,     // the server closed the connection before the reply was whole
    kCodeNotSent = -100,       // a request failed while being sent; reporting it reconnects
    kCodeNotFound = -102,      // also: a handle the server does not know
    kCodeAccessDenied = -103,  // also: read-only server, wrong access of a handle
    kCodeDirFull = -104,
    kCodeIoError = -105,  // hardware input/output error
    kCodeDiskFull = -106,
    kCodeBadPath = -107,      // also: names the server refuses
    kCodeMakeDirs = -108,     // the folders of a new file could not be created
    kCodeInitFailed = -200,   // NFile_Init failed
    kCodeUnknownMode = -201,  // CTRL_MODE is neither 1 nor 2
    kCodeBadHandle = -300,    // C interface: not a handle that is open now
    kCodeHandleBusy = -301,   // C interface: the handle is in use on another thread
};

// A short description of `code` in English, e.g. "not found" for -102. Any other
// negative value is described as a code of the file server's own, and a value of 0 or
// more as no error code. Never null.
const char* code_meaning(int code);

// One row of a table of meanings: a number and its short description.
struct Meaning {
    long value;
    const char* text;
};

// The text of `value` in `table`, or `fallback` when no row has it.
template <size_t N>
const char* meaning_in(const Meaning (&table)[N], long value, const char* fallback) {
    for (const Meaning& row : table) {
        if (row.value == value) return row.text;
    }
    return fallback;
}

}  // namespace gavo
