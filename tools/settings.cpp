#include "settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace gavo_tool {

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// $HOME, or the user's home folder from the password database when it is not set (as
// under some service managers); empty when neither is known.
std::string home_dir() {
    std::string home = env("HOME");
    if (!home.empty()) return home;
    const passwd* pw = ::getpwuid(::getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

// $VAR when set and absolute, else the home folder followed by `fallback`; empty when
// there is no home folder.
std::string xdg_dir(const char* var, const char* fallback) {
    std::string dir = env(var);
    if (!dir.empty() && dir[0] == '/') return dir;
    std::string home = home_dir();
    return home.empty() ? "" : home + fallback;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool same_name(std::string a, std::string b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool readable_file(const std::string& path, std::string* error) {
    struct stat st;
    std::string why;
    if (::stat(path.c_str(), &st) != 0) why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) why = "not a regular file";
    else if (::access(path.c_str(), R_OK) != 0) why = std::strerror(errno);
    if (why.empty()) return true;
    *error = "cannot read the INI file '" + path + "': " + why;
    return false;
}

// The library's conversion: leading blanks, an optional sign, the digits after it.
int to_mode(const std::string& value) { return std::atoi(value.c_str()); }

void apply_key(const std::string& key, const std::string& value, Settings* out) {
    if (same_name(key, "CTRL_MODE")) out->mode = to_mode(value);
    else if (same_name(key, "HOST_NAME")) out->host = value;
    else if (same_name(key, "HOST_PORT")) out->port = value;
    else if (same_name(key, "BASE_DIR")) out->base_dir = value;
    else if (same_name(key, "LOG_DIR")) out->log_dir = value;
}

}  // namespace

void parse_ini(const std::string& text, Settings* out) {
    std::istringstream in(text);
    std::string line;
    bool in_config = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty() && line[0] == '[') {
            size_t end = line.find(']');
            in_config =
                end != std::string::npos && same_name(trim(line.substr(1, end - 1)), "Config");
            continue;
        }
        size_t eq = line.find('=');
        if (!in_config || eq == std::string::npos || line[0] == ';') continue;
        std::string value = trim(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        apply_key(trim(line.substr(0, eq)), value, out);
    }
}

bool make_dirs(const std::string& dir) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

bool find_settings(const std::string& ini_option, const std::string& log_dir_option, Settings* out,
                   std::string* error) {
    std::string user = xdg_dir("XDG_CONFIG_HOME", "/.config");
    if (!ini_option.empty()) {
        if (!readable_file(ini_option, error)) return false;
        out->ini = ini_option, out->ini_origin = "--ini";
    } else if (!env("GAVO_INI").empty()) {
        if (!readable_file(env("GAVO_INI"), error)) return false;
        out->ini = env("GAVO_INI"), out->ini_origin = "$GAVO_INI";
    } else if (!user.empty() && ::access((user + "/gavo/gavo.ini").c_str(), R_OK) == 0) {
        out->ini = user + "/gavo/gavo.ini", out->ini_origin = "user";
    } else if (::access("/etc/gavo/gavo.ini", R_OK) == 0) {
        out->ini = "/etc/gavo/gavo.ini", out->ini_origin = "system";
    } else {
        out->ini_origin = "none";
    }
    if (!out->ini.empty()) {
        std::ifstream in(out->ini);
        std::stringstream text;
        text << in.rdbuf();
        parse_ini(text.str(), out);
    }
    std::string state = xdg_dir("XDG_STATE_HOME", "/.local/state");
    // The INI file's LOG_DIR, which the library follows, comes first.
    std::replace(out->log_dir.begin(), out->log_dir.end(), '\\', '/');
    out->log_dir = !out->log_dir.empty()     ? out->log_dir
                   : !log_dir_option.empty() ? log_dir_option
                   : state.empty()           ? "/tmp/gavo-" + std::to_string(::getuid())
                                             : state + "/gavo";
    if (out->log_dir.empty() || out->log_dir.back() != '/') out->log_dir += '/';
    return true;
}

std::string Settings::where() const {
    if (mode == 2) return "server " + host + ":" + port;
    return base_dir.empty() ? "the current folder" : "folder " + base_dir;
}

std::string describe(const Settings& s) {
    static const char* const kOrigins[][2] = {{"--ini", "given with --ini"},
                                              {"$GAVO_INI", "from $GAVO_INI"},
                                              {"user", "the user's"},
                                              {"system", "the system's"}};
    std::string text = "INI file:     ";
    if (s.ini.empty()) text += "none found (working mode 1 in the current folder)\n";
    for (auto& origin : kOrigins)
        if (s.ini_origin == origin[0]) text += s.ini + " (" + origin[1] + ")\n";
    text += "working mode: " + std::to_string(s.mode) +
            (s.mode == 1   ? " (local files)\n"
             : s.mode == 2 ? " (file server)\n"
                           : " (unknown)\n");
    text += "server:       " + s.host + ":" + s.port + (s.mode == 2 ? "\n" : " (not used)\n");
    text += "base folder:  " +
            (s.base_dir.empty() ? "(none: names are paths from the current folder)" : s.base_dir) +
            "\n";
    text += "error log:    " + s.log_dir + "gavo_nfile_err.log\n";
    text += "trace log:    " + s.log_dir + "netf_Log.Log\n";
    return text;
}

}  // namespace gavo_tool
