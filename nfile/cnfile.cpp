// CNFile: the file object, its failure rule and the dispatch of every operation to a
// back end by working mode and open flags. The back ends live in local_backend.cpp,
// net_backend.cpp and tab_backend.cpp.
#include <cstdlib>
#include <cstring>

#include "include/GAVO_Client.h"
#include "net/messages.h"
#include "nfile/file_ops.h"
#include "proto/codes.h"
#include "proto/names.h"
#include "proto/open_mode.h"
#include "runtime/report.h"
#include "runtime/state.h"

namespace lib = gavo::lib;

CNFileException::CNFileException() : m_nErrCode(0) {}
CNFileException::~CNFileException() {}
void CNFileException::SetErrCode(int code) { m_nErrCode = code; }
int CNFileException::GetErrCode() { return m_nErrCode; }
CNFileException& CNFileException::operator=(const CNFileException& other) {
    m_nErrCode = other.m_nErrCode;
    return *this;
}

CNFile::CNFile()
    : m_pException(nullptr),
      m_nLastErrCode(0),
      m_nOpenFlags(0),
      m_pFile(nullptr),
      m_nHandle(-1),
      m_pBuffer(nullptr) {
    std::memset(m_szFilePathname, 0, sizeof m_szFilePathname);
}

// A copy never shares an open file or m_pBuffer with its source: it is made closed,
// keeping the record, the last code, the flags and the name.
CNFile::CNFile(const CNFile& other) : CNFile() {
    m_pException = other.m_pException;
    m_nLastErrCode = other.m_nLastErrCode;
    m_nOpenFlags = other.m_nOpenFlags;
    std::memcpy(m_szFilePathname, other.m_szFilePathname, sizeof m_szFilePathname);
}

CNFile& CNFile::operator=(const CNFile& other) {
    if (this == &other) return *this;
    if (IsOpened()) Close();
    std::free(m_pBuffer);
    m_pBuffer = nullptr;
    m_pFile = nullptr;
    m_nHandle = -1;
    m_pException = other.m_pException;
    m_nLastErrCode = other.m_nLastErrCode;
    m_nOpenFlags = other.m_nOpenFlags;
    std::memcpy(m_szFilePathname, other.m_szFilePathname, sizeof m_szFilePathname);
    return *this;
}

CNFile::~CNFile() {
    std::free(m_pBuffer);
    m_pBuffer = nullptr;
    if (!IsOpened()) return;
    try {
        Close();
    } catch (CFileException* e) {
        // A destructor must not throw; a local close failure has nowhere to go.
        delete e;
    }
}

int NFileOps::Fail(CNFile& file, const char* where, int code, const char* detail) {
    code = NFile_LogError(where, code, detail);
    file.m_nLastErrCode = code;
    return Refuse(file, code);
}

// Throws the record with `code`, or returns the code, without a log line or a change of
// m_nLastErrCode: the refusals of an open before any back end is chosen.
int NFileOps::Refuse(CNFile& file, int code) {
    if (file.m_pException != nullptr) {
        file.m_pException->SetErrCode(code);
        throw file.m_pException;
    }
    return code;
}

int CNFile::Open(const char* name, unsigned int flags, CNFileException* record) {
    return NFileOps::OpenAny(*this, name, flags, record, false);
}

int CNFile::OpenEx(const char* name, unsigned int flags, CNFileException* record) {
    return NFileOps::OpenAny(*this, name, flags, record, true);
}

int NFileOps::OpenAny(CNFile& file, const char* name, unsigned int flags, CNFileException* record,
                      bool ex) {
    const char* where = ex ? "OpenEx" : "Open";
    file.m_pException = record;
    if (NFile_Init(nullptr) == 0) return Refuse(file, gavo::kCodeInitFailed);
    int mode = lib::fsmode.load();
    if (mode != lib::kModeLocal && mode != lib::kModeRemote)
        return Refuse(file, gavo::kCodeRefused);
    if (!gavo::name_fits(name)) return Fail(file, where, gavo::kCodeRefused, gavo::msg::kBadName);
    if (gavo::is_table_flags(flags)) {
        if (mode == lib::kModeLocal) {
            return NFile_LogError(where, gavo::kCodeRefused, gavo::msg::kNoRemoteDatabase);
        }
        return file.OpenTab(name, flags);
    }
    if (mode == lib::kModeLocal)
        return ex ? file.OpenFileEx(name, flags) : file.OpenFile(name, flags);
    return ex ? file.OpenNetEx(name, flags) : file.OpenNet(name, flags);
}

