#include "fuzz/common.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GAVO_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GAVO_SANITIZER_HEAP 1
#endif
#endif
#ifdef GAVO_SANITIZER_HEAP
// From the sanitizer runtime (declared here: g++ ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace gavo::fuzz {

size_t heap_in_use() {
#ifdef GAVO_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

int open_fds() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;  // the same constant overhead (".", "..", the listing's own) every time
}

std::string make_work_dir(const char* tag) {
    struct stat st;
    std::string base = "/dev/shm";
    if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(base.c_str(), W_OK) != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string templ = base + "/gavo-fuzz-" + tag + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) return std::string();
    return templ + "/";
}

namespace {

std::vector<std::string> sorted_names(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void snapshot_into(const std::string& dir, const std::string& rel, std::string* out) {
    for (const std::string& name : sorted_names(dir + rel)) {
        const std::string path = dir + rel + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        *out += rel + name + " mode=" + std::to_string(st.st_mode) +
                " size=" + std::to_string(st.st_size);
        if (S_ISLNK(st.st_mode)) {
            char target[512];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            if (n > 0) *out += " -> " + std::string(target, static_cast<size_t>(n));
        } else if (S_ISREG(st.st_mode)) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            char buf[4096];
            ssize_t n;
            *out += " data=";
            while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) {
                out->append(buf, static_cast<size_t>(n));
            }
            if (fd >= 0) ::close(fd);
        }
        *out += '\n';
        if (S_ISDIR(st.st_mode)) snapshot_into(dir, rel + name + "/", out);
    }
}

}  // namespace

namespace {

// Removes everything inside the open folder `dir_fd` (closed here). Two calls per entry
// at most: it is run after most fuzz inputs.
void clear_at(int dir_fd) {
    DIR* d = fdopendir(dir_fd);
    if (d == nullptr) {
        ::close(dir_fd);
        return;
    }
    while (const struct dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (e->d_type != DT_DIR && unlinkat(dir_fd, name, 0) == 0) continue;
        const int sub = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) clear_at(sub);
        unlinkat(dir_fd, name, AT_REMOVEDIR);
    }
    closedir(d);
}

}  // namespace

void clear_dir(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) clear_at(fd);
}

std::string list_names(const std::string& dir) {
    std::string out;
    for (const std::string& name : sorted_names(dir)) out += name + "\n";
    return out;
}

void remove_dir(const std::string& dir) {
    clear_dir(dir);
    ::rmdir(dir.c_str());
}

std::string snapshot(const std::string& dir) {
    std::string out;
    snapshot_into(dir, "", &out);
    return out;
}

void die(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("FUZZ FINDING: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

namespace {

// What each open descriptor refers to, one a line (for a finding's report).
std::string describe_fds() {
    std::string out;
    for (const std::string& name : sorted_names("/proc/self/fd")) {
        char target[512];
        const ssize_t n = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
        out += "  " + name + " -> " + (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?") +
               "\n";
    }
    return out;
}

}  // namespace

void ResourceCheck::begin() {
    fds_ = open_fds();  // anew each time: libFuzzer starts its symbolizer between inputs
    heap_ = heap_in_use();
}

void ResourceCheck::end(const char* target) {
    if (first_) {
        first_ = false;
        return;
    }
    const int fds = open_fds();
    if (fds != fds_) {
        die("%s: %d descriptors open after the input, %d before; open now:\n%s", target, fds, fds_,
            describe_fds().c_str());
    }
    const size_t heap = heap_in_use();
    if (heap > heap_ + slack_) {
        die("%s: %zu heap bytes more after the input than before", target, heap - heap_);
    }
}

}  // namespace gavo::fuzz
