// Every message text of the library against its UTF-8 text converted to code page 936
// by iconv at run time, so that a wrong byte in a constant shows here rather than as
// garbled text in a host's error log.
#include "net/messages.h"

#include <string>

#include "tests/test_support.h"

namespace gavo::test {
namespace {

struct MessageText {
    const char* name;
    const char* bytes;
    const char* utf8;
};

#define MESSAGE(constant, text) \
    { #constant, msg::constant, text }

const MessageText kMessageTexts[] = {
    MESSAGE(kOpenArchiveChannel, "NFile_Init:打开存档连接"),
    MESSAGE(kOpenLogChannel, "NFile_Init:打开日志连接"),
    MESSAGE(kSucceeded, "成功"),
    MESSAGE(kFailed, "失败"),
    MESSAGE(kNoReconnect, "没有自动重连,fsmode =%d \n,"),
    MESSAGE(kReconnectCloseArchive, "自动重连前（存档）,关闭连接\n"),
    MESSAGE(kReconnectedArchive, "第%d次自动重连存档通道\n"),
    MESSAGE(kReconnectCloseLog, "自动重连前（日志）,关闭连接\n"),
    MESSAGE(kReconnectedLog, "第%d次自动重连Log通道\n"),
    MESSAGE(kFallbackToLocal, "自动重连失败，自动转入本地系统\n"),
    MESSAGE(kNetOpenNoMemory, "net_open_client,内存分配失败，关闭连接"),
    MESSAGE(kReadModeError, "读取模式错误"),
    MESSAGE(kReadZeroBytes, "读取字节为0"),
    MESSAGE(kWriteModeError, "写入模式错误"),
    MESSAGE(kWriteZeroBytes, "写入字节为0"),
    MESSAGE(kNoRemoteDatabase, "无法连接远程数据库"),
    MESSAGE(kMakeDirsFailed, "创建目录失败"),
    MESSAGE(kCFileError, "CFile错误"),
    MESSAGE(kBadName, "文件名为空或过长"),
    MESSAGE(kValueTooLong, "配置值过长"),
    MESSAGE(kValueInvalid, "配置值无效"),
    MESSAGE(kIniPathTooLong, "配置文件路径过长"),
    MESSAGE(kLockCreateFailed, "创建锁失败"),
    MESSAGE(kNoLocalFile, "本地文件未打开"),
    MESSAGE(kReplyTooLong, "回复字节数超过请求"),
    MESSAGE(kTransferFailed, "数据传输失败"),
    MESSAGE(kBadBuffer, "缓冲区或字节数无效"),
};

TEST(MessagesTest, EveryConstantIsItsTextInCodePage936) {
    for (const MessageText& m : kMessageTexts) {
        std::string expected = gbk(m.utf8);
        ASSERT_FALSE(expected.empty()) << m.name << ": no conversion to code page 936";
        EXPECT_EQ(std::string(m.bytes), expected) << m.name;
    }
}

}  // namespace
}  // namespace gavo::test
