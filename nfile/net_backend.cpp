// The archive-channel back end of working mode 2: every operation is one request on
// archive_conn under archive_lock, held from the first field sent to the last reply
// byte read. The requests and their replies are those of proto/wire.h.
#include <climits>
#include <cstring>
#include <initializer_list>

#include "include/GAVO_Client.h"
#include "net/messages.h"
#include "nfile/channel_request.h"
#include "nfile/file_ops.h"
#include "proto/codes.h"
#include "proto/names.h"
#include "proto/open_mode.h"
#include "proto/wire.h"
#include "runtime/report.h"
#include "runtime/state.h"

using gavo::ChannelRequest;
using gavo::FieldValue;
using gavo::kCodeNotSent;
using gavo::kCodeRefused;

namespace {

using namespace gavo::wire;

// The open flags travel as their low 16 bits.
int flags_field(unsigned int flags) { return static_cast<int>(flags & 0xFFFF); }

// A request carrying names only (rename, remove, exists), answered by a 32-bit value.
// Returns the answer; negative answers and failed sends are reported under `where`.
int request_names(const char* where, Opcode op, std::initializer_list<FieldValue> names) {
    for (const FieldValue& name : names) {
        if (!gavo::name_fits(name.text)) {
            return NFile_LogError(where, kCodeRefused, gavo::msg::kBadName);
        }
    }
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(op, names)) {
        req.release();
        return NFile_LogError(where, kCodeNotSent, req.failed_detail());
    }
    int answer = req.get_reply();
    req.release();
    if (answer < 0) return NFile_LogError(where, answer, req.reply_detail());
    return answer;
}

// Counts travel as signed 32 bits and net_read/net_write take an int.
bool transfer_fits(const void* buffer, unsigned int count) {
    return buffer != nullptr && count <= static_cast<unsigned int>(INT_MAX);
}

}  // namespace

int CNFile::OpenNet(const char* name, unsigned int flags) {
    // A failing close does not stop the open. A table object's handle belongs to the
    // log channel: closing it on the archive channel could close another file there.
    if (IsOpened()) {
        if (gavo::is_table_flags(m_nOpenFlags)) CloseTab();
        else CloseNet();
    }
    m_nOpenFlags = flags;  // kept even when the open fails
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(kOpOpen, {flags_field(flags), name})) {
        req.release();
        return NFileOps::Fail(*this, "OpenNet", kCodeNotSent, req.failed_detail());
    }
    int handle = gavo::as_signed16(req.get_reply());
    req.release();
    if (handle < 0) return NFileOps::Fail(*this, "OpenNet", handle, name);
    m_nHandle = handle;
    std::strncpy(m_szFilePathname, name, sizeof m_szFilePathname - 1);
    return 0;
}

int CNFile::OpenNetEx(const char* name, unsigned int flags) {
    if (IsOpened()) Close();  // the close of whichever channel the object is on
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(kOpOpenEx, {flags_field(flags), name})) {
        req.release();
        return NFileOps::Fail(*this, "OpenNetEx", kCodeNotSent, req.failed_detail());
    }
    int handle = gavo::as_signed16(req.get_reply());
    if (handle < 0) {
        req.release();
        return NFileOps::Fail(*this, "OpenNetEx", handle, name);
    }
    // The length is returned as the server sent it, like the local length. When it does
    // not arrive the open has failed: the server's handle is lost with the connection.
    int length = 0;
    bool arrived = req.get_any_long(length);
    req.release();
    if (!arrived) return NFileOps::Fail(*this, "OpenNetEx", length, name);
    m_nHandle = handle;
    m_nOpenFlags = flags;  // recorded only once the open succeeded
    std::strncpy(m_szFilePathname, name, sizeof m_szFilePathname - 1);
    return length;
}

unsigned int CNFile::ReadNet(void* buffer, unsigned int count) {
    if (!transfer_fits(buffer, count)) {
        return NFileOps::Fail(*this, "ReadNet", kCodeRefused, gavo::msg::kBadBuffer), 0;
    }
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(kOpRead, {m_nHandle, static_cast<int>(count)})) {
        req.release();
        return NFileOps::Fail(*this, "ReadNet", kCodeNotSent, req.failed_detail()), 0;
    }
    int announced = req.get_reply();
    if (announced < 0) {
        req.release();
        return NFileOps::Fail(*this, "ReadNet", announced, req.reply_detail()), 0;
    }
    if (static_cast<unsigned int>(announced) > count) {
        // More than the buffer holds: read the surplus off the channel so that the next
        // request reads its own reply, and fail rather than write past the buffer.
        req.drop_bytes(announced);
        req.release();
        return NFileOps::Fail(*this, "ReadNet", kCodeRefused, gavo::msg::kReplyTooLong), 0;
    }
    int got = req.get_bytes(buffer, announced);
    req.release();
    if (got < 0) return NFileOps::Fail(*this, "ReadNet", got, gavo::msg::kTransferFailed), 0;
    return static_cast<unsigned int>(got);  // fewer than announced when the peer closed
}

unsigned int CNFile::WriteNet(const void* buffer, unsigned int count) {
    if (!transfer_fits(buffer, count)) {
        return NFileOps::Fail(*this, "WriteNet", kCodeRefused, gavo::msg::kBadBuffer), 0;
    }
    int length = static_cast<int>(count);
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    if (!req.send(kOpWrite, {m_nHandle, length, {buffer, length}})) {
        req.release();
        return NFileOps::Fail(*this, "WriteNet", kCodeNotSent, req.failed_detail()), 0;
    }
    int status = req.get_reply();
    req.release();
    if (status < 0) return NFileOps::Fail(*this, "WriteNet", status, req.reply_detail()), 0;
    return count;
}

void CNFile::CloseNet() {
    ChannelRequest req(gavo::lib::archive_lock, gavo::lib::archive_conn);
    // An object without a handle sends 0xFFFF.
    if (!req.send(kOpClose, {m_nHandle})) {
        req.release();
        m_nLastErrCode = NFile_LogError("CloseNet", kCodeNotSent, req.failed_detail());
        return;  // never thrown; the object stays open
    }
    int reply = req.get_reply();  // any value the server sends is success
    req.release();
    if (reply < 0) {
        m_nLastErrCode = NFile_LogError("CloseNet", reply, req.reply_detail());
        return;
    }
    m_nHandle = -1;
    m_nOpenFlags = 0;
    std::memset(m_szFilePathname, 0, sizeof m_szFilePathname);
}

int CNFile::RenameNet(const char* oldName, const char* newName) {
    int status = request_names("RenameNet", kOpRename, {oldName, newName});
    return status < 0 ? status : 0;
}

int CNFile::RemoveNet(const char* name) {
    int status = request_names("RemoveNet", kOpRemove, {name});
    return status < 0 ? status : 0;
}

// The host is promised 1, 0 or a code: any other positive answer means "exists", as
// any positive status of a rename or remove means success.
int CNFile::IsExistNet(const char* name) {
    int answer = request_names("IsExistNet", kOpExists, {name});
    return answer > 1 ? 1 : answer;
}
