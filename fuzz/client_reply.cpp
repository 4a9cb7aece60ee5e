// Fuzz target: the library's handling of the server's replies, in working mode 2. The
// library runs on a platform whose sockets are scripted in memory: every connect
// succeeds (or, as the input chooses, fails from some point on), every request is
// swallowed, and every receive hands out the next bytes of the input, in pieces of a
// size the input chooses; the end of the input is the server closing. A chosen send or
// receive can fail, so the reconnection and the fall-back to working mode 1 run too.
//
// Input: byte 0 the receive piece size, byte 1 the faults, byte 2 the number of
// operations, then one byte per operation, then the reply stream.
//
// Invariants: no memory error (read buffers are exactly the size asked for), a read
// never reports more bytes than asked, and after NFile_Close every socket, descriptor
// and heap byte of the run is released.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "fuzz/common.h"
#include "include/GAVO_Client.h"
#include "net/netconn.h"
#include "port/platform.h"
#include "runtime/state.h"

using gavo::fuzz::die;

namespace {

constexpr int kFirstFakeSocket = 100000;  // far above any real descriptor

// Faults chosen by the input: the nth send or receive fails once, or connects fail
// after the first `connects_ok`.
struct Faults {
    int failing_send = 0;
    int failing_recv = 0;
    int connects_ok = 1 << 30;
};

class ScriptPlatform : public gavo::Platform {
public:
    explicit ScriptPlatform(std::string dir) : dir_(std::move(dir)) {}

    void reset(const uint8_t* replies, size_t n, size_t piece, const Faults& faults) {
        replies_ = replies;
        left_ = n;
        piece_ = piece;
        faults_ = faults;
        sends_ = recvs_ = connects_ = 0;
    }
    size_t open_sockets() const { return sockets_.size(); }

    int socket(int, int, int) override {
        sockets_.insert(next_fd_);
        return next_fd_++;
    }
    int connect(int, const struct sockaddr*, socklen_t) override {
        if (++connects_ <= faults_.connects_ok) return 0;
        errno = ECONNREFUSED;
        return -1;
    }
    ssize_t send(int fd, const void*, size_t n) override {
        if (!live(fd) || ++sends_ == faults_.failing_send) return fail(EPIPE);
        return static_cast<ssize_t>(n);
    }
    ssize_t recv(int fd, void* buf, size_t n) override {
        if (!live(fd) || ++recvs_ == faults_.failing_recv) return fail(ECONNRESET);
        const size_t take = std::min({n, piece_, left_});
        std::memcpy(buf, replies_, take);
        replies_ += take;
        left_ -= take;
        return static_cast<ssize_t>(take);
    }
    int wait_readable(int fd, int) override { return live(fd) ? 1 : fail(EBADF); }
    int shutdown(int fd, int) override { return live(fd) ? 0 : fail(EBADF); }
    int close_socket(int fd) override { return sockets_.erase(fd) == 1 ? 0 : fail(EBADF); }
    int lookup_host(const char*, struct in_addr* out) override {
        out->s_addr = htonl(INADDR_LOOPBACK);
        return 0;
    }
    int lookup_service(const char*, const char*, uint16_t*) override { return -1; }
    int lookup_protocol(const char*, int* number) override {
        *number = IPPROTO_TCP;
        return 0;
    }
    // The logs are written in full, to nowhere: the run's formatting is exercised
    // without the files growing for hours.
    FILE* fopen(const char* path, const char* mode) override {
        const std::string p = path;
        const bool log = p.size() > 4 && (p.compare(p.size() - 4, 4, ".log") == 0 ||
                                          p.compare(p.size() - 4, 4, ".Log") == 0);
        return Platform::fopen(log ? "/dev/null" : path, mode);
    }
    time_t now() override { return 1700000000; }
    void sleep_ms(int) override {}  // the reconnection's pauses cost nothing
    std::string exe_dir() override { return dir_; }

private:
    bool live(int fd) const { return sockets_.count(fd) == 1; }
    static int fail(int err) {
        errno = err;
        return -1;
    }

