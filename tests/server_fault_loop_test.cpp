// Fault loops on the server's side: every request runs again and again with the Nth file
// or database call failing (once, or from then on) for N = 1, 2, ... until the request
// runs without meeting the fault. File calls fail through the server's seam (sys()),
// database calls through an SQLite file layer put in front of the system's one. Every
// run must be answered with a code and a log line (or, where the answer had begun,
// end the connection with a log line), leave no descriptor behind, leave the files and
// the tables either as they were or as the request makes them, and leave the session
// able to serve the next request once the fault is gone.
//
// The session is served on the test's own thread over a socket pair, so every call the
// request makes is one the loop counts, and nothing runs between two requests.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/base/log.h"
#include "server/base/sys.h"
#include "server/files/files.h"
#include "server/files/handles.h"
#include "server/files/resolver.h"
#include "server/session.h"
#include "server/tables/table_service.h"
#include "server/tables/table_store.h"
#include "tests/test_support.h"
#include "tests/wire_client.h"

namespace gavo::test {
namespace {

// Counts the calls made while armed and makes the nth (and with `sticky` every later
// one) fail. Shared by the file seam and the database's file layer, so N counts both.
struct Injector {
    bool armed = false;
    int calls = 0;
    int nth = 0;
    bool sticky = false;
    bool met = false;

