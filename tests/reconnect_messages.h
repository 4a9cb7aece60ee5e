// The reconnection's error-log messages as code page 936 bytes, converted here from
// their text so that the tests check the library's own bytes.
#pragma once

#include <string>

#include "tests/test_support.h"

namespace gavo::test {

inline std::string close_archive_message() { return gbk("自动重连前（存档）,关闭连接\n"); }
inline std::string close_log_message() { return gbk("自动重连前（日志）,关闭连接\n"); }
inline std::string fallback_message() { return gbk("自动重连失败，自动转入本地系统\n"); }
inline std::string archive_success(int attempt) {
    return gbk("第" + std::to_string(attempt) + "次自动重连存档通道\n");
}
inline std::string log_success(int attempt) {
    return gbk("第" + std::to_string(attempt) + "次自动重连Log通道\n");
}

}  // namespace gavo::test
