#include "runtime/config.h"

#include <fcntl.h>
#include <strings.h>

#include <cctype>
#include <climits>
#include <cstring>

#include "port/platform.h"

namespace gavo {

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string unquote(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

bool same_name(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string read_whole_file(const std::string& path, bool* ok) {
    std::string text;
    *ok = false;
    int fd = platform().open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return text;
    char buf[4096];
    ssize_t n;
    while ((n = platform().read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    platform().close(fd);
    *ok = n == 0;
    return text;
}

}  // namespace

std::string profile_value(const std::string& text, const char* section, const char* key,
                          const char* def) {
    bool in_section = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (!line.empty() && line.front() == '[') {
            size_t close = line.find(']');
            in_section =
                close != std::string::npos && same_name(trim(line.substr(1, close - 1)), section);
            continue;
        }
        size_t eq = line.find('=');
        if (!in_section || eq == std::string::npos || !same_name(trim(line.substr(0, eq)), key))
            continue;
        return unquote(trim(line.substr(eq + 1))).substr(0, kIniValueMax);
    }
    return std::string(def).substr(0, kIniValueMax);
}

std::string read_profile_string(const std::string& path, const char* section, const char* key,
                                const char* def) {
    bool ok = false;
    std::string text = read_whole_file(path, &ok);
    return ok ? profile_value(text, section, key, def) : std::string(def);
}

int decimal_value(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

}  // namespace gavo