    void arm(int n, bool from_then_on) {
        armed = true;
        calls = 0;
        nth = n;
        sticky = from_then_on;
        met = false;
    }
    void disarm() { armed = false; }
    // True when this call is to fail.
    bool fail() {
        if (!armed) return false;
        ++calls;
        const bool hit = calls == nth || (sticky && calls > nth);
        met = met || hit;
        return hit;
    }
};

Injector injector;

// The file seam with faults: a failing call sets EIO and does nothing, except close,
// which releases the descriptor all the same (as close(2) does).
class FaultSys : public server::Sys {
public:
    int openat2(int dir, const char* path, const struct open_how* how, size_t size) override {
        return injector.fail() ? fault() : Sys::openat2(dir, path, how, size);
    }
    int openat(int dir, const char* path, int flags, mode_t mode) override {
        return injector.fail() ? fault() : Sys::openat(dir, path, flags, mode);
    }
    int close(int fd) override {
        const bool fails = injector.fail();
        const int rc = Sys::close(fd);
        return fails ? fault() : rc;
    }
    ssize_t read(int fd, void* buf, size_t n) override {
        return injector.fail() ? fault() : Sys::read(fd, buf, n);
    }
    ssize_t write(int fd, const void* buf, size_t n) override {
        return injector.fail() ? fault() : Sys::write(fd, buf, n);
    }
    off_t lseek(int fd, off_t offset, int whence) override {
        return injector.fail() ? fault() : Sys::lseek(fd, offset, whence);
    }
    int fstat(int fd, struct stat* st) override {
        return injector.fail() ? fault() : Sys::fstat(fd, st);
    }
    int fstatat(int dir, const char* path, struct stat* st, int flags) override {
        return injector.fail() ? fault() : Sys::fstatat(dir, path, st, flags);
    }
    int fsync(int fd) override { return injector.fail() ? fault() : Sys::fsync(fd); }
    int ftruncate(int fd, off_t length) override {
        return injector.fail() ? fault() : Sys::ftruncate(fd, length);
    }
    int mkdirat(int dir, const char* path, mode_t mode) override {
        return injector.fail() ? fault() : Sys::mkdirat(dir, path, mode);
    }
    int renameat2(int from_dir, const char* from, int to_dir, const char* to,
                  unsigned int flags) override {
        return injector.fail() ? fault() : Sys::renameat2(from_dir, from, to_dir, to, flags);
    }
    int unlinkat(int dir, const char* path, int flags) override {
        return injector.fail() ? fault() : Sys::unlinkat(dir, path, flags);
    }

private:
    static int fault() {
        errno = EIO;
        return -1;
    }
};

// ---- The database's file layer with faults: SQLite's own layer behind a thin shim that
// fails an open, delete, access, read, write, truncate, sync, size, lock or shared
// memory call when the injector says so.

sqlite3_vfs* real_vfs = nullptr;

struct ShimFile {
    sqlite3_file base;
    sqlite3_file* real;  // SQLite's own file, placed right after this struct
};

sqlite3_file* real_of(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

int shim_close(sqlite3_file* f) { return real_of(f)->pMethods->xClose(real_of(f)); }
int shim_read(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
    if (injector.fail()) return SQLITE_IOERR_READ;
    return real_of(f)->pMethods->xRead(real_of(f), buf, n, off);
}
int shim_write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    if (injector.fail()) return SQLITE_IOERR_WRITE;
    return real_of(f)->pMethods->xWrite(real_of(f), buf, n, off);
}
int shim_truncate(sqlite3_file* f, sqlite3_int64 size) {
    if (injector.fail()) return SQLITE_IOERR_TRUNCATE;
    return real_of(f)->pMethods->xTruncate(real_of(f), size);
}
int shim_sync(sqlite3_file* f, int flags) {
    if (injector.fail()) return SQLITE_IOERR_FSYNC;
    return real_of(f)->pMethods->xSync(real_of(f), flags);
}
int shim_file_size(sqlite3_file* f, sqlite3_int64* size) {
    if (injector.fail()) return SQLITE_IOERR_FSTAT;
    return real_of(f)->pMethods->xFileSize(real_of(f), size);
}
int shim_lock(sqlite3_file* f, int level) {
    if (injector.fail()) return SQLITE_IOERR_LOCK;
    return real_of(f)->pMethods->xLock(real_of(f), level);
}
int shim_unlock(sqlite3_file* f, int level) {
    return real_of(f)->pMethods->xUnlock(real_of(f), level);
}
int shim_check_lock(sqlite3_file* f, int* out) {
    return real_of(f)->pMethods->xCheckReservedLock(real_of(f), out);
}
int shim_file_control(sqlite3_file* f, int op, void* arg) {
    return real_of(f)->pMethods->xFileControl(real_of(f), op, arg);
}
int shim_sector_size(sqlite3_file* f) { return real_of(f)->pMethods->xSectorSize(real_of(f)); }
int shim_device(sqlite3_file* f) {
    return real_of(f)->pMethods->xDeviceCharacteristics(real_of(f));
}
int shim_shm_map(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    if (injector.fail()) return SQLITE_IOERR_SHMMAP;
    return real_of(f)->pMethods->xShmMap(real_of(f), page, size, extend, out);
}
int shim_shm_lock(sqlite3_file* f, int offset, int n, int flags) {
    return real_of(f)->pMethods->xShmLock(real_of(f), offset, n, flags);
}
void shim_shm_barrier(sqlite3_file* f) { real_of(f)->pMethods->xShmBarrier(real_of(f)); }
int shim_shm_unmap(sqlite3_file* f, int del) {
    return real_of(f)->pMethods->xShmUnmap(real_of(f), del);
}
int shim_fetch(sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
    return real_of(f)->pMethods->xFetch(real_of(f), off, n, out);
}
int shim_unfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
    return real_of(f)->pMethods->xUnfetch(real_of(f), off, p);
}

const sqlite3_io_methods shim_methods = {3,
                                         shim_close,
                                         shim_read,
                                         shim_write,
                                         shim_truncate,
                                         shim_sync,
                                         shim_file_size,
                                         shim_lock,
                                         shim_unlock,
                                         shim_check_lock,
                                         shim_file_control,
                                         shim_sector_size,
                                         shim_device,
                                         shim_shm_map,
                                         shim_shm_lock,
                                         shim_shm_barrier,
                                         shim_shm_unmap,
                                         shim_fetch,
                                         shim_unfetch};

int shim_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out) {
    auto* shim = reinterpret_cast<ShimFile*>(f);
    shim->base.pMethods = nullptr;  // SQLite calls no method of a file whose open failed
    if (injector.fail()) return SQLITE_CANTOPEN;
    shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
    const int rc = real_vfs->xOpen(real_vfs, name, shim->real, flags, out);
    if (rc == SQLITE_OK) shim->base.pMethods = &shim_methods;
    return rc;
}
int shim_delete(sqlite3_vfs*, const char* name, int sync) {
    if (injector.fail()) return SQLITE_IOERR_DELETE;
    return real_vfs->xDelete(real_vfs, name, sync);
}
int shim_access(sqlite3_vfs*, const char* name, int flags, int* out) {
    if (injector.fail()) return SQLITE_IOERR_ACCESS;
    return real_vfs->xAccess(real_vfs, name, flags, out);
}
int shim_full_path(sqlite3_vfs*, const char* name, int n, char* out) {
    return real_vfs->xFullPathname(real_vfs, name, n, out);
}

