// The test support that differs between systems, on Windows (run under Wine): code page
// conversion, temporary folders, handle counts and folder listings.
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace gavo::test {

std::string gbk(const std::string& utf8) {
    int wide_len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
    if (wide_len <= 0) return std::string();
    std::wstring wide(static_cast<size_t>(wide_len), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], wide_len);
    int len = WideCharToMultiByte(936, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
    if (len <= 0) return std::string();
    std::string out(static_cast<size_t>(len), '\0');
    WideCharToMultiByte(936, 0, wide.data(), wide_len, &out[0], len, nullptr, nullptr);
    return out;
}

std::string text_lines(std::string bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) out += bytes[i];
    return out;
}

// A new folder under the system's temporary folder, with '/' as its separator.
std::string make_temp_dir() {
    char base[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, base);
    if (n == 0 || n >= MAX_PATH) return std::string();
    std::string dir(base, n);
    std::replace(dir.begin(), dir.end(), '\\', '/');
    static LONG counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string name = dir + "gavo-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(InterlockedIncrement(&counter));
        if (CreateDirectoryA(name.c_str(), nullptr)) return name + "/";
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return std::string();
}

namespace {

// The entries of folder `dir` (ending in '/'), sorted, without "." and "..".
std::vector<std::pair<std::string, bool>> entries(const std::string& dir) {
    std::vector<std::pair<std::string, bool>> out;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((dir + "*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return out;
    do {
        std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        out.emplace_back(name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileA(h, &data));
    FindClose(h);
    std::sort(out.begin(), out.end());
    return out;
}

void remove_below(const std::string& dir) {
    for (const auto& e : entries(dir)) {
        std::string path = dir + e.first;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (e.second) {
            remove_below(path + "/");
            RemoveDirectoryA(path.c_str());
        } else {
            DeleteFileA(path.c_str());
        }
    }
}

void list_tree(const std::string& dir, const std::string& rel, bool folders, std::string* out) {
    for (const auto& e : entries(dir + rel)) {
        const std::string& name = e.first;
        if (e.second) {
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

void remove_tree(const std::string& path) {
    if (path.size() < 8) return;  // never anything like "C:/" or "C:/tmp/"
    std::string dir = path;
    if (dir.back() != '/' && dir.back() != '\\') dir += '/';
    remove_below(dir);
    RemoveDirectoryA(dir.c_str());
}

// The handles the process holds: what a leaked file or socket adds to.
int open_descriptors() {
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
    return static_cast<int>(count);
}

std::string tree_listing(const std::string& dir, bool folders) {
    std::string out;
    list_tree(dir, "", folders, &out);
    return out;
}

}  // namespace gavo::test
