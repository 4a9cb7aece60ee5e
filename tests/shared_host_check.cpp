// A host program that sees only the public header and the shared library: the refusals
// of the failure rule come back as codes, or as the host's own record thrown across the
// library boundary, and the error log holds the start-up lines.
#include <GAVO_Client.h>

#include <unistd.h>

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

static std::string exe_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1);
}

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
    NFile_Close();

    std::ifstream in(dir + "gavo_nfile_err.log", std::ios::binary);
    std::stringstream log;
    log << in.rdbuf();
    check(log.str().find(",NFile_Init:CTRL_MODE,0,1\n") != std::string::npos,
          "the error log holds the CTRL_MODE line");
    check(log.str().find("NFile_Close,fsmode=1") != std::string::npos,
          "the error log ends with the closing text");
    std::printf("%s\n", failures == 0 ? "shared host check passed" : "shared host check FAILED");
    return failures == 0 ? 0 : 1;
}
