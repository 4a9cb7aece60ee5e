// Steps that several CNFile operations share: the failure rule, the refusals of an open,
// and the common bodies of Open/OpenEx, Write/WriteEx and OpenFile/OpenFileEx. A friend
// of CNFile, so that these stay out of the public header and out of the export table.
#pragma once

#include "include/GAVO_Client.h"

struct NFileOps {
    // The failure rule: logs, stores the code in the object, throws the record when the
    // object holds one, else returns the code.
    static int Fail(CNFile& file, const char* where, int code, const char* detail);
    // Throws the record with `code` when there is one, else returns it; no log line and
    // no change of m_nLastErrCode.
    static int Refuse(CNFile& file, int code);

    // The steps of Open (ex false) and OpenEx (ex true).
    static int OpenAny(CNFile& file, const char* name, unsigned int flags, CNFileException* record,
                       bool ex);
    // The steps of Write and WriteEx; `where` names the operation in reports.
    static unsigned int WriteAny(CNFile& file, const void* buffer, unsigned int count,
                                 const char* where);

    // The steps of OpenFile (ex false) and OpenFileEx (ex true), and their two reports.
    static int OpenFileAny(CNFile& file, const char* name, unsigned int flags, bool ex);
    static int FailLocalOpen(CNFile& file, const char* where, int os_error, const char* name);
    static int FailMakeDirs(CNFile& file, const char* where);
};
