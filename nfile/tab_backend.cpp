// The log-channel back end of working mode 2: objects opened with exactly 0x100 or 0x200
// name a table on the server. Every operation is one request on log_conn under
// log_lock; opcodes: 16 open, 17 close, 19 write. Every failure writes the socket-error
// line before its report.
#include <climits>
#include <cstring>

#include "include/GAVO_Client.h"
#include "nfile/channel_request.h"
#include "nfile/file_ops.h"
#include "proto/wire.h"
#include "runtime/error_log.h"
#include "net/messages.h"
#include "runtime/state.h"

using gavo::ChannelRequest;
using gavo::step_detail;

namespace {

using namespace gavo::wire;

// Releases the lock and writes the socket-error line: the first part of every
// log-channel failure, before its report.
void end_failed(ChannelRequest& req) {
    req.release();
    NFile_LogSocketError();
}

}  // namespace

int CNFile::OpenTab(const char* name, unsigned int flags) {
    if (IsOpened()) Close();  // the close of whichever channel the object is on
    m_nOpenFlags = flags;     // kept even when the open fails
    ChannelRequest req(log_lock, log_conn);
    req.put_short(kOpTableOpen, 1);
    req.put_string(name, 3, 4);  // no flags: there is no step 2
    if (!req.sent()) {
        end_failed(req);
        return NFileOps::Fail(*this, "OpenTab", -100, step_detail(req.failed_step()));
    }
    int handle = req.get_signed_short();
    if (handle < 0) {
        end_failed(req);
        return NFileOps::Fail(*this, "OpenTab", handle, name);
    }
    req.release();
    m_nHandle = handle;
    std::strncpy(m_szFilePathname, name, sizeof m_szFilePathname - 1);
    return 0;
}

unsigned int CNFile::WriteTab(const void* buffer, unsigned int count) {
    if (buffer == nullptr || count > static_cast<unsigned int>(INT_MAX)) {
        NFile_LogSocketError();
        return NFileOps::Fail(*this, "WriteTab", -1, gavo::msg::kBadBuffer), 0;
    }
    ChannelRequest req(log_lock, log_conn);
    req.put_short(kOpTableWrite, 1);
    req.put_short(m_nHandle, 2);
    req.put_bytes(buffer, static_cast<int>(count), gavo::kDataStep);  // no count is sent
    if (!req.sent()) {
        end_failed(req);
        return NFileOps::Fail(*this, "WriteTab", -100, step_detail(req.failed_step())), 0;
    }
    int status = req.get_long();
    if (status < 0) {
        end_failed(req);
        return NFileOps::Fail(*this, "WriteTab", status, "4"), 0;
    }
    return count;
}

void CNFile::CloseTab() {
    ChannelRequest req(log_lock, log_conn);
    req.put_short(kOpTableClose, 1);
    req.put_short(m_nHandle, 2);
    int reply = req.sent() ? req.get_short() : -100;  // any value the server sends is success
    if (reply < 0) {
        end_failed(req);
        const char* detail = req.sent() ? "3" : step_detail(req.failed_step());
        m_nLastErrCode = NFile_LogError("CloseTab", reply, detail);  // never thrown
        return;
    }
    req.release();
    m_nHandle = -1;
    m_nOpenFlags = 0;
    std::memset(m_szFilePathname, 0, sizeof m_szFilePathname);
}
