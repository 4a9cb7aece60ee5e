// The gavo tool, run as a separate program the way scripts and people run it. Each test
// has its own folder, named to the tool as its INI file ($GAVO_INI), its log folder
// ($XDG_STATE_HOME) and its home, so parallel tests never meet.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/fault_proxy.h"
#include "tests/test_support.h"
#include "tests/wire_client.h"
#ifdef GAVO_SERVER_BIN
#include "tests/server_process.h"
#endif

extern char** environ;

namespace gavo::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

// Bytes that no short or misplaced copy reproduces by chance.
std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(gen());
    return bytes;
}

// Starts argv[0] with standard input, output and error on the named files; -1 on failure.
pid_t spawn(std::vector<std::string> argv, const std::string& in, const std::string& out,
            const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int wait_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The master side of a new pseudo-terminal, whose slave (ptsname) stands for a terminal
// on the tool's standard error; -1 on failure.
int open_terminal() {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) return master;
    if (master >= 0) close(master);
    return -1;
}

// Everything the terminal was sent (the tool has ended); closes the master side.
std::string drain(int master) {
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {
        shown.append(buffer, static_cast<size_t>(n));
    }
    close(master);
    return shown;
}

// The temporary names of uploads and fetches left under `dir`.
std::vector<std::string> temporaries(const std::string& dir) {
    std::vector<std::string> found;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.path().filename().string().find(".gavo-") != std::string::npos)
            found.push_back(e.path().string());
    return found;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        store_ = dir_ + "store/";
        ASSERT_EQ(0, ::mkdir(store_.c_str(), 0755));
        write_ini(dir_ + "gavo.ini", "1", store_);
        // Each test is a process of its own: its environment is the tool's.
        setenv("GAVO_INI", (dir_ + "gavo.ini").c_str(), 1);
        setenv("XDG_STATE_HOME", (dir_ + "state").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir_ + "config").c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
    }
    void TearDown() override {
        proxy_.reset();
#ifdef GAVO_SERVER_BIN
        server_.reset();
#endif
        remove_tree(dir_);
    }

    // Runs the file server on a free loopback port, serving store_, and points gavo.ini
    // at it (working mode 2), through a fault proxy when `proxied`.
    void use_server(std::vector<std::string> options = {}, bool proxied = false) {
#ifdef GAVO_SERVER_BIN
        std::vector<std::string> args{"--listen", "127.0.0.1:0", "--root", store_};
        args.insert(args.end(), options.begin(), options.end());
        server_ = std::make_unique<ServerProcess>();
        ASSERT_TRUE(server_->start(args, dir_ + "server.log")) << read_file(dir_ + "server.log");
        int port = server_->port();
        if (proxied) proxy_ = std::make_unique<FaultProxy>(port);
        write_server_ini(dir_ + "gavo.ini", proxied ? proxy_->port() : port);
#else
        (void)options, (void)proxied;
        FAIL() << "built without the file server";
#endif
    }

    static void write_ini(const std::string& path, const std::string& mode,
                          const std::string& base) {
        write_file(path, "[Config]\nCTRL_MODE=" + mode + "\nBASE_DIR=" + base + "\n");
    }
    static void write_server_ini(const std::string& path, int port) {
        write_file(path, "[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" +
                             std::to_string(port) + "\n");
    }

    pid_t start(const std::vector<std::string>& args, const std::string& in_path,
                const std::string& tag, const std::string& stderr_path = "") {
        std::vector<std::string> argv{GAVO_TOOL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return spawn(argv, in_path, dir_ + "out" + tag,
                     stderr_path.empty() ? dir_ + "err" + tag : stderr_path);
    }
    Outcome finish(pid_t pid, const std::string& tag) {
        Outcome result;
        if (pid < 0) return result;
        result.exit = wait_exit(pid);
        result.out = read_file(dir_ + "out" + tag);
        result.err = read_file(dir_ + "err" + tag);
        return result;
    }
    // Runs gavo with `args`, feeding `input` on standard input. `stderr_path` replaces the
    // captured standard error (for a terminal).
    Outcome run(const std::vector<std::string>& args, const std::string& input = "",
                const std::string& stderr_path = "") {
        write_file(dir_ + "in", input);
        return finish(start(args, dir_ + "in", "", stderr_path), "");
    }

    std::string dir_;
    std::string store_;  // BASE_DIR in working mode 1, the server's root in working mode 2
#ifdef GAVO_SERVER_BIN
    std::unique_ptr<ServerProcess> server_;
#endif
    std::unique_ptr<FaultProxy> proxy_;
};