// Puts the shim in front of SQLite's default file layer (once per process).
void install_database_shim() {
    static sqlite3_vfs shim = [] {
        real_vfs = sqlite3_vfs_find(nullptr);
        sqlite3_vfs v = *real_vfs;  // the rest (randomness, time, sleep) as the system's
        v.zName = "gavo-fault";
        v.szOsFile = static_cast<int>(sizeof(ShimFile)) + real_vfs->szOsFile;
        v.pNext = nullptr;
        v.xOpen = shim_open;
        v.xDelete = shim_delete;
        v.xAccess = shim_access;
        v.xFullPathname = shim_full_path;
        return v;
    }();
    static const bool registered = sqlite3_vfs_register(&shim, 1) == SQLITE_OK;
    ASSERT_TRUE(registered);
}

// ---- The loops

// `tree` without the lines of folders that are empty in it: an open that made folders on
// the way to its file and then failed leaves them (they hold no data).
std::string without_empty_folders(const std::string& tree) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < tree.size();) {
        const size_t end = tree.find('\n', at);
        lines.push_back(tree.substr(at, end - at));
        at = end + 1;
    }
    auto is_folder = [](const std::string& line) { return !line.empty() && line.back() == '/'; };
    std::string out;
    for (const std::string& line : lines) {
        const bool holds_a_file = std::any_of(
            lines.begin(), lines.end(),
            [&](const std::string& l) { return !is_folder(l) && l.rfind(line, 0) == 0; });
        if (!is_folder(line) || holds_a_file) out += line + "\n";
    }
    return out;
}

const std::string kBig(150 * 1024, 'w');  // three chunks of the server's data steps

// What a reply looks like: a 16- or 32-bit first field, then for a read that many
// bytes, for an open-ex the 32-bit length after a handle.
enum class Reply { k16, k32, kRead, kOpenEx };

// A request, its reply's shape, and what it needs set up first.
struct Request {
    const char* name;
    // Requests sent (and answered) without faults before; their 16-bit replies are the
    // handles the request is given.
    std::vector<std::string> setup;
    std::function<std::string(const std::vector<int>& handles)> bytes;
    Reply reply;
};