    std::string dir_;
    std::set<int> sockets_;
    int next_fd_ = kFirstFakeSocket;
    const uint8_t* replies_ = nullptr;
    size_t left_ = 0;
    size_t piece_ = 1;
    Faults faults_;
    int sends_ = 0, recvs_ = 0, connects_ = 0;
};

struct Env {
    std::string dir;
    std::string local;  // BASE_DIR, for the fall-back to working mode 1
    std::unique_ptr<ScriptPlatform> platform;
};

Env& env() {
    static Env* e = [] {
        auto* made = new Env;
        made->dir = gavo::fuzz::make_work_dir("client");
        if (made->dir.empty()) die("cannot make a work folder");
        made->local = made->dir + "local/";
        ::mkdir(made->local.c_str(), 0755);
        const std::string ini =
            "[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=7100\n"
            "BASE_DIR=" +
            made->dir + "local\n";
        FILE* f = std::fopen((made->dir + "gavo.ini").c_str(), "w");
        if (f == nullptr || std::fwrite(ini.data(), 1, ini.size(), f) != ini.size()) {
            die("cannot write gavo.ini");
        }
        std::fclose(f);
        made->platform = std::make_unique<ScriptPlatform>(made->dir);
        std::atexit([] { gavo::fuzz::remove_dir(env().dir); });
        gavo::set_platform(made->platform.get());
        return made;
    }();
    return *e;
}

const unsigned int kFileFlags[] = {0x01, 0x0A, 0x03, 0x0B};
const unsigned int kCounts[] = {1, 16, 4096, 9000};

// One operation on one of two objects; the op byte's low 4 bits choose it, bit 4 the
// object, bit 5 whether the object's open carries an error record, bits 6-7 a parameter.
void run_op(uint8_t op, CNFile (&files)[2], CNFileException& record) {
    CNFile& file = files[(op >> 4) & 1];
    CNFileException* rec = (op & 0x20) ? &record : nullptr;
    const unsigned int param = op >> 6;
    const unsigned int count = kCounts[param];
    switch (op & 0x0F) {
    case 0: file.Open("a.txt", kFileFlags[param], rec); break;
    case 1: file.OpenEx("d/b.txt", kFileFlags[param], rec); break;
    case 2:
    case 12: {
        auto buffer = std::make_unique<unsigned char[]>(count);  // exact: overruns show
        const unsigned int got = file.Read(buffer.get(), count);
        if (got > count) die("Read of %u bytes returned %u", count, got);
        break;
    }
    case 3:
    case 4: {
        const std::string data(count, 'w');
        if ((op & 0x0F) == 3) file.Write(data.data(), count);
        else if (file.WriteEx(data.data(), count) > count) die("WriteEx returned too much");
        break;
    }
    case 5: file.Close(); break;
    case 6: CNFile::Rename("a.txt", "c.txt"); break;
    case 7: CNFile::Remove("c.txt"); break;
    case 8: {
        const int answer = CNFile::IsExist("a.txt");
        if (answer > 1) die("IsExist returned %d", answer);
        break;
    }
    case 9: file.Open("events", 0x100, rec); break;
    case 10: file.Open("events", 0x200, rec); break;
    case 13: file.OpenEx("events", param & 1 ? 0x200 : 0x100, rec); break;
    case 11:  // the host shuts the library down and starts it again
        for (CNFile& f : files) f.Close();
        NFile_Close();
        NFile_Init();
        break;
    default: files[1 - ((op >> 4) & 1)].Close(); break;
    }
}

Faults faults_of(uint8_t b) {
    Faults f;
    if (b < 0x40) return f;
    if (b < 0x80) f.failing_send = 1 + (b & 0x3F);
    else if (b < 0xC0) f.failing_recv = 1 + (b & 0x3F);
    else f.connects_ok = b & 0x07;  // the reconnection then fails: fall-back to mode 1
    return f;
}

void run(const uint8_t* data, size_t size) {
    Env& e = env();
    const size_t piece = data[0] < 0xC0 ? 1 + data[0] % 32 : 4096;
    const size_t ops = 1 + data[2] % 12;
    const size_t header = std::min(size, 3 + ops);
    e.platform->reset(data + header, size - header, piece, faults_of(data[1]));
    NFile_Init();
    {
        CNFileException record;
        CNFile files[2];
        for (size_t i = 3; i < header; ++i) {
            try {
                run_op(data[i], files, record);
            } catch (CNFileException* thrown) {
                if (thrown != &record) die("a record that is not the host's was thrown");
            } catch (CFileException* thrown) {
                delete thrown;  // a local failure after the fall-back to working mode 1
            }
        }
    }  // the objects' destructors close what is still open
    NFile_Close();
    // The shutdown leaves connections alone outside working mode 2 (one kept from a failed
    // start-up, or by a fall-back); they are the next start-up's. Free them here so that
    // every run starts from nothing and a socket left otherwise still counts as a leak.
    for (NetConn** slot : {&gavo::lib::archive_conn, &gavo::lib::log_conn}) {
        if (*slot != nullptr) net_close(*slot);
        *slot = nullptr;
    }
    if (e.platform->open_sockets() != 0) {
        die("%zu sockets still open after NFile_Close", e.platform->open_sockets());
    }
    gavo::fuzz::clear_dir(e.local);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    static gavo::fuzz::ResourceCheck check(16 * 1024);
    check.begin();
    run(data, size);
    check.end("client_reply");
    return 0;
}