// The tests that hold in both working modes: the tool is the same host either way.
class ToolBothModesTest : public ToolTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (GetParam() == 2) use_server();
    }
    std::string where() const {
        return GetParam() == 1 ? "(folder " + store_ + ")" : "(server 127.0.0.1:";
    }
};

#ifdef GAVO_SERVER_BIN
INSTANTIATE_TEST_SUITE_P(WorkingMode, ToolBothModesTest, ::testing::Values(1, 2),
                         [](const auto& p) { return p.param == 1 ? "Local" : "Server"; });
#else
INSTANTIATE_TEST_SUITE_P(WorkingMode, ToolBothModesTest, ::testing::Values(1),
                         [](const auto&) { return std::string("Local"); });
#endif

TEST_P(ToolBothModesTest, PutAndGetCarryAFileLargerThanBufferAndChunkByteForByte) {
    // Larger than the 4096-byte connection buffer and than several 1 MiB chunks, and
    // not a multiple of either.
    std::string bytes = random_bytes(5 * 1024 * 1024 + 123, 1);
    write_file(dir_ + "big.bin", bytes);
    Outcome put = run({"put", dir_ + "big.bin", "deep/er/big.bin"});
    EXPECT_EQ(0, put.exit) << put.err;
    EXPECT_EQ("", put.err) << "quiet when standard error is not a terminal";
    EXPECT_TRUE(read_file(store_ + "deep/er/big.bin") == bytes);

    Outcome get = run({"get", "deep/er/big.bin", dir_ + "back.bin"});
    EXPECT_EQ(0, get.exit) << get.err;
    EXPECT_EQ("", get.err);
    EXPECT_TRUE(read_file(dir_ + "back.bin") == bytes);
    EXPECT_TRUE(temporaries(store_).empty());
}

TEST_P(ToolBothModesTest, PutFromStandardInputAndCatToStandardOutput) {
    std::string text = "line one\nline two\n";
    EXPECT_EQ(0, run({"put", "-", "piped.txt"}, text).exit);
    Outcome cat = run({"cat", "piped.txt"});
    EXPECT_EQ(0, cat.exit) << cat.err;
    EXPECT_EQ(text, cat.out);
    write_file(dir_ + "empty", "");
    EXPECT_EQ(0, run({"put", dir_ + "empty", "empty"}).exit);
    write_file(dir_ + "back", "old");
    EXPECT_EQ(0, run({"get", "empty", dir_ + "back"}).exit);
    EXPECT_EQ("", read_file(dir_ + "back"));
}

