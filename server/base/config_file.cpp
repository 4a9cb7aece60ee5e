#include "server/base/config_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gavo::server {

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view trim(std::string_view s) {
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

// `line` without its comment: from a '#' that starts the line or follows a blank.
std::string_view strip_comment(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

// A line without its comment and without the blanks around what is left.
std::string_view config_line_content(std::string_view line) { return trim(strip_comment(line)); }

}  // namespace

// Reads at most kMaxConfigFileBytes + 1 bytes of `path`; false with `why` set.
bool read_small_file(const std::string& path, std::string* text, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    char buf[4096];
    ssize_t n = 0;
    while (text->size() <= kMaxConfigFileBytes && (n = ::read(fd, buf, sizeof buf)) > 0) {
        text->append(buf, static_cast<size_t>(n));
    }
    const int err = errno;
    ::close(fd);
    if (n < 0) *why = strerror(err);
    if (text->size() > kMaxConfigFileBytes) *why = "larger than 1 MiB";
    return why->empty();
}

bool for_each_config_line(std::string_view text,
                          const std::function<bool(int, std::string_view)>& each) {
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = config_line_content(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (!line.empty() && !each(number, line)) return false;
    }
    return true;
}

bool parse_config_text(std::string_view text, std::vector<ConfigEntry>* out, int* bad_line,
                       std::string* why) {
    return for_each_config_line(text, [&](int number, std::string_view line) {
        const size_t eq = line.find('=');
        const std::string_view key = eq == std::string_view::npos ? "" : trim(line.substr(0, eq));
        if (key.empty()) {
            *bad_line = number;
            *why = "expected KEY = VALUE";
            return false;
        }
        out->push_back({std::string(key), std::string(trim(line.substr(eq + 1))), number});
        return true;
    });
}

bool read_config_file(const std::string& path, std::vector<ConfigEntry>* out, std::string* error) {
    std::string text, why;
    if (!read_small_file(path, &text, &why)) {
        *error = "cannot read the config file " + path + ": " + why;
        return false;
    }
    int line = 0;
    if (parse_config_text(text, out, &line, &why)) return true;
    *error = path + ":" + std::to_string(line) + ": " + why;
    return false;
}

}  // namespace gavo::server
