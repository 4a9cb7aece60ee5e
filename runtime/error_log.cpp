#include "runtime/error_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "net/trace_log.h"
#include "port/platform.h"
#include "runtime/state.h"

namespace lib = gavo::lib;

namespace {

// Keeps the date and the rest of a report line together when threads report at once.
// Held only while writing.
std::mutex write_mutex;

}  // namespace

void nfile_log_text(const char* format, ...) {
    std::lock_guard<std::mutex> guard(write_mutex);
    if (lib::err_log == nullptr) return;
    va_list args;
    va_start(args, format);
    vfprintf(lib::err_log, format, args);
    va_end(args);
}

int nfile_write_report(const char* where, int code, const char* detail) {
    std::lock_guard<std::mutex> guard(write_mutex);
    if (lib::err_log == nullptr) return code;
    time_t now = gavo::platform().now();
    struct tm local = {};
    gavo::local_time(now, &local);
    fprintf(lib::err_log, "%d-%d-%d %d:%d:%d", local.tm_year + 1900, local.tm_mon + 1,
            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    fprintf(lib::err_log, ",%s,%d,%s\n", where ? where : "(null)", code,
            detail ? detail : "(null)");
    fflush(lib::err_log);
    return code;
}

void NFile_LogSocketError() { nfile_log_text("SocketError%d\n", gavo::last_socket_error()); }

void nfile_open_error_log(const std::string& folder) {
    static const char kName[] = "gavo_nfile_err.log";
    std::lock_guard<std::mutex> guard(write_mutex);
    if (lib::err_log != nullptr) return;
    std::string chosen = folder;
    if (!chosen.empty()) {
        lib::err_log = gavo::platform().fopen((chosen + kName).c_str(), "a+");
        if (lib::err_log == nullptr) {
            // The host asked for this folder: say so once, where its operator looks,
            // rather than lose both logs.
            const int err = errno;
            fprintf(stderr,
                    "GAVO_Client: LOG_DIR %s: cannot write %s there (%s); the logs go beside "
                    "the program\n",
                    chosen.c_str(), kName, strerror(err));
            chosen.clear();
        }
    }
    if (lib::err_log == nullptr)
        lib::err_log = gavo::platform().fopen((gavo::platform().exe_dir() + kName).c_str(), "a+");
    net_set_trace_folder(chosen);
}

void nfile_close_error_log(int mode) {
    std::lock_guard<std::mutex> guard(write_mutex);
    if (lib::err_log == nullptr) return;
    fprintf(lib::err_log, "NFile_Close,fsmode=%d", mode);
    fclose(lib::err_log);
    lib::err_log = nullptr;
}