TEST_P(ToolBothModesTest, ExistsRmAndMvReportWhatFailedWhereInWords) {
    write_file(store_ + "a.txt", "a");
    write_file(store_ + "c.txt", "c");
    EXPECT_EQ(0, run({"exists", "a.txt"}).exit);
    Outcome missing = run({"exists", "missing.txt"});
    EXPECT_EQ(1, missing.exit);
    EXPECT_EQ("", missing.err) << "a missing name is an answer, not a failure";

    Outcome rm = run({"rm", "a.txt", "b.txt", "c.txt"});
    EXPECT_EQ(3, rm.exit);
    EXPECT_NE(std::string::npos, rm.err.find("gavo rm: cannot remove 'b.txt' " + where()))
        << rm.err;
    EXPECT_NE(std::string::npos, rm.err.find("not found (code -102)")) << rm.err;
    EXPECT_TRUE(fs::exists(store_ + "c.txt")) << "stops at the first failure";
    EXPECT_EQ(3, run({"--keep-going", "rm", "a.txt", "c.txt"}).exit);
    EXPECT_FALSE(fs::exists(store_ + "c.txt"));

    write_file(store_ + "old.txt", "moved");
    EXPECT_EQ(0, run({"mv", "old.txt", "new.txt"}).exit);
    EXPECT_EQ("moved", read_file(store_ + "new.txt"));
    Outcome again = run({"mv", "old.txt", "other.txt"});
    EXPECT_EQ(3, again.exit);
    EXPECT_NE(std::string::npos, again.err.find("cannot rename 'old.txt' to 'other.txt'"))
        << again.err;
}

TEST_P(ToolBothModesTest, FailedPutOrGetLeavesStoredAndLocalFilesByteForByte) {
    const std::string precious = random_bytes(3000, 4);
    write_file(store_ + "precious.txt", precious);
    write_file(dir_ + "keep.txt", "kept");
    write_file(dir_ + "a.txt", "new bytes");
    ASSERT_EQ(0, ::mkdir((dir_ + "sub").c_str(), 0755));
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string message;
    } cases[] = {
        {{"put", "--force", dir_ + "no-such-file", "precious.txt"}, 4, "cannot open"},
        {{"put", "--force", dir_ + "sub", "precious.txt"}, 4, "is a directory"},
        {{"put", "--force", "/proc/self/mem", "precious.txt"}, 4, "input/output error"},
        {{"put", dir_ + "a.txt", "precious.txt"}, 3, "already exists"},
        {{"put", dir_ + "a.txt", std::string(500, 'n')}, 3, "name longer than 499 bytes (code -1)"},
        {{"get", "missing.txt", dir_ + "keep.txt"}, 3, "cannot open 'missing.txt'"},
    };
    for (const Case& c : cases) {
        Outcome out = run(c.args);
        EXPECT_EQ(c.exit, out.exit) << c.args[2] << ": " << out.err;
        EXPECT_NE(std::string::npos, out.err.find(c.message)) << out.err;
        EXPECT_TRUE(read_file(store_ + "precious.txt") == precious) << c.args[2];
        EXPECT_TRUE(temporaries(store_).empty() && temporaries(dir_).empty()) << c.args[2];
    }
    EXPECT_EQ("kept", read_file(dir_ + "keep.txt"));
    EXPECT_EQ(0, run({"put", "--force", dir_ + "a.txt", "precious.txt"}).exit);
    EXPECT_EQ("new bytes", read_file(store_ + "precious.txt"));
}

