// The gavo tool, run as a separate program the way scripts run it. Each test copies the
// built program into its own folder, so that gavo.ini and gavo_nfile_err.log beside it
// belong to that test alone.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

extern char** environ;

namespace gavo::test {
namespace {

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
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) shown.append(buffer, n);
    close(master);
    return shown;
}

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        std::filesystem::copy_file(GAVO_TOOL_PATH, dir_ + "gavo");
        store_ = dir_ + "store/";
        ASSERT_EQ(0, ::mkdir(store_.c_str(), 0755));
        write_ini(dir_ + "gavo.ini", "1", store_);
    }
    void TearDown() override {
        stop_server();
        remove_tree(dir_);
    }

    // Runs the file server on a free loopback port, serving store_, and points gavo.ini
    // at it (working mode 2).
    void use_server(std::vector<std::string> options = {}) {
#ifdef GAVO_SERVER_PATH
        std::vector<std::string> argv{GAVO_SERVER_PATH, "--listen", "127.0.0.1:0", "--root",
                                      store_};
        argv.insert(argv.end(), options.begin(), options.end());
        std::string log = dir_ + "server.log";
        write_file(dir_ + "server.in", "");
        server_ = spawn(argv, dir_ + "server.in", dir_ + "server.out", log);
        ASSERT_GT(server_, 0);
        std::string port = wait_for_port(log);
        ASSERT_FALSE(port.empty()) << read_file(log);
        write_file(dir_ + "gavo.ini",
                   "[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" + port + "\n");
#else
        (void)options;
        FAIL() << "built without the file server";
#endif
    }

    // The port from the server's first log line ("... port N ..."); empty if the server
    // ended or said nothing for a long while.
    std::string wait_for_port(const std::string& log) {
        for (int i = 0; i < 1000; ++i) {
            std::string text = read_file(log);
            size_t at = text.find(" port ");
            if (at != std::string::npos) {
                size_t end = text.find(' ', at + 6);
                if (end != std::string::npos) return text.substr(at + 6, end - at - 6);
            }
            if (waitpid(server_, nullptr, WNOHANG) == server_) {
                server_ = -1;
                return "";
            }
            usleep(20000);
        }
        return "";
    }

    void stop_server() {
        if (server_ <= 0) return;
        kill(server_, SIGTERM);
        while (waitpid(server_, nullptr, 0) < 0 && errno == EINTR) {
        }
        server_ = -1;
    }

    static void write_ini(const std::string& path, const std::string& mode,
                          const std::string& base) {
        write_file(path, "[Config]\nCTRL_MODE=" + mode + "\nBASE_DIR=" + base + "\n");
    }

    // Runs the copied gavo with `args`, feeding `input` on standard input. `stderr_path`
    // replaces the captured standard error (for a terminal).
    Outcome run(const std::vector<std::string>& args, const std::string& input = "",
                const std::string& stderr_path = "") {
        write_file(dir_ + "in", input);
        std::string err_path = stderr_path.empty() ? dir_ + "err" : stderr_path;
        std::vector<std::string> argv{dir_ + "gavo"};
        argv.insert(argv.end(), args.begin(), args.end());
        Outcome result;
        pid_t pid = spawn(argv, dir_ + "in", dir_ + "out", err_path);
        if (pid < 0) return result;
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = read_file(dir_ + "out");
        result.err = stderr_path.empty() ? read_file(dir_ + "err") : "";
        return result;
    }

    std::string dir_;
    std::string store_;  // BASE_DIR in working mode 1, the server's root in working mode 2
    pid_t server_ = -1;
};

// The tests that hold in both working modes: the tool is the same host either way.
class ToolBothModesTest : public ToolTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (GetParam() == 2) use_server();
    }
};

#ifdef GAVO_SERVER_PATH
INSTANTIATE_TEST_SUITE_P(WorkingMode, ToolBothModesTest, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "Local" : "Server"; });
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
    std::string back = read_file(dir_ + "back.bin");
    EXPECT_EQ(bytes.size(), back.size());
    EXPECT_TRUE(back == bytes);
}

TEST_P(ToolBothModesTest, PutFromStandardInputAndCatToStandardOutput) {
    std::string text = "line one\nline two\n";
    EXPECT_EQ(0, run({"put", "-", "piped.txt"}, text).exit);
    Outcome cat = run({"cat", "piped.txt"});
    EXPECT_EQ(0, cat.exit) << cat.err;
    EXPECT_EQ(text, cat.out);
}

