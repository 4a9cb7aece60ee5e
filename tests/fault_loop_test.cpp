// Fault loops: every client operation, in both working modes, run again and again with
// the Nth call through the platform seam failing (once, or from then on) for N = 1, 2, ...
// until the operation runs without meeting the fault. Every run must leave no
// descriptor behind, report a failure with a code and an error-log line, and leave the
// files either as they were before the operation or as the operation makes them, and
// the server's table either without the record or with it whole (table objects exist
// in working mode 2 only).
//
// In working mode 2 the file server runs in-process on loopback. Its own file calls do
// not go through the library's platform seam, so the loops reach it only from the
// client's side: requests cut off at every byte, replies lost, connections dropped and
// reopened, and the fall-back to working mode 1 when reconnecting fails for good.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "include/GAVO_Client.h"
#include "server/server.h"
#include "server/tables/table_service.h"
#include "server/tables/table_store.h"
#include "tests/test_support.h"

namespace gavo::test {
namespace {

// Reaches the object's last code.
class Probe : public CNFile {
public:
    using CNFile::m_nLastErrCode;
};

// The regular files under `dir` with their contents. Folders are not listed: those an
// open creates on the way to a new file are not removed again when the open fails
// afterwards, and hold no data.
std::string files_of(const std::string& dir) { return tree_listing(dir, false); }

// One operation: `setup` prepares the object without faults, `action` runs with the
// fault armed and returns 0 or a count on success, a negative code on failure.
struct Op {
    const char* name;
    std::function<void(Probe&)> setup;
    std::function<int(Probe&)> action;
    bool table = false;  // a table object's operation: working mode 2 only
};

constexpr char kData[] = "fault-loop data";
constexpr int kDataSize = sizeof kData - 1;
constexpr char kRecord[] = "a table record\n";
constexpr int kRecordSize = sizeof kRecord - 1;

// A failed Read, WriteEx or Close is told by its result; the code is the object's.
int count_or_code(Probe& f, unsigned int got, unsigned int wanted) {
    return got == wanted ? 0 : (f.m_nLastErrCode < 0 ? f.m_nLastErrCode : -1);
}

std::vector<Op> operations() {
    return {
        {"open-create", [](Probe&) {}, [](Probe& f) { return f.Open("new/dir/n.txt", 0x0A); }},
        {"open-ex", [](Probe&) {}, [](Probe& f) { return std::min(f.OpenEx("a.txt", 0x01), 0); }},
        {"read", [](Probe& f) { ASSERT_EQ(f.Open("a.txt", 0x01), 0); },
         [](Probe& f) {
             char buf[64];
             return count_or_code(f, f.Read(buf, sizeof buf), 5);
         }},
        {"write", [](Probe& f) { ASSERT_EQ(f.Open("w.txt", 0x0A), 0); },
         [](Probe& f) { return count_or_code(f, f.WriteEx(kData, kDataSize), kDataSize); }},
        {"close",
         [](Probe& f) {
             ASSERT_EQ(f.Open("w.txt", 0x0A), 0);
             ASSERT_EQ(f.WriteEx(kData, kDataSize), static_cast<unsigned int>(kDataSize));
         },
         [](Probe& f) {
             f.Close();
             return f.IsOpened() ? (f.m_nLastErrCode < 0 ? f.m_nLastErrCode : -1) : 0;
         }},
        {"rename", [](Probe&) {}, [](Probe&) { return CNFile::Rename("a.txt", "b.txt"); }},
        {"remove", [](Probe&) {}, [](Probe&) { return CNFile::Remove("a.txt"); }},
        {"exists", [](Probe&) {},
         [](Probe&) {
             const int answer = CNFile::IsExist("a.txt");
             return answer == 1 ? 0 : answer < 0 ? answer : -1;
         }},
        {"table-open", [](Probe&) {}, [](Probe& f) { return f.Open("events", 0x100); }, true},
        {"table-write", [](Probe& f) { ASSERT_EQ(f.Open("events", 0x100), 0); },
         [](Probe& f) { return count_or_code(f, f.WriteEx(kRecord, kRecordSize), kRecordSize); },
         true},
        {"table-close",
         [](Probe& f) {
             ASSERT_EQ(f.Open("events", 0x100), 0);
             ASSERT_EQ(f.WriteEx(kRecord, kRecordSize), static_cast<unsigned int>(kRecordSize));
         },
         [](Probe& f) {
             f.Close();
             return f.IsOpened() ? (f.m_nLastErrCode < 0 ? f.m_nLastErrCode : -1) : 0;
         },
         true},
    };
}

// True when the error log holds a report line beyond the start-up's, or a local
// exception reached the host (which the local layer throws unlogged, by design). The
// local back end's lines carry the system error, the host gets the library code.
bool reports_failure(const std::string& log) {
    if (log.find("local exception") != std::string::npos) return true;
    size_t at = 0;
    while (at < log.size()) {
        const size_t end = std::min(log.find('\n', at), log.size());
        const std::string line = log.substr(at, end - at);
        if (line.find(",NFile_Init") == std::string::npos && line.find(',') != std::string::npos &&
            line.rfind("NFile_Close", 0) != 0) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

// What one run with a fault left behind.
struct Outcome {
    int calls = 0;      // platform calls the action made
    int code = 0;       // the action's result
    std::string files;  // the files afterwards
    int records = 0;    // the table records stored afterwards (working mode 2)
    std::string log;    // the error log of the run
};

class FaultLoopTest : public LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        files_ = dir_ + "files/";
    }

    // Runs `op` once, with the nth platform call of the action failing (n = 0: none).
    Outcome run(const Op& op, int mode, int nth, bool sticky) {
        remove_tree(files_);
        ::mkdir(files_.c_str(), 0755);
        write_file(files_ + "a.txt", "hello");
        remove_tree(dir_ + "state");
        ::unlink(path("gavo_nfile_err.log").c_str());
        const int fds = open_descriptors();
        std::unique_ptr<server::Logger> logger;
        std::unique_ptr<server::Server> srv;
        if (mode == 2) start_server(&logger, &srv);
        Outcome result;
        {
            Probe file;
            EXPECT_EQ(NFile_Init(), 1);
            op.setup(file);
            const int before = platform_->total_calls();
            if (nth > 0) platform_->fail_any(nth, EIO, sticky);
            try {
                result.code = op.action(file);
            } catch (CFileException* e) {  // a local read, write or close: unlogged
                result.code = e->m_lOsError != 0 ? -1 : 0;
                result.log = "local exception\n";
                delete e;
            }
            result.calls = platform_->total_calls() - before;
            platform_->clear_faults();
            try {
                file.Close();
            } catch (CFileException* e) {
                delete e;
            }
        }
        NFile_Close();
        srv.reset();  // stops the server: every connection and handle closed
        EXPECT_EQ(open_descriptors(), fds) << op.name << " mode " << mode << " n=" << nth;
        result.files = files_of(files_);
        if (mode == 2) result.records = stored_records();
        result.log += error_log();
        return result;
    }

    int stored_records() {
        auto store = server::make_sqlite_store(dir_ + "state/" + server::kTablesDbName, false);
        server::StoreError error;
        int n = 0;
        EXPECT_TRUE(store->open(&error)) << error.text;
        EXPECT_TRUE(store->scan(
            "events", [&](const server::StoredRecord&) { ++n; }, &error));
        return n;
    }

    void start_server(std::unique_ptr<server::Logger>* logger,
                      std::unique_ptr<server::Server>* srv) {
        server::ServerConfig config;
        config.listen_host = "127.0.0.1";
        config.listen_port = 0;
        config.root = files_;
        config.sync = false;  // durability is not what these loops check
        write_file(dir_ + "tables.conf", "events = line:256\n");
        config.tables_file = dir_ + "tables.conf";
        config.state_dir = dir_ + "state";
        *logger = std::make_unique<server::Logger>([](const std::string&) {});
        *srv = std::make_unique<server::Server>(config, **logger);
        std::string error;
        ASSERT_TRUE((*srv)->start(&error)) << error;
        write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" +
                  std::to_string((*srv)->port()) + "\nBASE_DIR=" + dir_ + "local\n");
    }

