// Every message text of the library, as the bytes of code page 936 (GBK) that the
// error log and the trace log hold. The comment above each gives the text and its meaning.
#pragma once

namespace gavo::msg {

// "NFile_Init:打开存档连接": report where: opening the archive channel
inline constexpr const char kOpenArchiveChannel[] =
    "NFile_Init:\xB4\xF2\xBF\xAA\xB4\xE6\xB5\xB5\xC1\xAC\xBD\xD3";
// "NFile_Init:打开日志连接": report where: opening the log channel
inline constexpr const char kOpenLogChannel[] =
    "NFile_Init:\xB4\xF2\xBF\xAA\xC8\xD5\xD6\xBE\xC1\xAC\xBD\xD3";
// "成功": succeeded
inline constexpr const char kSucceeded[] = "\xB3\xC9\xB9\xA6";
// "失败": failed
inline constexpr const char kFailed[] = "\xCA\xA7\xB0\xDC";
// "没有自动重连,fsmode =%d \n,": no automatic reconnection
inline constexpr const char kNoReconnect[] =
    "\xC3\xBB\xD3\xD0\xD7\xD4\xB6\xAF\xD6\xD8\xC1\xAC,fsmode =%d \n,";
// "自动重连前（存档）,关闭连接\n": before reconnecting (archive): closing the connection
inline constexpr const char kReconnectCloseArchive[] =
    "\xD7\xD4\xB6\xAF\xD6\xD8\xC1\xAC\xC7\xB0\xA3\xA8\xB4\xE6\xB5\xB5\xA3\xA9,"
    "\xB9\xD8\xB1\xD5\xC1\xAC\xBD\xD3\n";
// "第%d次自动重连存档通道\n": archive channel reconnected after %d failed attempts
inline constexpr const char kReconnectedArchive[] =
    "\xB5\xDA%d\xB4\xCE\xD7\xD4\xB6\xAF\xD6\xD8\xC1\xAC\xB4\xE6\xB5\xB5\xCD\xA8\xB5\xC0\n";
// "自动重连前（日志）,关闭连接\n": before reconnecting (log): closing the connection
inline constexpr const char kReconnectCloseLog[] =
    "\xD7\xD4\xB6\xAF\xD6\xD8\xC1\xAC\xC7\xB0\xA3\xA8\xC8\xD5\xD6\xBE\xA3\xA9,"
    "\xB9\xD8\xB1\xD5\xC1\xAC\xBD\xD3\n";
// "第%d次自动重连Log通道\n": log channel reconnected after %d failed attempts
inline constexpr const char kReconnectedLog[] =
    "\xB5\xDA%d\xB4\xCE\xD7\xD4\xB6\xAF\xD6\xD8\xC1\xACLog\xCD\xA8\xB5\xC0\n";
// "自动重连失败，自动转入本地系统\n": reconnection failed, falling back to the local file system
inline constexpr const char kFallbackToLocal[] =
    "\xD7\xD4\xB6\xAF\xD6\xD8\xC1\xAC\xCA\xA7\xB0\xDC\xA3\xAC\xD7\xD4\xB6\xAF\xD7\xAA\xC8\xEB\xB1"
    "\xBE\xB5\xD8\xCF\xB5\xCD\xB3\n";
// "net_open_client,内存分配失败，关闭连接": memory allocation failed, closing the connection
inline constexpr const char kNetOpenNoMemory[] =
    "net_open_client,"
    "\xC4\xDA\xB4\xE6\xB7\xD6\xC5\xE4\xCA\xA7\xB0\xDC\xA3\xAC\xB9\xD8\xB1\xD5\xC1\xAC\xBD\xD3";
// "读取模式错误": not open for reading
inline constexpr const char kReadModeError[] = "\xB6\xC1\xC8\xA1\xC4\xA3\xCA\xBD\xB4\xED\xCE\xF3";
// "读取字节为0": read of 0 bytes
inline constexpr const char kReadZeroBytes[] =
    "\xB6\xC1\xC8\xA1\xD7\xD6\xBD\xDA\xCE\xAA"
    "0";
// "写入模式错误": not open for writing
inline constexpr const char kWriteModeError[] = "\xD0\xB4\xC8\xEB\xC4\xA3\xCA\xBD\xB4\xED\xCE\xF3";
// "写入字节为0": write of 0 bytes
inline constexpr const char kWriteZeroBytes[] =
    "\xD0\xB4\xC8\xEB\xD7\xD6\xBD\xDA\xCE\xAA"
    "0";
// "无法连接远程数据库": cannot reach the remote database
inline constexpr const char kNoRemoteDatabase[] =
    "\xCE\xDE\xB7\xA8\xC1\xAC\xBD\xD3\xD4\xB6\xB3\xCC\xCA\xFD\xBE\xDD\xBF\xE2";
// "创建目录失败": creating the folders failed
inline constexpr const char kMakeDirsFailed[] = "\xB4\xB4\xBD\xA8\xC4\xBF\xC2\xBC\xCA\xA7\xB0\xDC";
// "CFile错误": CFile error
inline constexpr const char kCFileError[] = "CFile\xB4\xED\xCE\xF3";
// "文件名为空或过长": name missing or too long
inline constexpr const char kBadName[] =
    "\xCE\xC4\xBC\xFE\xC3\xFB\xCE\xAA\xBF\xD5\xBB\xF2\xB9\xFD\xB3\xA4";
// "配置值过长": setting too long for its destination
inline constexpr const char kValueTooLong[] = "\xC5\xE4\xD6\xC3\xD6\xB5\xB9\xFD\xB3\xA4";
// "配置值无效": setting not a number of the accepted range
inline constexpr const char kValueInvalid[] = "\xC5\xE4\xD6\xC3\xD6\xB5\xCE\xDE\xD0\xA7";
// "配置文件路径过长": INI path too long
inline constexpr const char kIniPathTooLong[] =
    "\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE\xC2\xB7\xBE\xB6\xB9\xFD\xB3\xA4";
// "创建锁失败": creating a channel lock failed
inline constexpr const char kLockCreateFailed[] = "\xB4\xB4\xBD\xA8\xCB\xF8\xCA\xA7\xB0\xDC";
// "本地文件未打开": no local file is open
inline constexpr const char kNoLocalFile[] =
    "\xB1\xBE\xB5\xD8\xCE\xC4\xBC\xFE\xCE\xB4\xB4\xF2\xBF\xAA";
// "回复字节数超过请求": reply announces more bytes than requested
inline constexpr const char kReplyTooLong[] =
    "\xBB\xD8\xB8\xB4\xD7\xD6\xBD\xDA\xCA\xFD\xB3\xAC\xB9\xFD\xC7\xEB\xC7\xF3";
// "数据传输失败": data transfer failed
inline constexpr const char kTransferFailed[] = "\xCA\xFD\xBE\xDD\xB4\xAB\xCA\xE4\xCA\xA7\xB0\xDC";
// "缓冲区或字节数无效": data buffer missing or byte count too large
inline constexpr const char kBadBuffer[] =
    "\xBB\xBA\xB3\xE5\xC7\xF8\xBB\xF2\xD7\xD6\xBD\xDA\xCA\xFD\xCE\xDE\xD0\xA7";
// "TLS文件无法加载": a file of the [TLS] settings cannot be read or loaded
inline constexpr const char kTlsFileUnusable[] =
    "TLS\xCE\xC4\xBC\xFE\xCE\xDE\xB7\xA8\xBC\xD3\xD4\xD8";
// "私钥与证书不匹配": the private key does not belong to the certificate
inline constexpr const char kTlsKeyMismatch[] =
    "\xCB\xBD\xD4\xBF\xD3\xEB\xD6\xA4\xCA\xE9\xB2\xBB\xC6\xA5\xC5\xE4";
// "此版本不支持TLS": this build of the library has no TLS ([TLS] ENABLE=1 refused)
inline constexpr const char kTlsNotBuiltIn[] =
    "\xB4\xCB\xB0\xE6\xB1\xBE\xB2\xBB\xD6\xA7\xB3\xD6TLS";

}  // namespace gavo::msg
