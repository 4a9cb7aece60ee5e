#include "runtime/report.h"

#include "net/messages.h"
#include "proto/codes.h"
#include "runtime/error_log.h"
#include "runtime/reconnect.h"
#include "runtime/state.h"

namespace lib = gavo::lib;

int NFile_LogError(const char* where, int code, const char* detail) {
    if (code == gavo::kCodeNotSent) {
        // The reconnection runs before the line is written and without the writer's
        // lock, which it must not hold for the seconds it can take.
        int mode = lib::fsmode.load();
        if (mode == lib::kModeRemote) nfile_reconnect();
        else nfile_log_text(gavo::msg::kNoReconnect, mode);
    }
    return nfile_write_report(where, code, detail);
}
