// What the Windows platform seam does that the Linux tests cannot see: Winsock's error
// numbers, the reply time-out in milliseconds, CR LF in the error log, share modes that
// hold for every opener, handles that are not inherited, and an INI reader that answers as
// GetPrivateProfileStringA does.
#include <windows.h>

#include <string>

#include "include/GAVO_Client.h"
#include "net/netconn.h"
#include "runtime/config.h"
#include "runtime/state.h"
#include "tests/remote_fixture.h"

namespace gavo::test {
namespace {

using WindowsTest = RemoteTest;

TEST_F(WindowsTest, SocketErrorsAreWinsockNumbers) {
    RefusingPort refusing;
    write_remote_ini(refusing.port_text());
    EXPECT_EQ(NFile_Init(), 0);
    EXPECT_NE(error_log().find("\nSocketError10061\n"), std::string::npos) << error_log();
}

TEST_F(WindowsTest, ReplyTimeOutIsMillisecondsAndExpiresAsWinsockTimeOut) {
    server_.respond(0, [](const std::string&, std::string*) { return size_t{0}; });  // silent
    server_.reply(2, 6, be32(1));  // the reconnected archive channel answers IsExist
    write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nREPLY_TIMEOUT=1\nHOST_PORT=" +
              server_.port_text() + "\n");
    ASSERT_EQ(NFile_Init(), 1);
    DWORD timeout = 0, keepalive = 0;
    int len = sizeof timeout;
    SOCKET s = static_cast<SOCKET>(gavo::lib::archive_conn->sockfd);
    getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), &len);
    getsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&keepalive), &len);
    EXPECT_EQ(timeout, 1000u);
    EXPECT_EQ(keepalive, 1u);
    CNFile file;
    EXPECT_EQ(file.Open("a.txt", 1), -53);
    EXPECT_NE(trace_log().find("net_getshort recv errorcode 10060\n"), std::string::npos);
    EXPECT_EQ(CNFile::IsExist("b"), -100);
    EXPECT_EQ(CNFile::IsExist("b"), 1);
}

TEST_F(WindowsTest, TlsAskedForIsRefusedByABuildWithoutIt) {
    write_ini("[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=" + server_.port_text() +
              "\n[TLS]\nENABLE=1\n");
    EXPECT_EQ(NFile_Init(), 0);
    EXPECT_TRUE(reported("NFile_Init:TLS:ENABLE", -1, gbk("此版本不支持TLS")));
    EXPECT_EQ(server_.wait_accepted(0), 0);  // nothing went out in plain text
}

TEST_F(WindowsTest, ErrorLogLinesEndInCrLf) {
    write_ini("[Config]\nCTRL_MODE=1\n");
    ASSERT_EQ(NFile_Init(), 1);
    NFile_Close();
    std::string raw = read_file(dir_ + "gavo_nfile_err.log");
    EXPECT_NE(raw.find(",NFile_Init:CTRL_MODE,0,1\r\n"), std::string::npos) << raw;
    EXPECT_EQ(raw.find(",1\n"), std::string::npos);
}

TEST_F(WindowsTest, ShareModesHoldForEveryOpenerAndBlockRemoval) {
    write_ini("[Config]\nCTRL_MODE=1\nBASE_DIR=" + dir_ + "\n");
    ASSERT_EQ(NFile_Init(), 1);
    CNFile held;
    ASSERT_EQ(held.Open("held.dat", NFILE_WRITE | NFILE_CREATE | NFILE_SHARE_EXCL), 0);
    HANDLE other =
        CreateFileA((dir_ + "held.dat").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(CNFile::Remove("held.dat"), -1);  // 32, sharing violation
    EXPECT_NE(error_log().find(",RemoveFile,-1,"), std::string::npos);
    held.Close();
    EXPECT_EQ(CNFile::Remove("held.dat"), 0);
}

TEST_F(WindowsTest, FilesAndSocketsAreNotInherited) {
    Platform& system = gavo::platform();
    set_platform(nullptr);
    write_file(dir_ + "f.dat", "x");
    int fd = gavo::platform().open((dir_ + "f.dat").c_str(), 0, 0);
    int sock = gavo::platform().socket(AF_INET, SOCK_STREAM, 0);
    DWORD file_flags = 1, sock_flags = 1;
    GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &file_flags);
    GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(sock)), &sock_flags);
    EXPECT_EQ(file_flags & HANDLE_FLAG_INHERIT, 0u);
    EXPECT_EQ(sock_flags & HANDLE_FLAG_INHERIT, 0u);
    char module[MAX_PATH];
    std::string exe(module, GetModuleFileNameA(nullptr, module, MAX_PATH));
    EXPECT_EQ(gavo::platform().exe_dir(), exe.substr(0, exe.find_last_of('\\') + 1));
    gavo::platform().close(fd);
    gavo::platform().close_socket(sock);
    set_platform(&system);
}

// The rows of the INI tests (config_test.cpp), read by the library and by the platform.
TEST_F(WindowsTest, ProfileReaderAnswersAsGetPrivateProfileStringA) {
    const struct {
        const char* text;
        const char* section;
        const char* key;
    } rows[] = {
        {"[other]\nCTRL_MODE=7\n[config]\nctrl_mode = 2\n", "Config", "CTRL_MODE"},
        {"[Config]\nHOST_NAME =  \"srv one\"  \r\n", "Config", "HOST_NAME"},
        {"[Config]\nHOST_NAME='a'\n", "Config", "HOST_NAME"},
        {"[Config]\nHOST_NAME=\"\"x\"\"\n", "Config", "HOST_NAME"},
        {"[Config]\nHOST_NAME=\"a'\n", "Config", "HOST_NAME"},
        {"", "Config", "HOST_PORT"},
        {"[Other]\nHOST_PORT=9\n", "Config", "HOST_PORT"},
        {"[Config]\nHOST=9\n", "Config", "HOST_PORT"},
        {"[Config]\nCTRL_MODE=\n", "Config", "CTRL_MODE"},
        {"CTRL_MODE=2\n[Config]\n", "Config", "CTRL_MODE"},
        {"[Config]\nK=1\nK=2\n[Config]\nK=3\n", "Config", "K"},
        {"[ Config ]\r\n BASE_DIR = C:\\data \r\n", "Config", "BASE_DIR"},
    };
    std::string long_row = "[Config]\nBASE_DIR=" + std::string(600, 'x') + "\n";
    const std::string path = dir_ + "table.ini";
    for (const auto& row : rows) {
        write_file(path, row.text);
        char buf[512];
        DWORD n =
            GetPrivateProfileStringA(row.section, row.key, "dflt", buf, sizeof buf, path.c_str());
        EXPECT_EQ(read_profile_string(path, row.section, row.key, "dflt"), std::string(buf, n))
            << row.text;
    }
    write_file(path, long_row);
    char buf[512];
    DWORD n = GetPrivateProfileStringA("Config", "BASE_DIR", "", buf, sizeof buf, path.c_str());
    EXPECT_EQ(read_profile_string(path, "Config", "BASE_DIR", ""), std::string(buf, n));
}

}  // namespace
}  // namespace gavo::test