TEST_P(ToolBothModesTest, GetWritesIntoDevicesFifosThroughLinksAndSharesTheFile) {
    const std::string bytes = random_bytes(3 * 1024 * 1024 + 7, 5);
    write_file(store_ + "f.bin", bytes);
    EXPECT_EQ(0, run({"get", "f.bin", "/dev/null"}).exit);
    struct stat st;
    ASSERT_EQ(0, ::stat("/dev/null", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node stays";

    write_file(dir_ + "target", "old");
    fs::create_symlink(dir_ + "target", dir_ + "link");
    EXPECT_EQ(0, run({"get", "f.bin", dir_ + "link"}).exit);
    EXPECT_TRUE(fs::is_symlink(dir_ + "link"));
    EXPECT_TRUE(read_file(dir_ + "target") == bytes);

    ASSERT_EQ(0, ::mkfifo((dir_ + "fifo").c_str(), 0600));
    std::string through_fifo;
    std::thread reader([&] { through_fifo = read_file(dir_ + "fifo"); });
    EXPECT_EQ(0, run({"get", "f.bin", dir_ + "fifo"}).exit);
    reader.join();
    EXPECT_TRUE(through_fifo == bytes);

    // Two readers of one file at once, and several names into a folder.
    write_file(dir_ + "in", "");
    ASSERT_EQ(0, ::mkdir((dir_ + "d").c_str(), 0755));
    pid_t first = start({"get", "f.bin", dir_ + "one"}, dir_ + "in", "1");
    pid_t second = start({"get", "f.bin", "f.bin", dir_ + "d"}, dir_ + "in", "2");
    Outcome a = finish(first, "1"), b = finish(second, "2");
    EXPECT_EQ(0, a.exit) << a.err;
    EXPECT_EQ(0, b.exit) << b.err;
    EXPECT_TRUE(read_file(dir_ + "one") == bytes && read_file(dir_ + "d/f.bin") == bytes);
}

TEST_F(ToolTest, MessagesOptionsAndConfigurationSearch) {
    write_file(dir_ + "a.txt", "a");
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out, err;
    } cases[] = {
        {{"--version"}, 0, "gavo " GAVO_VERSION, ""},
        {{}, 2, "", "gavo: a command is required"},
        {{"exists"}, 2, "", "gavo exists: NAME is required"},
        {{"list"}, 2, "", "gavo: unknown command 'list'"},
        {{"ls"}, 3, "", "listing needs working mode 2 (a file server)"},
        {{"clean-temp", "--older-than", "2x"}, 2, "", "'2x' is no duration"},
        {{"--bogus", "exists", "a"}, 2, "", "gavo: unknown option '--bogus'"},
        {{"put", "only-one"}, 2, "", ""},
        {{"--ini", dir_ + "none.ini", "put", dir_ + "a.txt", "zz"},
         2,
         "",
         "cannot read the INI file '" + dir_ + "none.ini'"},
        {{"record", "events"}, 3, "", "tables need working mode 2 (CTRL_MODE=2)"},
        {{"config"}, 0, "INI file:     " + dir_ + "gavo.ini (from $GAVO_INI)", ""},
        {{"config", "--log-dir", dir_ + "logs"},
         0,
         "error log:    " + dir_ + "logs/gavo_nfile_err.log",
         ""},
        {{"-v", "exists", "a"}, 1, "", "logs in " + dir_ + "state/gavo/"},
    };
    for (const Case& c : cases) {
        Outcome out = run(c.args);
        EXPECT_EQ(c.exit, out.exit) << c.args.size() << " words: " << out.err;
        EXPECT_NE(std::string::npos, out.out.find(c.out)) << out.out;
        EXPECT_NE(std::string::npos, out.err.find(c.err)) << out.err;
    }
    EXPECT_FALSE(fs::exists("zz"));
    EXPECT_TRUE(fs::exists(dir_ + "state/gavo/gavo_nfile_err.log"));
    for (const char* sub : {"put", "get", "cat", "rm", "mv", "exists", "record", "config", "ls",
                            "stat", "rmdir", "clean-temp"})
        EXPECT_NE(std::string::npos,
                  run({sub, "--help"}).out.find(std::string("Usage: gavo ") + sub));

    unsetenv("GAVO_INI");  // the user's INI, with an unknown working mode
    fs::create_directories(dir_ + "config/gavo");
    write_ini(dir_ + "config/gavo/gavo.ini", "3", store_);
    Outcome unknown = run({"exists", "a.txt"});
    EXPECT_EQ(3, unknown.exit) << "a failure must not read as 'does not exist'";
    EXPECT_NE(std::string::npos, unknown.err.find("unknown working mode")) << unknown.err;
}

TEST_F(ToolTest, BashCompletionOffersSubcommandsAndOptions) {
    std::string script = std::string("source ") + GAVO_SOURCE_DIR +
                         "/tools/gavo.bash; COMP_WORDS=(gavo re); COMP_CWORD=1; _gavo; "
                         "echo \"${COMPREPLY[*]}\"; COMP_WORDS=(gavo put --f); COMP_CWORD=2; "
                         "_gavo; echo \"${COMPREPLY[*]}\"";
    write_file(dir_ + "in", "");
    Outcome out =
        finish(spawn({"/bin/bash", "-c", script}, dir_ + "in", dir_ + "out", dir_ + "err"), "");
    EXPECT_EQ("record\n--force\n", out.out) << out.err;
}

TEST_F(ToolTest, ProgressBarAndSummaryAreDrawnOnATerminalButNotWithQuiet) {
    write_file(dir_ + "big.bin", random_bytes(3 * 1024 * 1024, 2));
    int master = open_terminal();
    ASSERT_GE(master, 0);
    EXPECT_EQ(0, run({"put", dir_ + "big.bin", "big.bin"}, "", ptsname(master)).exit);
    std::string shown = drain(master);
    EXPECT_NE(std::string::npos, shown.find("3.0 MiB / 3.0 MiB 100%")) << shown;
    EXPECT_NE(std::string::npos, shown.find("/s")) << shown;
    EXPECT_NE(std::string::npos, shown.find("left")) << shown;
    EXPECT_NE(std::string::npos, shown.find("\r3.0 MiB in ")) << shown;  // the summary stays
    master = open_terminal();
    EXPECT_EQ(0, run({"-q", "get", "big.bin", dir_ + "back"}, "", ptsname(master)).exit);
    EXPECT_EQ("", drain(master));
}

#ifdef GAVO_SERVER_BIN
// Every line of the README's example block, run as written by /bin/sh in a folder with
// the files it names, against a server with the tables it names.
TEST_F(ToolTest, ReadmeExamplesRunAsWrittenAgainstTheServer) {
    std::ifstream readme(std::string(GAVO_SOURCE_DIR) + "/README.md");
    std::stringstream text;
    text << readme.rdbuf();
    size_t at = text.str().find("```sh\n", text.str().find("## The `gavo` tool"));
    ASSERT_NE(std::string::npos, at);
    std::string block = text.str().substr(at + 6, text.str().find("```", at + 6) - at - 6);
    write_file(dir_ + "tables", "events = line\nreadings = fixed:4\n");
    use_server({"--tables", dir_ + "tables"});
    fs::copy_file(dir_ + "gavo.ini", dir_ + "other.ini");
    for (const char* f : {"report.pdf", "a.txt", "b.txt"}) write_file(dir_ + f, f);
    ASSERT_EQ(0, ::mkdir((dir_ + "bin").c_str(), 0755));
    fs::create_symlink(GAVO_TOOL_PATH, dir_ + "bin/gavo");
    std::string script = "cd " + dir_ + " && PATH=" + dir_ + "bin:$PATH && set -e\n" + block;
    write_file(dir_ + "in", "");
    Outcome out =
        finish(spawn({"/bin/sh", "-c", script}, dir_ + "in", dir_ + "out", dir_ + "err"), "");
    EXPECT_EQ(0, out.exit) << out.err << block;
    EXPECT_EQ("report.pdf", read_file(dir_ + "copy.pdf"));
    EXPECT_EQ("a.txt", read_file(store_ + "a.txt"));
    // The records as stored: "one" and "two" without their line feeds, then two 4-byte ones.
    std::string export_bin = fs::path(GAVO_SERVER_BIN).parent_path() / "gavo-tables-export";
    std::string records = dir_ + "records";
    EXPECT_EQ(
        0, wait_exit(spawn({export_bin, "--state", store_.substr(0, store_.size() - 1) + ".state",
                            "--format", "csv"},
                           dir_ + "in", records, dir_ + "err")));
    for (const char* b64 : {"b25l", "dHdv", "YWJjZA==", "ZWZnaA=="})
        EXPECT_NE(std::string::npos, read_file(records).find(b64)) << read_file(records);
    Outcome short_record = run({"record", "--record-size", "4", "readings"}, "abcdefg");
    EXPECT_EQ(4, short_record.exit);
    EXPECT_NE(std::string::npos, short_record.err.find("3 of 4 bytes left over, not sent"));
    Outcome unsized = run({"record", "readings"}, "hello\n");
    EXPECT_EQ(3, unsized.exit);
    EXPECT_NE(std::string::npos, unsized.err.find("give --record-size N")) << unsized.err;
}

TEST_F(ToolTest, PutCutMidWayOrInterruptedLeavesTheStoredFileAndNoTemporaryName) {
    use_server({}, true);
    const std::string precious = random_bytes(1000, 6);
    write_file(store_ + "precious.txt", precious);
    write_file(dir_ + "big.bin", random_bytes(3 * 1024 * 1024, 7));
    // The server's connection is cut after 1.5 MiB of the upload; the library reconnects.
    proxy_->arm(0, FaultProxy::Dir::ToServer, 3 * 512 * 1024, FaultProxy::Fault::Close);
    Outcome cut = run({"put", "--force", dir_ + "big.bin", "precious.txt"});
    EXPECT_EQ(3, cut.exit) << cut.err;
    EXPECT_TRUE(read_file(store_ + "precious.txt") == precious);
    EXPECT_TRUE(temporaries(store_).empty()) << cut.err;

    // Ctrl-C while the source, a pipe, has sent 1.5 MiB and waits for more.
    ASSERT_EQ(0, ::mkfifo((dir_ + "fifo").c_str(), 0600));
    write_file(dir_ + "in", "");
    pid_t put = start({"put", "--force", dir_ + "fifo", "precious.txt"}, dir_ + "in", "");
    int fd = ::open((dir_ + "fifo").c_str(), O_WRONLY);
    std::string part = random_bytes(3 * 512 * 1024, 8);
    ASSERT_EQ(ssize_t(part.size()), ::write(fd, part.data(), part.size()));
    for (int i = 0; i < 3000 && temporaries(store_).empty(); ++i) usleep(10000);
    EXPECT_FALSE(temporaries(store_).empty());
    kill(put, SIGINT);
    Outcome interrupted = finish(put, "");
    ::close(fd);
    EXPECT_EQ(130, interrupted.exit) << interrupted.err;
    EXPECT_NE(std::string::npos, interrupted.err.find("gavo put: interrupted (SIGINT)"));
    EXPECT_TRUE(read_file(store_ + "precious.txt") == precious);
    EXPECT_TRUE(temporaries(store_).empty());
}

TEST_F(ToolTest, FoldersAreListedCopiedRemovedAndTidiedOverTheServer) {
    use_server({}, true);
    ASSERT_EQ(0, system(("mkdir -p " + dir_ + "src/sub " + store_ + "d/empty").c_str()));
    write_file(dir_ + "src/a.txt", "aa");
    write_file(dir_ + "src/sub/b\x01.txt", "b");
    EXPECT_EQ(0, run({"put", "-r", dir_ + "src", "d/copy"}).exit);
    Outcome ls = run({"ls", "-R", "d"});
    EXPECT_EQ("d:\ncopy\nempty\n\nd/copy:\na.txt\nsub\n\nd/copy/sub:\nb\\001.txt\n\nd/empty:\n",
              ls.out)
        << ls.err;
    EXPECT_EQ(0, run({"get", "-r", "d/copy", dir_ + "back"}).exit);
    EXPECT_EQ("b", read_file(dir_ + "back/sub/b\x01.txt"));
    // Refusals say what happened, with the code a host would see.
    const struct {
        std::vector<std::string> args;
        std::string message;
    } refusals[] = {
        {{"rmdir", "d/copy"}, "folder not empty (code -1)"},
        {{"rmdir", "d/copy/a.txt"}, "not a folder (code -103)"},
        {{"rm", "d/empty"}, "is a folder (gavo rmdir removes an empty one) (code -103)"},
        {{"mv", "d/copy/a.txt", "d/empty"}, "'d/empty' exists (code -103)"},
        {{"ls", "d/none"}, "not found (code -102)"},
    };
    for (const auto& r : refusals) {
        Outcome out = run(r.args);
        EXPECT_EQ(3, out.exit);
        EXPECT_NE(std::string::npos, out.err.find(r.message)) << out.err;
    }
    EXPECT_EQ(0, run({"rmdir", "d/empty"}).exit);
    EXPECT_FALSE(fs::exists(store_ + "d/empty"));
    // clean-temp: an old temporary goes, a recent one and one an upload holds open stay.
    write_file(store_ + "d/.gavo-put-old00001", "x");
    write_file(store_ + "d/.gavo-put-recent01", "x");
    WireClient uploader;
    ASSERT_TRUE(uploader.connect(server_->port()));
    ASSERT_GE(uploader.open(0x0A, "d/.gavo-put-open0001"), 0);
    for (const char* name : {"d/.gavo-put-old00001", "d/.gavo-put-open0001"})
        ASSERT_EQ(0, system(("touch -d '2 hours ago' " + store_ + name).c_str()));
    Outcome clean = run({"clean-temp", "--older-than", "1h"});
    EXPECT_EQ(0, clean.exit) << clean.err;
    EXPECT_EQ("removed d/.gavo-put-old00001 (1 bytes)\n", clean.out);
    EXPECT_NE(std::string::npos, clean.err.find("kept 'd/.gavo-put-open0001': still open"));
    EXPECT_TRUE(fs::exists(store_ + "d/.gavo-put-recent01"));
    // A server that ends the connection at a listing request does not know it.
    proxy_->arm(proxy_->accepted(), FaultProxy::Dir::ToClient, 0, FaultProxy::Fault::Close);
    Outcome old = run({"ls"});
    EXPECT_EQ(3, old.exit);
    EXPECT_NE(std::string::npos, old.err.find("the server does not support listing")) << old.err;
}

TEST_F(ToolTest, ServerFailuresNameTheServerAndTheCause) {
    use_server({"--read-only"}, true);
    write_file(dir_ + "a.txt", "x");
    Outcome put = run({"put", dir_ + "a.txt", "a.txt"});
    EXPECT_EQ(3, put.exit);
    EXPECT_NE(std::string::npos, put.err.find("access denied (code -103)")) << put.err;
    EXPECT_FALSE(fs::exists(store_ + "a.txt"));

    // A server that accepts and never answers: --timeout ends the command.
    proxy_->arm(proxy_->accepted(), FaultProxy::Dir::ToClient, 0, FaultProxy::Fault::Stall);
    Outcome stalled = run({"--timeout", "1", "exists", "a.txt"});
    EXPECT_EQ(5, stalled.exit);
    EXPECT_NE(std::string::npos, stalled.err.find("gavo exists: timed out after 1 s (--timeout)"))
        << stalled.err;

    for (const char* program : {"gavo-server", "gavo-tables-export"}) {
        std::string path = fs::path(GAVO_SERVER_BIN).parent_path() / program;
        Outcome version =
            finish(spawn({path, "--version"}, dir_ + "in", dir_ + "out", dir_ + "err"), "");
        EXPECT_EQ(std::string(program) + " " GAVO_VERSION "\n", version.out);
    }
    EXPECT_NE(std::string::npos,
              read_file(dir_ + "server.log").find("gavo-server " GAVO_VERSION "\n"));
    proxy_.reset();
    server_.reset();  // the port is closed now
    Outcome refused = run({"exists", "a.txt"});
    EXPECT_EQ(3, refused.exit);
    EXPECT_NE(std::string::npos, refused.err.find("cannot connect: connection refused (code -200)"))
        << refused.err;
}
#endif

}  // namespace
}  // namespace gavo::test
