// The local back end of working mode 1: CNFile operations on files under base_dir,
// through the local file layer (nfile/cfile.h).
#include <cerrno>
#include <cstring>
#include <memory>

#include "include/GAVO_Client.h"
#include "net/messages.h"
#include "nfile/cfile.h"
#include "nfile/file_ops.h"
#include "proto/codes.h"
#include "proto/names.h"
#include "proto/open_mode.h"
#include "proto/os_error.h"
#include "runtime/report.h"
#include "runtime/state.h"

int CNFile::OpenFile(const char* name, unsigned int flags) {
    return NFileOps::OpenFileAny(*this, name, flags, false);
}

int CNFile::OpenFileEx(const char* name, unsigned int flags) {
    return NFileOps::OpenFileAny(*this, name, flags, true);
}

// Reports a failed local open: the log line carries the OS error number and the name
// as given, the object and the record (thrown when there is one) the library code.
int NFileOps::FailLocalOpen(CNFile& file, const char* where, int os_error, const char* name) {
    int code = nfile_map_os_error(os_error);
    file.m_nLastErrCode = code;
    NFile_LogError(where, os_error, name);
    return Refuse(file, code);
}

// Reports folders that could not be created: -108 in the log, the object and the
// record (thrown); an open without a record returns -1.
int NFileOps::FailMakeDirs(CNFile& file, const char* where) {
    file.m_nLastErrCode = NFile_LogError(where, gavo::kCodeMakeDirs, gavo::msg::kMakeDirsFailed);
    Refuse(file, file.m_nLastErrCode);
    return gavo::kCodeRefused;
}

int NFileOps::OpenFileAny(CNFile& file, const char* name, unsigned int flags, bool ex) {
    const char* where = ex ? "OpenFileEx" : "OpenFile";
    file.m_nOpenFlags = flags;  // kept when the open fails
    char full[kFullPathSize];
    // A path that does not fit is refused before any folder is created.
    if (!nfile_full_path(gavo::lib::base_dir, name, full, sizeof full))
        return FailLocalOpen(file, where, gavo::kWinFilenameTooLong, name);
    CFileException error;
    unsigned int mode = gavo::mode_word_from_open_flags(flags);
    std::unique_ptr<CFile> opened(new CFile);
    for (int retry = 0; !opened->Open(full, mode, &error); ++retry) {
        int os_error = static_cast<int>(error.m_lOsError);
        if (!nfile_is_path_failure(os_error) || (flags & gavo::kOpenCreate) == 0)
            return FailLocalOpen(file, where, os_error, name);
        if (nfile_make_dirs(full) != 0) return FailMakeDirs(file, where);
        if (retry == 1) return FailLocalOpen(file, where, os_error, name);
    }
    // A failing length query or seek throws CFileException*; the new file is then
    // destroyed and the object keeps its old file.
    int length = 0;
    if (ex) length = static_cast<int>(static_cast<uint32_t>(opened->GetLength()));
    if (gavo::open_flags_seek_to_end(flags)) opened->Seek(0, CFile::end);
    else if (ex) opened->Seek(0, CFile::begin);
    if (file.IsOpened()) file.CloseFile();
    file.m_pFile = opened.release();
    std::memcpy(file.m_szFilePathname, name, std::strlen(name) + 1);
    file.m_nOpenFlags = flags;
    return length;
}

// The dispatcher never calls these without a file; a null one fails like a closed handle.
unsigned int CNFile::ReadFile(void* buffer, unsigned int count) {
    if (m_pFile == nullptr) throw new CFileException(gavo::kWinInvalidHandle, m_szFilePathname);
    return m_pFile->Read(buffer, count);
}

void CNFile::WriteFile(const void* buffer, unsigned int count) {
    if (m_pFile == nullptr) throw new CFileException(gavo::kWinInvalidHandle, m_szFilePathname);
    m_pFile->Write(buffer, count);
}

// The object is closed afterwards even when the close throws: the file is destroyed.
void CNFile::CloseFile() {
    std::unique_ptr<CFile> file(m_pFile);
    m_pFile = nullptr;
    m_nOpenFlags = 0;
    std::memset(m_szFilePathname, 0, sizeof m_szFilePathname);
    if (file) file->Close();
}

// A null name, or one beyond the 499 characters an open can record, is refused with -1 by
// every operation in both working modes, before the file system is asked.
int CNFile::RenameFile(const char* oldName, const char* newName) {
    if (!gavo::name_fits(oldName) || !gavo::name_fits(newName))
        return NFile_LogError("RenameFile", gavo::kCodeRefused, gavo::msg::kBadName);
    char from[kFullPathSize], to[kFullPathSize];
    int os_error = 0;
    if (!nfile_full_path(gavo::lib::base_dir, oldName, from, sizeof from) ||
        !nfile_full_path(gavo::lib::base_dir, newName, to, sizeof to)) {
        os_error = gavo::kWinFilenameTooLong;
    } else {
        try {
            CFile::Rename(from, to);
            return 0;
        } catch (CFileException* e) {
            os_error = static_cast<int>(e->m_lOsError);
            delete e;
        }
    }
    NFile_LogError("RenameFile", os_error, gavo::msg::kCFileError);
    return nfile_map_os_error(os_error);
}

int CNFile::RemoveFile(const char* name) {
    if (!gavo::name_fits(name))
        return NFile_LogError("RemoveFile", gavo::kCodeRefused, gavo::msg::kBadName);
    char full[kFullPathSize];
    int code;
    if (!nfile_full_path(gavo::lib::base_dir, name, full, sizeof full)) {
        code = nfile_map_os_error(gavo::kWinFilenameTooLong);
    } else {
        try {
            CFile::Remove(full);
            return 0;
        } catch (CFileException* e) {
            code = nfile_map_os_error(static_cast<int>(e->m_lOsError));
            delete e;
        }
    }
    NFile_LogError("RemoveFile", code, gavo::msg::kCFileError);  // the library code
    return code;
}

// A full path that does not fit is refused like the other operations refuse it (-107):
// cutting it could test another file, and answering 0 would claim what was not tested.
// Only a missing entry answers 0; a lookup that failed otherwise (an I/O error, no access)
// leaves the answer unknown and is reported with its code rather than answered "no".
int CNFile::IsExistFile(const char* name) {
    if (!gavo::name_fits(name))
        return NFile_LogError("IsExistFile", gavo::kCodeRefused, gavo::msg::kBadName);
    char full[kFullPathSize];
    int code = nfile_map_os_error(gavo::kWinFilenameTooLong);
    if (nfile_full_path(gavo::lib::base_dir, name, full, sizeof full)) {
        int err = 0;
        if (CFile::Exists(full, &err)) return 1;
        if (err == ENOENT || err == ENOTDIR || err == ENAMETOOLONG) return 0;
        code = nfile_map_os_error(gavo::windows_error_from_errno(err, false));
    }
    return NFile_LogError("IsExistFile", code, name);
}
