/* GAVO_Client: store and fetch files without knowing where they live.
 *
 * One setting in "gavo.ini" (section [Config], key CTRL_MODE) decides per process where
 * files go: 1 keeps them on the local disk under BASE_DIR, 2 sends every operation to a
 * file server (HOST_NAME, HOST_PORT). Host code is the same in both working modes.
 *
 * Failures: every operation returns a negative code, or, when the host passed a
 * CNFileException record to the latest Open/OpenEx, stores the code in that record and
 * throws the record's address (CNFileException*). The record stays the host's.
 * In working mode 1 a failing local Read, Write or Close throws a CFileException* that
 * the host must release with delete.
 *
 * Threads: different CNFile objects may be used on different threads at once; one
 * object must be used by one thread at a time. Run the first initialisation on one
 * thread before others use the library, and call NFile_Close after all other use.
 *
 * Compiles as C++11 and later.
 */
#ifndef GAVO_CLIENT_H
#define GAVO_CLIENT_H

#include <stdint.h>

#include <string>

#if defined(_WIN32)
#define GAVO_API __declspec(dllexport)
#else
#define GAVO_API __attribute__((visibility("default")))
#endif

/* Open flags for CNFile::Open and CNFile::OpenEx; 0x01..0x80 may be combined. */
enum {
    NFILE_READ = 0x01,       /* the object may be read */
    NFILE_WRITE = 0x02,      /* the object may be written */
    NFILE_APPEND = 0x04,     /* write, position at the end of the file after the open */
    NFILE_CREATE = 0x08,     /* create a missing file (and its folders), truncate an existing one */
    NFILE_SHARE_NONE = 0x10, /* others may read and write the file */
    NFILE_SHARE_EXCL = 0x20, /* others may neither read nor write */
    NFILE_DENY_READ = 0x40,  /* others may write */
    NFILE_DENY_WRITE = 0x80, /* others may read */
    NFILE_TABLE_WRITE = 0x100, /* exactly this value: a server table written record by record */
    NFILE_TABLE_OPEN = 0x200   /* exactly this value: a server table, neither read nor written */
};

/* Error record a host may hand to Open/OpenEx; holds the code of the failure thrown. */
class GAVO_API CNFileException {
public:
    CNFileException();
    ~CNFileException();
    void SetErrCode(int code);
    int GetErrCode();
    CNFileException& operator=(const CNFileException& other);

    int m_nErrCode; /* 0 after construction */
};

/* Error of the local file layer, thrown as a pointer in working mode 1 by a failing
 * local Read, Write or Close. The catcher releases it with delete. */
class GAVO_API CFileException {
public:
    CFileException();
    CFileException(long osError, const char* fileName);
    virtual ~CFileException();

    long m_lOsError;           /* Windows system error number of the failure; -1 when none */
    std::string m_strFileName; /* the file concerned */
};

class CFile; /* the local file layer's open file; internal to the library */

/* Library start-up. Reads the INI file at `iniPath` (null: "gavo.ini" beside the host
 * executable). Returns 1 when the library is usable (also when it already was), 0 when
 * it could not start (working mode 2 without a server, or a setting that does not fit). */
GAVO_API int NFile_Init(const char* iniPath = 0);

/* Library shutdown: writes the closing text, closes the error log and, in working mode 2,
 * both server connections. Call after all other use. */
GAVO_API void NFile_Close();

/* A file, local or on the server. Codes: 0 or a count on success; -1 refused or
 * unclassified local error; -50..-54 no reply; -100 send failure on a channel;
 * -102 not found, -103 access denied, -104 directory full, -105 I/O error, -106 disk
 * full, -107 bad path, -108 folders not created; -200 start-up failed; -201 unknown
 * working mode; other negative values are the server's own codes.
 * Sharing flags are enforced among the opens of this process (and, in working mode 2,
 * among the server's clients); other local processes are not held off. */
