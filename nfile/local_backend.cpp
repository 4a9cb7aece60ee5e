// The local back end of working mode 1.
// TODO(working mode 1 issue): the local file layer and these operations.
#include <cstring>

#include "include/GAVO_Client.h"

int CNFile::OpenFile(const char*, unsigned int flags) {
    m_nOpenFlags = flags;
    return -1;
}
int CNFile::OpenFileEx(const char*, unsigned int flags) {
    m_nOpenFlags = flags;
    return -1;
}
unsigned int CNFile::ReadFile(void*, unsigned int) { return 0; }
void CNFile::WriteFile(const void*, unsigned int) {}
void CNFile::CloseFile() {
    m_nOpenFlags = 0;
    std::memset(m_szFilePathname, 0, sizeof m_szFilePathname);
}
int CNFile::RenameFile(const char*, const char*) { return -1; }
int CNFile::RemoveFile(const char*) { return -1; }
int CNFile::IsExistFile(const char*) { return 0; }

CFileException::CFileException() : m_lOsError(-1) {}
CFileException::CFileException(long osError, const char* fileName)
    : m_lOsError(osError), m_strFileName(fileName ? fileName : "") {}
CFileException::~CFileException() {}