std::vector<Request> requests() {
    const int kRead = 0x01, kWriteCreate = 0x0A, kAppend = 0x06;
    auto open = [](int flags, const std::string& name) {
        return be16(1) + be16(flags) + name_field(name);
    };
    auto h = [](const std::vector<int>& hs) { return be16(hs.at(0)); };
    return {
        {"open", {}, [=](auto&) { return open(kRead, "a.txt"); }, Reply::k16},
        {"open-ex",
         {},
         [](auto&) { return be16(5) + be16(0x01) + name_field("d/b.txt"); },
         Reply::kOpenEx},
        {"open-create-folders",
         {},
         [=](auto&) { return open(kWriteCreate, "new/dir/n.txt"); },
         Reply::k16},
        {"open-create-existing",
         {},
         [=](auto&) { return open(kWriteCreate, "a.txt"); },
         Reply::k16},
        {"open-append", {}, [=](auto&) { return open(kAppend, "a.txt"); }, Reply::k16},
        {"read",
         {open(kRead, "d/b.txt")},
         [=](auto& hs) { return be16(3) + h(hs) + be32(1000); },
         Reply::kRead},
        {"read-large",
         {open(kRead, "big.txt")},
         [=](auto& hs) { return be16(3) + h(hs) + be32(200 * 1024); },
         Reply::kRead},
        {"write",
         {open(kWriteCreate, "w.txt")},
         [=](auto& hs) { return be16(4) + h(hs) + be32(5) + "hello"; },
         Reply::k32},
        {"write-large",
         {open(kAppend, "a.txt")},
         [=](auto& hs) { return be16(4) + h(hs) + be32(static_cast<int32_t>(kBig.size())) + kBig; },
         Reply::k32},
        {"close",
         {open(kWriteCreate, "new/c.txt")},
         [=](auto& hs) { return be16(2) + h(hs); },
         Reply::k16},
        {"rename",
         {},
         [](auto&) { return be16(6) + name_field("a.txt") + name_field("d/a2.txt"); },
         Reply::k32},
        {"remove", {}, [](auto&) { return be16(7) + name_field("d/b.txt"); }, Reply::k32},
        {"exists", {}, [](auto&) { return be16(8) + name_field("d/b.txt"); }, Reply::k32},
        {"table-open", {}, [](auto&) { return be16(16) + name_field("events"); }, Reply::k16},
        {"table-write",
         {be16(16) + name_field("events")},
         [=](auto& hs) { return be16(19) + h(hs) + "a record\n"; },
         Reply::k32},
        {"table-close",
         {be16(16) + name_field("events")},
         [=](auto& hs) { return be16(17) + h(hs); },
         Reply::k16},
    };
}

// What one run of a request gave.
struct Outcome {
    bool answered = false;  // a whole reply of the request's shape came back
    int64_t code = 0;       // the reply's first field
    bool met = false;       // the fault was met
    bool new_log = false;   // the run added a server log line
    std::string last_log;   // the last line it added
    std::string before;     // the files when the request was sent
    std::string tree;       // and after it
    int records = 0;
};

class ServerFaultLoopTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        install_database_shim();
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        root_ = dir_ + "root/";
        write_file(dir_ + "tables.conf", "events = line:256\n");
        config_.root = root_;
        config_.tables_file = dir_ + "tables.conf";
        config_.state_dir = dir_ + "state";
        config_.stall_timeout = std::chrono::milliseconds(2000);
        config_.sync = true;  // the syncs are calls that can fail too
        log_ = std::make_unique<server::Logger>(
            [this](const std::string& line) { log_lines_.push_back(line); });
        std::string error;
        ASSERT_TRUE(root_dir_.open(root_, GetParam(), &error)) << error;
        ASSERT_TRUE(tables_.start(config_, *log_, &error)) << error;
        ASSERT_TRUE(parse_host_addr("127.0.0.1", &host_));
        server::set_sys(&fault_sys_);
    }
    void TearDown() override {
        server::set_sys(nullptr);
        tables_.stop();
        remove_tree(dir_);
    }

    // Empties the root (the folder itself stays: the server holds it open) and puts
    // the request's files in.
    void lay_out_root() {
        std::vector<std::string> names;
        if (DIR* d = opendir(root_.c_str())) {
            while (const struct dirent* e = readdir(d)) names.push_back(e->d_name);
            closedir(d);
        }
        for (const std::string& name : names) {
            if (name != "." && name != "..") remove_tree(root_ + name);
        }
        ASSERT_EQ(::mkdir((root_ + "d").c_str(), 0755), 0);
        write_file(root_ + "a.txt", "alpha");
        write_file(root_ + "d/b.txt", "bravo");
        write_file(root_ + "big.txt", std::string(200 * 1024, 'b'));
    }

    // Records stored in the table "events" (read without faults).
    int records() {
        auto store =
            server::make_sqlite_store(config_.state_dir + "/" + server::kTablesDbName, false);
        server::StoreError error;
        int n = 0;
        EXPECT_TRUE(store->open(&error)) << error.text;
        EXPECT_TRUE(store->scan(
            "events", [&](const server::StoredRecord&) { ++n; }, &error))
            << error.text;
        return n;
    }

    // Sends `bytes`, serves them and reads the reply without waiting. False when the
    // session ended the connection.
    bool exchange(const std::string& bytes, Reply shape, Outcome* out) {
        EXPECT_TRUE(send_all(bytes));
        const bool served = session_->serve_next();
        const std::string reply = take_reply();
        const size_t head = shape == Reply::k16 || shape == Reply::kOpenEx ? 2 : 4;
        if (reply.size() < head) return served;
        const auto* b = reinterpret_cast<const unsigned char*>(reply.data());
        out->code = head == 2
                        ? static_cast<int16_t>((b[0] << 8) | b[1])
                        : static_cast<int32_t>((uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) |
                                               (uint32_t{b[2]} << 8) | b[3]);
        size_t want = head;
        if (shape == Reply::kRead && out->code > 0) want += static_cast<size_t>(out->code);
        if (shape == Reply::kOpenEx && out->code >= 0) want += 4;
        out->answered = served && reply.size() == want;
        return served;
    }

    // One run: fresh root and session, the setup, then the request with the fault armed.
    Outcome run(const Request& r, int nth, bool sticky) {
        Outcome out;
        lay_out_root();
        const int fds = open_descriptors();
        begin_session();
        std::vector<int> handles;
        for (const std::string& s : r.setup) {
            Outcome o;
            EXPECT_TRUE(exchange(s, Reply::k16, &o));
            EXPECT_GE(o.code, 0) << r.name << ": setup failed";
            handles.push_back(static_cast<int>(o.code));
        }
        const size_t lines = log_lines_.size();
        const int records_before = records();
        out.before = tree_listing(root_);
        injector.arm(nth, sticky);
        const bool served = exchange(r.bytes(handles), r.reply, &out);
        injector.disarm();
        out.met = injector.met;
        out.new_log = log_lines_.size() > lines;
        if (out.new_log) out.last_log = log_lines_.back();
        out.tree = tree_listing(root_);
        out.records = records() - records_before;
        if (served) {
            // With the fault gone, the same connection serves the next request.
            Outcome next;
            EXPECT_TRUE(exchange(be16(8) + name_field("d"), Reply::k32, &next)) << r.name;
            EXPECT_EQ(next.code, 1) << r.name << ": N=" << nth;
            if (std::string(r.name).rfind("table", 0) == 0) {
                Outcome table, stored;
                EXPECT_TRUE(exchange(be16(16) + name_field("events"), Reply::k16, &table));
                EXPECT_TRUE(exchange(be16(19) + be16(static_cast<int>(table.code)) + "next\n",
                                     Reply::k32, &stored));
                EXPECT_EQ(stored.code, 5) << r.name << ": N=" << nth << ": store after fault";
            }
        }
        end_session();
        if (warm_) {
            EXPECT_EQ(open_descriptors(), fds)
                << r.name << ": N=" << nth << (sticky ? " sticky" : "");
        }
        warm_ = true;
        return out;
    }

    void begin_session() {
        files_ = std::make_unique<server::FileService>(root_dir_, false, true);
        handles_ = std::make_unique<server::HandleTable>(64);
        log_->flush_repeats(true);  // fresh refusal counts: every run's failure gets its line
        pending_ = std::make_unique<server::PendingBytes>(config_.max_pending_bytes, *log_);
        limits_ = std::make_unique<server::HostLimits>(*log_, 8,
                                                       server::size_descriptor_limits(1024, 16, 0));
        ctx_.reset(new server::ServerContext{config_, *log_, *files_, *handles_, tables_, *pending_,
                                             *limits_});
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        const int size = 4 * 1024 * 1024;
        for (int fd : sv) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        session_fd_ = sv[0];
        client_fd_ = sv[1];
        session_ = std::make_unique<server::Session>(*ctx_, session_fd_, host_, "conn t", -1);
    }
    void end_session() {
        session_.reset();
        ::close(session_fd_);
        ::close(client_fd_);
        for (auto& [handle, obj] : handles_->take_all()) obj->close();
        EXPECT_EQ(files_->open_count(), 0u);
        ctx_.reset();
        handles_.reset();
        files_.reset();
    }
    bool send_all(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(client_fd_, bytes.data() + done, bytes.size() - done,
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    std::string take_reply() {
        std::string out;
        char buf[64 * 1024];
        ssize_t n;
        while ((n = ::recv(client_fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    std::string dir_, root_;
    server::ServerConfig config_;
    std::unique_ptr<server::Logger> log_;
    std::vector<std::string> log_lines_;
    server::RootDir root_dir_;
    server::TableService tables_;
    server::HostAddr host_;
    FaultSys fault_sys_;
    std::unique_ptr<server::HostLimits> limits_;
    std::unique_ptr<server::FileService> files_;
    std::unique_ptr<server::HandleTable> handles_;
    std::unique_ptr<server::PendingBytes> pending_;
    std::unique_ptr<server::ServerContext> ctx_;
    std::unique_ptr<server::Session> session_;
    int session_fd_ = -1;
    int client_fd_ = -1;
    bool warm_ = false;  // a first run has made the process's once-only descriptors
};

TEST_P(ServerFaultLoopTest, EveryRequestSurvivesEachFailingCall) {
    run(requests().front(), 0, false);  // makes what the process makes once (log paths)
    for (const Request& r : requests()) {
        const Outcome clean = run(r, 0, false);  // N = 0: no call fails
        ASSERT_TRUE(clean.answered) << r.name;
        ASSERT_GE(clean.code, 0) << r.name;
        for (bool sticky : {false, true}) {
            for (int nth = 1;; ++nth) {
                SCOPED_TRACE(std::string(r.name) + " N=" + std::to_string(nth) +
                             (sticky ? " from then on" : " once"));
                ASSERT_LT(nth, 200) << "the request never ran untouched";
                const Outcome o = run(r, nth, sticky);
                if (!o.met) {
                    // Untouched: the request did what it does without faults.
                    EXPECT_TRUE(o.answered);
                    EXPECT_GE(o.code, 0);
                    EXPECT_EQ(o.tree, clean.tree);
                    EXPECT_EQ(o.records, clean.records);
                    break;
                }
                if (o.answered && o.code >= 0) {
                    // A fault that cannot touch the outcome (a descriptor that only
                    // looked a name up fails to close) may pass unreported, but then the
                    // request must have done all it does.
                    EXPECT_EQ(o.tree, clean.tree) << "success reported, files differ";
                    EXPECT_EQ(o.records, clean.records) << "success reported, not stored";
                    continue;
                }
                // A failure is reported: with a code, or (a read whose count had gone out)
                // by ending the connection; a log line either way.
                EXPECT_TRUE(o.new_log);
                if (!o.answered) {
                    EXPECT_STREQ(r.name, "read-large") << "the connection ended";
                }
                // Files and tables as before or as after the request. Only a write whose
                // taking back failed too (every later call failing) may leave its front
                // part, and says so.
                const bool cannot_undo =
                    sticky && o.last_log.find("could not be taken back") != std::string::npos;
                const bool files_ok =
                    o.tree == o.before || o.tree == clean.tree ||
                    without_empty_folders(o.tree) == without_empty_folders(o.before) || cannot_undo;
                EXPECT_TRUE(files_ok) << "files neither before nor after:\n" << o.tree;
                EXPECT_TRUE(o.records == 0 || o.records == clean.records);
                if (o.answered && o.code < 0) {
                    EXPECT_EQ(o.records, 0) << "failure reported, yet stored";
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Resolvers, ServerFaultLoopTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                             return param_info.param ? std::string("ComponentWalk")
                                                     : std::string("Openat2");
                         });

}  // namespace
}  // namespace gavo::test
