// The archive-channel back end of working mode 2: every operation is one request on
// archive_conn under archive_lock, held from the first field sent to the last reply
// byte read. Opcodes: 1 open, 2 close, 3 read, 4 write, 5 extended open, 6 rename,
// 7 remove, 8 exists.
#include <climits>
#include <cstring>
#include <initializer_list>

#include "include/GAVO_Client.h"
#include "nfile/channel_request.h"
#include "nfile/file_ops.h"
#include "proto/names.h"
#include "proto/wire.h"
#include "runtime/error_log.h"
#include "net/messages.h"
#include "runtime/state.h"

using gavo::ChannelRequest;
using gavo::step_detail;

namespace {

using namespace gavo::wire;

// Sends the fields of an open request: opcode, low 16 bits of the flags, path.
void put_open(ChannelRequest& req, int opcode, unsigned int flags, const char* name) {
    req.put_short(opcode, 1);
    req.put_short(static_cast<int>(flags & 0xFFFF), 2);
    req.put_string(name, 3, 4);
}

// A request carrying names only (rename, remove, exists): the opcode as step 1, each
// name's length and bytes as the next two steps, then the 32-bit answer, whose failure
// detail is the step after the last name. Returns the answer; negative answers and
// failed sends are reported under `where`.
int request_names(const char* where, int opcode, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!gavo::name_fits(name)) return NFile_LogError(where, -1, gavo::msg::kBadName);
    }
    ChannelRequest req(archive_lock, archive_conn);
    req.put_short(opcode, 1);
    int step = 2;
    for (const char* name : names) {
        req.put_string(name, step, step + 1);
        step += 2;
    }
    if (!req.sent()) {
        req.release();
        return NFile_LogError(where, -100, step_detail(req.failed_step()));
    }
    int answer = req.get_long();
    req.release();
    if (answer < 0) return NFile_LogError(where, answer, step_detail(step));
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
        if (m_nOpenFlags == 0x100 || m_nOpenFlags == 0x200) CloseTab();
        else CloseNet();
    }
    m_nOpenFlags = flags;  // kept even when the open fails
    ChannelRequest req(archive_lock, archive_conn);
    put_open(req, kOpOpen, flags, name);
    if (!req.sent()) {
        req.release();
        return NFileOps::Fail(*this, "OpenNet", -100, step_detail(req.failed_step()));
    }
    int handle = req.get_signed_short();
    req.release();
    if (handle < 0) return NFileOps::Fail(*this, "OpenNet", handle, name);
    m_nHandle = handle;
    std::strncpy(m_szFilePathname, name, sizeof m_szFilePathname - 1);
    return 0;
}

int CNFile::OpenNetEx(const char* name, unsigned int flags) {
    if (IsOpened()) Close();  // the close of whichever channel the object is on
    ChannelRequest req(archive_lock, archive_conn);
    put_open(req, kOpOpenEx, flags, name);
    if (!req.sent()) {
        req.release();
        return NFileOps::Fail(*this, "OpenNetEx", -100, step_detail(req.failed_step()));
    }
    int handle = req.get_signed_short();
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
        return NFileOps::Fail(*this, "ReadNet", -1, gavo::msg::kBadBuffer), 0;
    }
    ChannelRequest req(archive_lock, archive_conn);
    req.put_short(kOpRead, 1);
    req.put_short(m_nHandle, 2);
    req.put_long(static_cast<int>(count), 3);
    if (!req.sent()) {
        req.release();
        return NFileOps::Fail(*this, "ReadNet", -100, step_detail(req.failed_step())), 0;
    }
    int announced = req.get_long();
    if (announced < 0) {
        req.release();
        return NFileOps::Fail(*this, "ReadNet", announced, "4"), 0;
    }
    if (static_cast<unsigned int>(announced) > count) {
        // More than the buffer holds: read the surplus off the channel so that the next
        // request reads its own reply, and fail rather than write past the buffer.
        req.drop_bytes(announced);
        req.release();
        return NFileOps::Fail(*this, "ReadNet", -1, gavo::msg::kReplyTooLong), 0;
    }
    int got = req.get_bytes(buffer, announced);
    req.release();
    if (got < 0) return NFileOps::Fail(*this, "ReadNet", got, gavo::msg::kTransferFailed), 0;
    return static_cast<unsigned int>(got);  // fewer than announced when the peer closed
}

unsigned int CNFile::WriteNet(const void* buffer, unsigned int count) {
    if (!transfer_fits(buffer, count)) {
        return NFileOps::Fail(*this, "WriteNet", -1, gavo::msg::kBadBuffer), 0;
    }
    ChannelRequest req(archive_lock, archive_conn);
    req.put_short(kOpWrite, 1);
    req.put_short(m_nHandle, 2);
    req.put_long(static_cast<int>(count), 3);
    req.put_bytes(buffer, static_cast<int>(count), gavo::kDataStep);
    if (!req.sent()) {
        req.release();
        return NFileOps::Fail(*this, "WriteNet", -100, step_detail(req.failed_step())), 0;
    }
    int status = req.get_long();
    req.release();
    if (status < 0) return NFileOps::Fail(*this, "WriteNet", status, "4"), 0;
    return count;
}

void CNFile::CloseNet() {
    ChannelRequest req(archive_lock, archive_conn);
    req.put_short(kOpClose, 1);
    req.put_short(m_nHandle, 2);  // an object without a handle sends 0xFFFF
    if (!req.sent()) {
        req.release();
        m_nLastErrCode = NFile_LogError("CloseNet", -100, step_detail(req.failed_step()));
        return;  // never thrown; the object stays open
    }
    int reply = req.get_short();  // any value the server sends is success
    req.release();
    if (reply < 0) {
        m_nLastErrCode = NFile_LogError("CloseNet", reply, "3");
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