TEST_P(ToolBothModesTest, EmptyFileRoundTrips) {
    write_file(dir_ + "empty", "");
    EXPECT_EQ(0, run({"put", dir_ + "empty", "empty"}).exit);
    write_file(dir_ + "back", "old");
    Outcome get = run({"get", "empty", dir_ + "back"});
    EXPECT_EQ(0, get.exit) << get.err;
    EXPECT_EQ("", read_file(dir_ + "back"));
}

TEST_P(ToolBothModesTest, ExistsExitsZeroForAStoredNameAndOneForAMissingOne) {
    write_file(store_ + "here.txt", "x");
    Outcome here = run({"exists", "here.txt"});
    EXPECT_EQ(0, here.exit);
    EXPECT_EQ("", here.err);
    Outcome missing = run({"exists", "missing.txt"});
    EXPECT_EQ(1, missing.exit);
    EXPECT_EQ("", missing.err) << "a missing name is an answer, not a failure";
}

TEST_P(ToolBothModesTest, RmRemovesAndASecondRmReportsTheCode) {
    write_file(store_ + "gone.txt", "x");
    EXPECT_EQ(0, run({"rm", "gone.txt"}).exit);
    EXPECT_FALSE(std::filesystem::exists(store_ + "gone.txt"));
    Outcome again = run({"rm", "gone.txt"});
    EXPECT_EQ(3, again.exit);
    EXPECT_NE(std::string::npos,
              again.err.find("gavo rm: Remove 'gone.txt' failed: code -102 (not found)"))
        << again.err;
}

TEST_P(ToolBothModesTest, MvRenamesAndReportsAMissingSource) {
    write_file(store_ + "old.txt", "moved");
    EXPECT_EQ(0, run({"mv", "old.txt", "new.txt"}).exit);
    EXPECT_EQ("moved", read_file(store_ + "new.txt"));
    EXPECT_FALSE(std::filesystem::exists(store_ + "old.txt"));
    Outcome again = run({"mv", "old.txt", "other.txt"});
    EXPECT_EQ(3, again.exit);
    EXPECT_NE(std::string::npos, again.err.find("Rename 'old.txt' to 'other.txt' failed: code"))
        << again.err;
}

TEST_P(ToolBothModesTest, FailedGetReportsTheCodeAndKeepsTheExistingLocalFile) {
    write_file(dir_ + "keep.txt", "precious");
    Outcome get = run({"get", "missing.txt", dir_ + "keep.txt"});
    EXPECT_EQ(3, get.exit);
    EXPECT_NE(std::string::npos,
              get.err.find("gavo get: OpenEx 'missing.txt' failed: code -102 (not found)"))
        << get.err;
    EXPECT_EQ("precious", read_file(dir_ + "keep.txt"));
    // No temporary file is left beside it.
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir_))
        entries += e.path().filename().string().rfind("keep.txt", 0) == 0;
    EXPECT_EQ(1, entries);
}

TEST_P(ToolBothModesTest, MissingLocalSourceIsALocalFailure) {
    Outcome put = run({"put", dir_ + "no-such-file", "x.txt"});
    EXPECT_EQ(4, put.exit);
    EXPECT_NE(std::string::npos, put.err.find("cannot open '" + dir_ + "no-such-file'")) << put.err;
    EXPECT_FALSE(std::filesystem::exists(store_ + "x.txt"));
}

TEST_F(ToolTest, LocalFileLayerFailureIsReportedWithItsSystemError) {
    // Without a base folder the name is a local path; /dev/full fails every write.
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    write_file(dir_ + "nobase.ini", "[Config]\nCTRL_MODE=1\n");
    write_file(dir_ + "a.txt", "some bytes");
    Outcome put = run({"--ini", dir_ + "nobase.ini", "put", dir_ + "a.txt", "/dev/full"});
    EXPECT_EQ(3, put.exit);
    EXPECT_NE(std::string::npos,
              put.err.find("gavo put: WriteEx '/dev/full' failed in the local file layer: "
                           "system error 112 (disk full)"))
        << put.err;
}

TEST_F(ToolTest, RecordIsRefusedInWorkingModeOneWithAHint) {
    Outcome rec = run({"record", "events"}, "one\ntwo\n");
    EXPECT_EQ(3, rec.exit);
    EXPECT_NE(std::string::npos,
              rec.err.find("gavo record: Open 'events' failed: code -1 (refused"))
        << rec.err;
    EXPECT_NE(std::string::npos, rec.err.find("CTRL_MODE=2")) << rec.err;
}