    // The loop: N = 1, 2, ... until the action runs without meeting its fault.
    void loop(int mode, bool sticky) {
        if (mode == 1) write_ini("[Config]\nCTRL_MODE=1\nBASE_DIR=" + files_ + "\n");
        for (const Op& op : operations()) {
            if (op.table && mode == 1) continue;  // tables are served in working mode 2 only
            const Outcome clean = run(op, mode, 0, false);  // untouched: the files after
            ASSERT_GE(clean.code, 0) << op.name << ": " << clean.log;
            for (int n = 1;; ++n) {
                ASSERT_LT(n, 200) << op.name << ": the loop does not end";
                const Outcome r = run(op, mode, n, sticky);
                if (n > r.calls) {
                    EXPECT_GT(n, 1) << op.name << " made no platform call to fail";
                    EXPECT_EQ(r.code, clean.code) << op.name;
                    break;
                }
                check(op, mode, n, r, clean.files);
                // The record is stored whole or not at all (a reply lost on its way may
                // leave a stored record reported as failed: the client cannot know).
                EXPECT_TRUE(r.records == records_before(op) || r.records == clean.records)
                    << op.name << " n=" << n << ": " << r.records << " records";
            }
        }
    }

    // A failed run gave a code and logged it; the files are as before or as after.
    void check(const Op& op, int mode, int n, const Outcome& r, const std::string& after) {
        SCOPED_TRACE(std::string(op.name) + " mode " + std::to_string(mode) +
                     " n=" + std::to_string(n));
        if (r.code < 0) {
            EXPECT_TRUE(reports_failure(r.log)) << r.log;
        }
        const std::string before = files_before(op);
        EXPECT_TRUE(r.files == before || r.files == after)
            << "files: " << r.files << "before: " << before << "after: " << after;
    }

    // The files after the setup alone: the seed file, and the file the setup opened.
    std::string files_before(const Op& op) const {
        const std::string name = op.name;
        if (name == "write") return "a.txt=hello\nw.txt=\n";
        if (name == "close") return "a.txt=hello\nw.txt=" + std::string(kData) + "\n";
        return "a.txt=hello\n";
    }

    // The records the setup alone stores.
    static int records_before(const Op& op) { return std::string(op.name) == "table-close"; }

    std::string files_;  // the base folder (mode 1) or the server's root (mode 2)
};

TEST_F(FaultLoopTest, LocalOperationsSurviveAFailureOfEveryCall) { loop(1, false); }
TEST_F(FaultLoopTest, LocalOperationsSurviveEveryCallFailingFromThenOn) { loop(1, true); }
TEST_F(FaultLoopTest, RemoteOperationsSurviveAFailureOfEveryCall) { loop(2, false); }
TEST_F(FaultLoopTest, RemoteOperationsSurviveEveryCallFailingFromThenOn) { loop(2, true); }

}  // namespace
}  // namespace gavo::test
