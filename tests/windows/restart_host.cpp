// A host that lives through a server restart and a server that stays away: built for
// Windows (run under Wine) and for Linux alike, seeing only the public header, so that
// scripts/windows.sh can compare what the two print and log. Its gavo.ini (beside it)
// names the server; between its phases it writes "readyN" beside itself and waits for the
// script to create "goN" (after restarting or stopping the server).
#include <GAVO_Client.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

static std::string dir;  // the folder of this program, ending in its separator

static void phase(int n) {
    std::ofstream(dir + "ready" + std::to_string(n)) << "ready\n";
    std::string go = dir + "go" + std::to_string(n);
    for (int i = 0; i < 1200 && !std::ifstream(go); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Stores `text` in `name`, reads it back; prints each step's result.
static void round_trip(const char* name, const char* text) {
    CNFile file;
    unsigned n = static_cast<unsigned>(std::strlen(text));
    int rc = file.Open(name, NFILE_WRITE | NFILE_CREATE);
    unsigned written = rc == 0 ? file.WriteEx(text, n) : 0;
    file.Close();
    char back[64] = {0};
    int rc2 = file.Open(name, NFILE_READ);
    unsigned got = rc2 == 0 ? file.Read(back, sizeof back - 1) : 0;
    file.Close();
    std::printf("%s: open %d wrote %u, open %d read %u \"%s\"\n", name, rc, written, rc2, got,
                back);
}

static void record(const char* text) {
    CNFile table;
    int rc = table.Open("events", NFILE_TABLE_WRITE);
    unsigned n = rc == 0 ? table.WriteEx(text, static_cast<unsigned>(std::strlen(text))) : 0;
    table.Close();
    std::printf("record: open %d wrote %u\n", rc, n);
}

int main(int, char** argv) {
    std::string self = argv[0];
    dir = self.substr(0, self.find_last_of("/\\") + 1);
    std::printf("NFile_Init: %d\n", NFile_Init());
    round_trip("before.txt", "stored before the restart");
    record("before the restart\n");
    phase(1);  // the server is stopped and started again
    // The first request finds the old connection gone, the next one reconnects (-100).
    std::printf("IsExist after the restart: %d\n", CNFile::IsExist("before.txt"));
    std::printf("IsExist again: %d\n", CNFile::IsExist("before.txt"));
    std::printf("IsExist reconnected: %d\n", CNFile::IsExist("before.txt"));
    round_trip("after.txt", "stored after the restart");
    record("after the restart\n");
    phase(2);  // the server is stopped for good
    std::printf("IsExist without a server: %d\n", CNFile::IsExist("after.txt"));
    std::printf("IsExist again: %d\n", CNFile::IsExist("after.txt"));
    round_trip("local.txt", "stored locally after the fall-back");
    NFile_Close();
    // A start-up without a server logs the system's number for the refused connect.
    std::printf("NFile_Init without a server: %d\n", NFile_Init());
    NFile_Close();
    return 0;
}
