// A host program that sees only the public header and the shared library: the refusals
// of the failure rule come back as codes, or as the host's own record thrown across the
// library boundary, and the error log holds the start-up lines.
#include <GAVO_Client.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#define W_OK 2
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

static int failures = 0;

static void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

// A host's own declaration of the virtual slots, in the documented order. The volatile
// hides the pointer's origin, so calls go by slot number as in a host built against it.
struct HostSlots {
    virtual unsigned int Read(void* buffer, unsigned int count) = 0;
    virtual void Write(const void* buffer, unsigned int count) = 0;
    virtual uint64_t Seek(int64_t offset, unsigned int origin) = 0;
    virtual uint64_t GetPosition() const = 0;
    virtual ~HostSlots() {}
};

static void check_slot_order() {
    CNFile* writer = new CNFile;
    CNFile reader;
    writer->Open("slots.dat", NFILE_WRITE | NFILE_CREATE);
    HostSlots* volatile slots = reinterpret_cast<HostSlots*>(writer);
    slots->Write("abc", 3);
    check(slots->Seek(0, 0) == 0 && slots->GetPosition() == 0, "Seek and GetPosition slots");
    delete slots;  // the destructor slot closes the file
    char buf[4] = {0};
    reader.Open("slots.dat", NFILE_READ);
    slots = reinterpret_cast<HostSlots*>(&reader);
    check(slots->Read(buf, 3) == 3 && std::string(buf) == "abc", "the Read and Write slots");
}

#if defined(_WIN32)
// The error log's line ends: text mode, as on the reference platform.
static const char kEol[] = "\r\n";

static std::string exe_dir() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    std::string path(buf, n < MAX_PATH ? n : 0);
    return path.substr(0, path.find_last_of("\\/") + 1);
}
#else
static const char kEol[] = "\n";

static std::string exe_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1);
}
#endif

int main() {
    std::string dir = exe_dir();
    std::remove((dir + "gavo_nfile_err.log").c_str());
    std::string ini = dir + "shared_host_check.ini";
    std::ofstream(ini) << "[Config]\nCTRL_MODE=1\nBASE_DIR=" << dir << "shared_host_data\n";

    check(fnGAVO_Client() == 42, "fnGAVO_Client returns 42");
    check(NFile_Init(ini.c_str()) == 1, "NFile_Init returns 1");
    {
        CNFile file;
        char buf[8];
        check(file.Read(buf, sizeof buf) == 0, "Read of a closed object returns 0");
        CNFileException record;
        bool caught = false;
        try {
            file.Open("shared_host_check.dat", NFILE_WRITE | NFILE_CREATE, &record);
            file.Close();
            file.Open("shared_host_check.dat", NFILE_WRITE, &record);
            file.Read(buf, sizeof buf);
        } catch (CNFileException* e) {
            caught = e == &record && e->GetErrCode() == -1;
        }
        check(caught, "the record is thrown as CNFileException* with code -1");
    }
    {
        // Working mode 1 end to end under the base folder.
        CNFile file;
        check(file.Open("sub\\dir\\round.dat", NFILE_WRITE | NFILE_CREATE) == 0,
              "Open 0x0A creates folders");
        check(file.WriteEx("payload", 7) == 7, "WriteEx writes 7 bytes");
        file.Close();
        char buf[16] = {0};
        check(file.OpenEx("sub/dir/round.dat", NFILE_READ) == 7, "OpenEx returns the length");
        check(file.Read(buf, sizeof buf) == 7 && std::string(buf) == "payload",
              "Read gives the bytes back");
        file.Close();
        check(CNFile::Rename("sub\\dir\\round.dat", "sub\\moved.dat") == 0, "Rename");
        check(CNFile::IsExist("sub\\moved.dat") == 1, "IsExist after rename");
        check(CNFile::Remove("sub\\moved.dat") == 0, "Remove");
        check(CNFile::Remove("sub\\moved.dat") == -102, "Remove of a missing file is -102");
        check(CNFile::Remove("sub") == -103, "Remove of a folder is -103");
    }
    check_slot_order();
    NFile_Close();

    // A failing local write throws the file layer's exception across the library
    // boundary; the host releases it. /dev/full takes no bytes (ENOSPC -> 112).
    std::string plain_ini = dir + "shared_host_check_plain.ini";
    std::ofstream(plain_ini) << "[Config]\nCTRL_MODE=1\n";
    check(NFile_Init(plain_ini.c_str()) == 1, "NFile_Init without a base folder");
    if (access("/dev/full", W_OK) == 0) {
        CNFile full;
        CNFileException record;
        long os_error = 0;
        try {
            full.Open("/dev/full", NFILE_WRITE, &record);
            full.Write("x", 1);
        } catch (CFileException* e) {
            os_error = e->m_lOsError;
            delete e;
        } catch (CNFileException* e) {
            os_error = -1000 + e->GetErrCode();
        }
        check(os_error == 112, "a write to a full device throws CFileException* with 112");
    } else {
        std::printf("no writable /dev/full: local exception check skipped\n");
    }
    NFile_Close();

    std::ifstream in(dir + "gavo_nfile_err.log", std::ios::binary);
    std::stringstream log;
    log << in.rdbuf();
    check(log.str().find(std::string(",NFile_Init:CTRL_MODE,0,1") + kEol) != std::string::npos,
          "the error log holds the CTRL_MODE line");
    check(log.str().find("NFile_Close,fsmode=1") != std::string::npos,
          "the error log ends with the closing text");
    std::printf("%s\n", failures == 0 ? "shared host check passed" : "shared host check FAILED");
    return failures == 0 ? 0 : 1;
}
