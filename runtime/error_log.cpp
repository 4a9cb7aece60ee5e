#include "runtime/error_log.h"

#include <cstdarg>
#include <ctime>
#include <mutex>
#include <string>

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

void nfile_open_error_log() {
    std::lock_guard<std::mutex> guard(write_mutex);
    if (lib::err_log != nullptr) return;
    std::string path = gavo::platform().exe_dir() + "gavo_nfile_err.log";
    lib::err_log = gavo::platform().fopen(path.c_str(), "a+");
}

void nfile_close_error_log(int mode) {
    std::lock_guard<std::mutex> guard(write_mutex);
    if (lib::err_log == nullptr) return;
    fprintf(lib::err_log, "NFile_Close,fsmode=%d", mode);
    fclose(lib::err_log);
    lib::err_log = nullptr;
}
