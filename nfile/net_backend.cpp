// The archive-channel back end of working mode 2.
// TODO(working mode 2 issue): requests over archive_conn.
#include "include/GAVO_Client.h"

int CNFile::OpenNet(const char*, unsigned int flags) {
    m_nOpenFlags = flags;
    return -1;
}
int CNFile::OpenNetEx(const char*, unsigned int) { return -1; }
unsigned int CNFile::ReadNet(void*, unsigned int) { return 0; }
unsigned int CNFile::WriteNet(const void*, unsigned int) { return 0; }
void CNFile::CloseNet() {}
int CNFile::RenameNet(const char*, const char*) { return -1; }
int CNFile::RemoveNet(const char*) { return -1; }
int CNFile::IsExistNet(const char*) { return -1; }
