// A host program of the installed GAVO_Client: stores a file, fetches it back and
// compares. Where the file goes (a local folder or a file server) is decided by the INI
// file: gavo.ini beside this program, or the path given as the first argument.
// Exit status 0 when the bytes came back unchanged.
#include <GAVO_Client.h>

#include <cstdio>
#include <cstring>

namespace {

const char kName[] = "consumer/hello.txt";
const char kText[] = "stored and fetched through GAVO_Client\n";

// Stores kText under kName; failures come back as the thrown address of `record`, which
// must therefore outlive the catch.
void store(CNFileException& record) {
    CNFile file;
    file.Open(kName, NFILE_WRITE | NFILE_CREATE, &record);
    file.Write(kText, sizeof kText - 1);
    file.Close();
}

// Fetches kName into `buffer`; returns the number of bytes read.
unsigned fetch(CNFileException& record, char* buffer, unsigned size) {
    CNFile file;
    file.Open(kName, NFILE_READ, &record);
    unsigned n = file.Read(buffer, size);
    file.Close();
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (NFile_Init(argc > 1 ? argv[1] : nullptr) != 1) {
        std::fprintf(stderr, "library start-up failed: see gavo_nfile_err.log\n");
        return 1;
    }
    int status = 1;
    CNFileException record;
    try {
        store(record);
        char back[128] = {0};
        unsigned n = fetch(record, back, sizeof back - 1);
        status = (n == sizeof kText - 1 && std::memcmp(back, kText, n) == 0) ? 0 : 1;
        std::printf("%s: %u bytes back, %s\n", kName, n, status == 0 ? "identical" : "DIFFERENT");
    } catch (CNFileException* record) {
        std::fprintf(stderr, "%s: library code %d\n", kName, record->GetErrCode());
    } catch (CFileException* error) {
        std::fprintf(stderr, "%s: local file error %ld\n", kName, error->m_lOsError);
        delete error;
    }
    NFile_Close();
    return status;
}
