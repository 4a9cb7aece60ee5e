// Helpers shared by the fuzz targets and their replay driver: resource counts of the
// process, folder snapshots and the way a target reports a finding.
#pragma once

#include <cstddef>
#include <string>

namespace gavo::fuzz {

// Heap bytes allocated and not yet freed (the sanitizer's count under ASan or TSan).
size_t heap_in_use();
// Descriptors the process holds open (entries of /proc/self/fd).
int open_fds();

// A fresh folder for a target's files, ending in '/': under /dev/shm when it exists
// (fsync costs nothing there, so the server's syncs do not slow fuzzing), else TMPDIR
// or /tmp. Empty on failure.
std::string make_work_dir(const char* tag);
// Removes everything inside `dir` (links are removed, never followed); keeps `dir`.
void clear_dir(const std::string& dir);
// Removes `dir` and everything in it.
void remove_dir(const std::string& dir);
// The names directly inside `dir`, sorted, each followed by a newline.
std::string list_names(const std::string& dir);
// The names, kinds, sizes, link targets and file contents of the tree under `dir`, as
// one text: two snapshots are equal exactly when the trees are.
std::string snapshot(const std::string& dir);

// Reports a broken invariant on standard error and aborts, so that libFuzzer (or the
// replay driver) records the input that caused it.
[[noreturn]] void die(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Checks, around one input, that the input released every descriptor and every heap
// byte it took (up to `slack` bytes of lazily made caches). The first input of the
// process is not checked: it makes the once-per-process state (time zone, log paths).
class ResourceCheck {
public:
    explicit ResourceCheck(size_t slack) : slack_(slack) {}
    void begin();
    void end(const char* target);

private:
    size_t slack_;
    size_t heap_ = 0;
    int fds_ = 0;
    bool first_ = true;
};

}  // namespace gavo::fuzz
