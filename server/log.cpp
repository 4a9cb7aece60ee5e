#include "server/log.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace gavo::server {

std::string log_timestamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char text[64];
    size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(tv.tv_usec / 1000));
    return text;
}

void Logger::line(const std::string& text) {
    std::string full = log_timestamp() + " " + text;
    std::lock_guard<std::mutex> lock(mutex_);
    if (sink_) {
        sink_(full);
        return;
    }
    full += '\n';
    // One write per line; a failing standard error is not worth stopping the server for.
    size_t done = 0;
    while (done < full.size()) {
        ssize_t n = ::write(STDERR_FILENO, full.data() + done, full.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

void Logger::linef(const char* format, ...) {
    char text[1000];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    line(text);
}

}  // namespace gavo::server
