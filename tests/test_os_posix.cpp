// The test support that differs between systems: code page conversion, temporary
// folders, descriptor counts and folder listings, on POSIX (tests/test_os_windows.cpp has
// the Windows ones).
#include <dirent.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace gavo::test {

std::string gbk(const std::string& utf8) {
    iconv_t cd = iconv_open("CP936", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
    std::string in = utf8, out(utf8.size() * 2 + 4, '\0');
    char* ip = in.data();
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) return std::string();
    out.resize(out.size() - ol);
    return out;
}

std::string text_lines(std::string bytes) { return bytes; }

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/gavo-test-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) return std::string();
    return templ + "/";
}

void remove_tree(const std::string& path) {
    if (path.size() < 8) return;  // never anything like "/" or "/tmp/"
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

int open_descriptors() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (struct dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the folder's own descriptor
}

namespace {

void list_tree(const std::string& dir, const std::string& rel, bool folders, std::string* out) {
    std::vector<std::string> names;
    if (DIR* d = opendir((dir + rel).c_str())) {
        while (const struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
                names.push_back(e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat st;
        if (lstat((dir + rel + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (folders) *out += rel + name + "/\n";
            list_tree(dir, rel + name + "/", folders, out);
        } else {
            const std::string data = read_file(dir + rel + name);
            *out += rel + name + "=" +
                    (data.size() <= 64 ? data
                                       : std::to_string(data.size()) + " bytes #" +
                                             std::to_string(std::hash<std::string>()(data))) +
                    "\n";
        }
    }
}

}  // namespace

std::string tree_listing(const std::string& dir, bool folders) {
    std::string out;
    list_tree(dir, "", folders, &out);
    return out;
}

}  // namespace gavo::test
