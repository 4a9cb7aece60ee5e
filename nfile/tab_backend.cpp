// The log-channel back end of working mode 2: objects opened with exactly
// kOpenTableWrite or kOpenTableNoAccess name a table on the server. Every operation is
// one request of proto/wire.h on log_conn under log_lock. Every failure writes the
// socket-error line before its report.
#include <climits>
#include <cstring>

#include "include/GAVO_Client.h"
#include "net/messages.h"
#include "nfile/channel_request.h"
#include "nfile/file_ops.h"
#include "proto/codes.h"
#include "proto/wire.h"
#include "runtime/error_log.h"
#include "runtime/report.h"
#include "runtime/state.h"

using gavo::ChannelRequest;
using gavo::kCodeNotSent;

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
    ChannelRequest req(gavo::lib::log_lock, gavo::lib::log_conn);
    if (!req.send(kOpTableOpen, {name})) {
        end_failed(req);
        return NFileOps::Fail(*this, "OpenTab", kCodeNotSent, req.failed_detail());
    }
    int handle = gavo::as_signed16(req.get_reply());
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
        return NFileOps::Fail(*this, "WriteTab", gavo::kCodeRefused, gavo::msg::kBadBuffer), 0;
    }
    ChannelRequest req(gavo::lib::log_lock, gavo::lib::log_conn);
    // No count is sent: the table's framing delimits the record.
    if (!req.send(kOpTableWrite, {m_nHandle, {buffer, static_cast<int>(count)}})) {
        end_failed(req);
        return NFileOps::Fail(*this, "WriteTab", kCodeNotSent, req.failed_detail()), 0;
    }
    int status = req.get_reply();
    if (status < 0) {
        end_failed(req);
        return NFileOps::Fail(*this, "WriteTab", status, req.reply_detail()), 0;
    }
    return count;
}

void CNFile::CloseTab() {
    ChannelRequest req(gavo::lib::log_lock, gavo::lib::log_conn);
    bool sent = req.send(kOpTableClose, {m_nHandle});
    int reply = sent ? req.get_reply() : kCodeNotSent;  // any value the server sends is success
    if (reply < 0) {
        end_failed(req);
        const char* detail = sent ? req.reply_detail() : req.failed_detail();
        m_nLastErrCode = NFile_LogError("CloseTab", reply, detail);  // never thrown
        return;
    }
    req.release();
    m_nHandle = -1;
    m_nOpenFlags = 0;
    std::memset(m_szFilePathname, 0, sizeof m_szFilePathname);
}
