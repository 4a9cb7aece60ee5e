#include "proto/codes.h"

namespace gavo {

namespace {

constexpr Meaning kMeanings[] = {
    {kCodeRefused, "refused"},
    {kCodeNoConnection, "no connection to the server"},
    {kCodeWaitFailed, "no reply from the server (waiting failed)"},
    {kCodeSendFailed, "no reply from the server (sending failed)"},
    {kCodeRecvFailed, "no reply from the server (receiving failed)"},
    {kCodePeerClosed, "connection closed by the server"},
    {kCodeNotSent, "sending to the server failed"},
    {kCodeNotFound, "not found"},
    {kCodeAccessDenied, "access denied"},
    {kCodeDirFull, "directory full"},
    {kCodeIoError, "input/output error"},
    {kCodeDiskFull, "disk full"},
    {kCodeBadPath, "bad path"},
    {kCodeMakeDirs, "folders could not be created"},
    {kCodeInitFailed, "library start-up failed"},
    {kCodeUnknownMode, "unknown working mode (CTRL_MODE in the INI file)"},
    {kCodeBadHandle, "not an open handle"},
    {kCodeHandleBusy, "handle in use on another thread"},
};

}  // namespace

const char* code_meaning(int code) {
    const char* other = code < 0 ? "error code of the file server" : "not an error code";
    return meaning_in(kMeanings, code, other);
}

}  // namespace gavo
