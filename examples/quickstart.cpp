// A minimal host: starts the library with the configuration beside it, stores a file,
// reads it back, renames, tests and removes it, shows one failure (a second remove),
// stores one file that stays, appends three records to a server table (working mode 2),
// then shuts the library down.
#include <GAVO_Client.h>

#include <cstdio>
#include <cstring>

// Appends three records to the server table "events" through an object opened with
// exactly 0x100. Tables live only on a file server: in working mode 1 the open is refused.
static void write_records() {
    CNFile table;
    int rc = table.Open("events", NFILE_TABLE_WRITE);
    std::printf("Open table events: %d\n", rc);
    if (rc != 0) return;
    const char* records[] = {"host started\n", "stored hello.txt\n", "host stopping\n"};
    for (const char* record : records) {
        // Each record is a short literal, far below the unsigned count WriteEx() takes.
        const auto count = static_cast<unsigned int>(std::strlen(record));
        std::printf("Record written: %u bytes\n", table.WriteEx(record, count));
    }
    table.Close();
}

int main(int argc, char** argv) {
    const char* ini = argc > 1 ? argv[1] : nullptr;
    if (NFile_Init(ini) != 1) {
        std::printf("NFile_Init failed: see gavo_nfile_err.log beside this program\n");
        return 1;
    }
    int status = 0;
    CNFile file;
    const char text[] = "hello from GAVO_Client\n";
    int rc = file.Open("quickstart\\hello.txt", NFILE_WRITE | NFILE_CREATE);
    std::printf("Open for writing: %d\n", rc);
    if (rc == 0) {
        std::printf("WriteEx: %u bytes\n", file.WriteEx(text, sizeof text - 1));
        file.Close();
        char back[64] = {0};
        rc = file.Open("quickstart\\hello.txt", NFILE_READ);
        unsigned n = rc == 0 ? file.Read(back, sizeof back - 1) : 0;
        file.Close();
        std::printf("Read back %u bytes: %s", n, back);
        if (n != sizeof text - 1 || std::memcmp(back, text, n) != 0) status = 1;
        std::printf("Rename: %d\n",
                    CNFile::Rename("quickstart\\hello.txt", "quickstart\\renamed.txt"));
        std::printf("IsExist(renamed): %d\n", CNFile::IsExist("quickstart\\renamed.txt"));
        std::printf("Remove: %d\n", CNFile::Remove("quickstart\\renamed.txt"));
        std::printf("IsExist(renamed): %d\n", CNFile::IsExist("quickstart\\renamed.txt"));
        // A failure on purpose: the file is gone, so this returns -102 (not found) and
        // leaves a RemoveFile line in the error log.
        std::printf("Remove again: %d\n", CNFile::Remove("quickstart\\renamed.txt"));
        // One file stays, to show where files land.
        CNFile kept;
        if (kept.Open("quickstart\\kept\\hello.txt", NFILE_WRITE | NFILE_CREATE) == 0) {
            std::printf("Stored quickstart\\kept\\hello.txt: %u bytes\n",
                        kept.WriteEx(text, sizeof text - 1));
        }
        write_records();
    } else {
        status = 1;
    }
    NFile_Close();
    return status;
}
