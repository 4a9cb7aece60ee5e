// NFile_Init and NFile_Close: the library state's start and end.
#include <cstring>
#include <string>

#include "include/GAVO_Client.h"
#include "net/messages.h"
#include "net/trace_log.h"
#include "port/platform.h"
#include "proto/codes.h"
#include "runtime/channels.h"
#include "runtime/config.h"
#include "runtime/error_log.h"
#include "runtime/report.h"
#include "runtime/state.h"
#include "runtime/tls_config.h"

namespace lib = gavo::lib;

namespace {

constexpr size_t kIniPathMax = 259;  // fits the 260-byte path of the reference platform
constexpr size_t kSettingMax = 255;  // host_name and host_port hold 255 characters
constexpr size_t kBaseDirMax = 258;  // base_dir holds 258 characters and the backslash

// Reads one key of [Config] and writes its report line with the value as read.
std::string read_setting(const std::string& ini, const char* key, const char* def,
                         const char* where) {
    std::string value = gavo::read_profile_string(ini, "Config", key, def);
    NFile_LogError(where, 0, value.c_str());
    return value;
}

// A setting that does not fit its destination is refused rather than cut: a cut host
// name or base folder would put data somewhere the user never named.
bool fits(const std::string& value, size_t max, const char* where) {
    if (value.size() <= max) return true;
    NFile_LogError(where, gavo::kCodeRefused, gavo::msg::kValueTooLong);
    return false;
}

constexpr size_t kSecondsMax = 9;        // digits of a time setting: no overflow when read
constexpr int kReplyTimeoutMax = 86400;  // a day; a longer wait is no bound at all

// REPLY_TIMEOUT in seconds, 0 (no limit) to a day, digits only. A missing or empty key is
// 0 and writes no report line, so that INI files without it log what they always did.
// -1, after the refusal line, for any other text.
int read_reply_timeout(const std::string& ini) {
    const char* where = "NFile_Init:REPLY_TIMEOUT";
    std::string value = gavo::read_profile_string(ini, "Config", "REPLY_TIMEOUT", "");
    if (value.empty()) return 0;
    NFile_LogError(where, 0, value.c_str());
    if (!fits(value, kSecondsMax, where)) return -1;
    int seconds = gavo::decimal_value(value.c_str());
    bool digits = value.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || seconds > kReplyTimeoutMax)
        return NFile_LogError(where, gavo::kCodeRefused, gavo::msg::kValueInvalid);
    return seconds;
}

// LOG_DIR: the folder of both logs, as a path ending in '/' (either separator may be
// written); empty when the key is missing or empty, which keeps them beside the executable.
std::string read_log_folder(const std::string& ini) {
    std::string folder = gavo::read_profile_string(ini, "Config", "LOG_DIR", "");
    for (char& c : folder)
        if (c == '\\') c = '/';
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder;
}

}  // namespace

int NFile_Init(const char* path) {
    if (lib::fsmode.load() != lib::kModeNone) return 1;
    const bool path_fits = path == nullptr || std::strlen(path) <= kIniPathMax;
    std::string ini = path ? std::string(path) : gavo::platform().exe_dir() + "gavo.ini";
    // The log folder comes first: every later line goes to the log it names.
    const std::string log_folder = path_fits ? read_log_folder(ini) : std::string();
    nfile_open_error_log(log_folder);
    NFile_LogError("NFile_Init", 0, path);
    if (!path_fits) {
        NFile_LogError("NFile_Init", gavo::kCodeRefused, gavo::msg::kIniPathTooLong);
        return 0;
    }
    if (!log_folder.empty()) NFile_LogError("NFile_Init:LOG_DIR", 0, log_folder.c_str());

    std::string mode_text = read_setting(ini, "CTRL_MODE", "1", "NFile_Init:CTRL_MODE");
    int mode = gavo::decimal_value(mode_text.c_str());
    std::string host = read_setting(ini, "HOST_NAME", "localhost", "NFile_Init:HOST_NAME");
    if (!fits(host, kSettingMax, "NFile_Init:HOST_NAME")) return 0;
    std::string port = read_setting(ini, "HOST_PORT", "0", "NFile_Init:HOST_PORT");
    if (!fits(port, kSettingMax, "NFile_Init:HOST_PORT")) return 0;
    std::string base = read_setting(ini, "BASE_DIR", "", "NFile_Init:BASE_DIR");
    if (!fits(base, kBaseDirMax, "NFile_Init:BASE_DIR")) return 0;
    if (!base.empty()) base += '\\';
    int timeout = read_reply_timeout(ini);
    if (timeout < 0) return 0;
    if (nfile_read_tls_settings(ini, mode, host) == 0) return 0;

    std::memcpy(lib::host_name, host.c_str(), host.size() + 1);
    std::memcpy(lib::host_port, port.c_str(), port.size() + 1);
    std::memcpy(lib::base_dir, base.c_str(), base.size() + 1);
    lib::reply_timeout = timeout;

    if (mode == lib::kModeRemote && nfile_open_channels() == 0) return 0;
    lib::fsmode = mode;
    return 1;
}

void NFile_Close() {
    nfile_close_error_log(lib::fsmode.load());
    nfile_close_channels();
    net_set_trace_folder("");  // the next session's LOG_DIR, or none, decides again
    lib::fsmode = lib::kModeNone;
}

CGAVO_Client::CGAVO_Client() {}
CGAVO_Client& CGAVO_Client::operator=(const CGAVO_Client&) { return *this; }
int fnGAVO_Client() { return 42; }
int nGAVO_Client = 0;