class GAVO_API CNFile {
public:
    CNFile();
    /* Copies of an open object are made closed (they keep flags and name), so that each
     * open file is closed exactly once. */
    CNFile(const CNFile& other);
    CNFile& operator=(const CNFile& other);

    /* Opens `name` with `flags`; `record` (may be null) receives and is thrown with the
     * code of any later failure of this object. Returns 0 or a negative code. */
    int Open(const char* name, unsigned int flags, CNFileException* record = 0);
    /* As Open; returns the file's length in bytes (0 for the table flags). */
    int OpenEx(const char* name, unsigned int flags, CNFileException* record = 0);
    /* Reads up to `count` bytes; returns the count read, 0 on a failure not thrown. */
    virtual unsigned int Read(void* buffer, unsigned int count);
    /* Writes `count` bytes; on a table object (0x100) writes one record. */
    virtual void Write(const void* buffer, unsigned int count);
    /* As Write; returns the bytes written, 0 on a failure not thrown. */
    unsigned int WriteEx(const void* buffer, unsigned int count);
    /* Closes the object; never throws in working mode 2. */
    void Close();
    /* No positioning is offered: both return 0 and change nothing. */
    virtual uint64_t Seek(int64_t offset, unsigned int origin);
    virtual uint64_t GetPosition() const;
    /* Releases m_pBuffer and closes the object when it is open. Declared after the
     * other virtual operations on purpose: hosts call through the virtual table in the
     * order Read, Write, Seek, GetPosition, destructor. */
    virtual ~CNFile();

    int IsLoading() const;               /* 1 when opened for reading */
    int IsStoring() const;               /* 1 when opened for writing, appending or as 0x100 */
    int IsOpened() const;                /* 1 while a file or server handle is held */
    const char* GetFilePathname() const; /* the name given to the latest successful open */

    /* Static operations on named files; they return codes and never throw. */
    static int Rename(const char* oldName, const char* newName); /* 0 or a code */
    static int Remove(const char* name);                         /* 0 or a code */
    static int IsExist(const char* name);                        /* 1, 0 or a code */

protected:
    /* Local back end (working mode 1). */
    int OpenFile(const char* name, unsigned int flags);
    int OpenFileEx(const char* name, unsigned int flags);
    unsigned int ReadFile(void* buffer, unsigned int count);
    void WriteFile(const void* buffer, unsigned int count);
    void CloseFile();
    static int RenameFile(const char* oldName, const char* newName);
    static int RemoveFile(const char* name);
    static int IsExistFile(const char* name);

    /* Archive-channel back end (working mode 2). */
    int OpenNet(const char* name, unsigned int flags);
    int OpenNetEx(const char* name, unsigned int flags);
    unsigned int ReadNet(void* buffer, unsigned int count);
    unsigned int WriteNet(const void* buffer, unsigned int count);
    void CloseNet();
    static int RenameNet(const char* oldName, const char* newName);
    static int RemoveNet(const char* name);
    static int IsExistNet(const char* name);

    /* Log-channel back end (working mode 2, flags exactly 0x100 or 0x200). */
    int OpenTab(const char* name, unsigned int flags);
    unsigned int WriteTab(const void* buffer, unsigned int count);
    void CloseTab();

    CNFileException* m_pException; /* not owned */
    int m_nLastErrCode;
    unsigned int m_nOpenFlags;
    CFile* m_pFile; /* owned; working mode 1 */
    int m_nHandle;  /* server handle; -1 when none */
    char m_szFilePathname[500];
    void* m_pBuffer; /* released with free() by the destructor */

private:
    friend struct NFileOps; /* the library's own shared steps; not part of the interface */
};

/* Minor exports with no part in the library's work. */
class GAVO_API CGAVO_Client {
public:
    CGAVO_Client();
    CGAVO_Client& operator=(const CGAVO_Client& other);
};
GAVO_API int fnGAVO_Client();
extern GAVO_API int nGAVO_Client;

#endif /* GAVO_CLIENT_H */