unsigned int CNFile::Read(void* buffer, unsigned int count) {
    const char* refusal = nullptr;
    if ((m_nOpenFlags & gavo::kOpenRead) == 0) refusal = gavo::msg::kReadModeError;
    else if (count == 0) refusal = gavo::msg::kReadZeroBytes;
    int mode = lib::fsmode.load();
    // Opened on the server before a fall-back, or a failed local open: no file.
    if (refusal == nullptr && mode == lib::kModeLocal && m_pFile == nullptr)
        refusal = gavo::msg::kNoLocalFile;
    if (refusal != nullptr) return NFileOps::Fail(*this, "Read", gavo::kCodeRefused, refusal), 0;
    if (mode == lib::kModeLocal) return ReadFile(buffer, count);
    if (mode == lib::kModeRemote) return ReadNet(buffer, count);
    return 0;
}

namespace {

bool may_write(unsigned int flags) {
    return (flags & (gavo::kOpenWrite | gavo::kOpenAppend)) != 0 || flags == gavo::kOpenTableWrite;
}

}  // namespace

void CNFile::Write(const void* buffer, unsigned int count) {
    NFileOps::WriteAny(*this, buffer, count, "Write");
}

unsigned int CNFile::WriteEx(const void* buffer, unsigned int count) {
    return NFileOps::WriteAny(*this, buffer, count, "WriteEx");
}

unsigned int NFileOps::WriteAny(CNFile& file, const void* buffer, unsigned int count,
                                const char* where) {
    const char* refusal = nullptr;
    if (!may_write(file.m_nOpenFlags)) refusal = gavo::msg::kWriteModeError;
    else if (count == 0) refusal = gavo::msg::kWriteZeroBytes;
    int mode = lib::fsmode.load();
    if (refusal == nullptr && mode == lib::kModeLocal && file.m_pFile == nullptr)
        refusal = gavo::msg::kNoLocalFile;
    if (refusal != nullptr) return Fail(file, where, gavo::kCodeRefused, refusal), 0;
    if (mode == lib::kModeLocal) {
        file.WriteFile(buffer, count);
        return count;
    }
    if (mode == lib::kModeRemote) {
        return file.m_nOpenFlags == gavo::kOpenTableWrite ? file.WriteTab(buffer, count)
                                                          : file.WriteNet(buffer, count);
    }
    return 0;
}

void CNFile::Close() {
    int mode = lib::fsmode.load();
    if (mode == lib::kModeLocal) {
        CloseFile();
        // A handle left from before a fall-back to working mode 1 cannot be closed on a
        // server any more; forget it so that the object counts as closed.
        m_nHandle = -1;
    } else if (mode == lib::kModeRemote) {
        // A kOpenTableNoAccess object holds a log-channel handle: close it on the log
        // channel, never with an archive-channel close that could hit an unrelated file's
        // handle.
        if (gavo::is_table_flags(m_nOpenFlags)) CloseTab();
        else CloseNet();
    }
}

uint64_t CNFile::Seek(int64_t, unsigned int) { return 0; }
uint64_t CNFile::GetPosition() const { return 0; }

int CNFile::IsLoading() const { return (m_nOpenFlags & gavo::kOpenRead) ? 1 : 0; }
int CNFile::IsStoring() const { return may_write(m_nOpenFlags) ? 1 : 0; }
int CNFile::IsOpened() const { return (m_pFile != nullptr || m_nHandle >= 0) ? 1 : 0; }
const char* CNFile::GetFilePathname() const { return m_szFilePathname; }

int CNFile::Rename(const char* oldName, const char* newName) {
    if (NFile_Init(nullptr) == 0) return gavo::kCodeInitFailed;
    int mode = lib::fsmode.load();
    if (mode != lib::kModeLocal && mode != lib::kModeRemote) return gavo::kCodeUnknownMode;
    return mode == lib::kModeLocal ? RenameFile(oldName, newName) : RenameNet(oldName, newName);
}

int CNFile::Remove(const char* name) {
    if (NFile_Init(nullptr) == 0) return gavo::kCodeInitFailed;
    int mode = lib::fsmode.load();
    if (mode != lib::kModeLocal && mode != lib::kModeRemote) return gavo::kCodeUnknownMode;
    return mode == lib::kModeLocal ? RemoveFile(name) : RemoveNet(name);
}

int CNFile::IsExist(const char* name) {
    if (NFile_Init(nullptr) == 0) return gavo::kCodeInitFailed;
    int mode = lib::fsmode.load();
    if (mode != lib::kModeLocal && mode != lib::kModeRemote) return gavo::kCodeUnknownMode;
    return mode == lib::kModeLocal ? IsExistFile(name) : IsExistNet(name);
}