TEST_F(ToolTest, UnknownWorkingModeIsReportedInPlainWords) {
    write_ini(dir_ + "gavo.ini", "3", store_);
    Outcome rm = run({"rm", "a.txt"});
    EXPECT_EQ(3, rm.exit);
    EXPECT_NE(std::string::npos, rm.err.find("code -201 (unknown working mode")) << rm.err;
    Outcome exists = run({"exists", "a.txt"});
    EXPECT_EQ(3, exists.exit) << "a failure must not read as 'does not exist'";
}

TEST_F(ToolTest, IniOptionNamesAnotherConfigurationBeforeOrAfterTheSubcommand) {
    std::string other = dir_ + "other/";
    ASSERT_EQ(0, ::mkdir(other.c_str(), 0755));
    write_ini(dir_ + "other.ini", "1", other);
    write_file(dir_ + "a.txt", "via other ini");
    EXPECT_EQ(0, run({"--ini", dir_ + "other.ini", "put", dir_ + "a.txt", "a.txt"}).exit);
    EXPECT_EQ("via other ini", read_file(other + "a.txt"));
    EXPECT_FALSE(std::filesystem::exists(store_ + "a.txt"));
    EXPECT_EQ(0, run({"exists", "a.txt", "--ini", dir_ + "other.ini"}).exit);
}

TEST_F(ToolTest, BadArgumentsExitTwoAndHelpWorksOnEverySubcommand) {
    EXPECT_EQ(2, run({}).exit);
    EXPECT_EQ(2, run({"put", "only-one"}).exit);
    EXPECT_EQ(2, run({"frobnicate"}).exit);
    for (const char* sub : {"put", "get", "cat", "rm", "mv", "exists", "record"}) {
        Outcome help = run({sub, "--help"});
        EXPECT_EQ(0, help.exit) << sub;
        EXPECT_NE(std::string::npos, help.out.find(std::string("Usage: gavo ") + sub)) << sub;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ + "gavo_nfile_err.log"))
        << "help and usage errors do not start the library";
}

TEST_F(ToolTest, ProgressBarWithRateAndTimeLeftIsDrawnOnATerminal) {
    int master = open_terminal();
    ASSERT_GE(master, 0);
    write_file(dir_ + "big.bin", random_bytes(3 * 1024 * 1024, 2));
    Outcome put = run({"put", dir_ + "big.bin", "big.bin"}, "", ptsname(master));
    EXPECT_EQ(0, put.exit);
    std::string shown = drain(master);
    EXPECT_NE(std::string::npos, shown.find("3.0 MiB / 3.0 MiB 100%")) << shown;
    EXPECT_NE(std::string::npos, shown.find("/s")) << shown;
    EXPECT_NE(std::string::npos, shown.find("left")) << shown;
}

#ifdef GAVO_SERVER_PATH
TEST_F(ToolTest, UnreachableServerIsAStartUpFailure) {
    use_server();
    stop_server();  // the port is closed now
    Outcome put = run({"exists", "a.txt"});
    EXPECT_EQ(3, put.exit);
    EXPECT_NE(std::string::npos, put.err.find("gavo exists: NFile_Init")) << put.err;
    EXPECT_NE(std::string::npos, put.err.find("code -200 (library start-up failed")) << put.err;
}

TEST_F(ToolTest, ServerRefusalReachesTheUserAsItsCode) {
    use_server({"--read-only"});
    write_file(dir_ + "a.txt", "x");
    Outcome put = run({"put", dir_ + "a.txt", "a.txt"});
    EXPECT_EQ(3, put.exit);
    EXPECT_NE(std::string::npos,
              put.err.find("gavo put: Open 'a.txt' failed: code -103 (access denied)"))
        << put.err;
    EXPECT_FALSE(std::filesystem::exists(store_ + "a.txt"));
}

TEST_F(ToolTest, ProgressOfAFetchFromTheServerOnATerminal) {
    use_server();
    write_file(store_ + "big.bin", random_bytes(2 * 1024 * 1024, 3));
    int master = open_terminal();
    ASSERT_GE(master, 0);
    Outcome get = run({"get", "big.bin", dir_ + "back.bin"}, "", ptsname(master));
    EXPECT_EQ(0, get.exit);
    EXPECT_NE(std::string::npos, drain(master).find("2.0 MiB / 2.0 MiB 100%"));
    EXPECT_TRUE(read_file(dir_ + "back.bin") == read_file(store_ + "big.bin"));
}
#endif

}  // namespace
}  // namespace gavo::test
