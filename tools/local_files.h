// The tool's own local files: the source of `put`, the destination of `get`, standard
// input and output. Failures throw LocalError with the system's errno.
#pragma once

#include <cstdint>
#include <string>

namespace gavo_tool {

struct LocalError {
    std::string action;  // "read", "write", "open", ...
    std::string path;    // the local path, or "standard input"/"standard output"
    int err;             // errno
};

// A file read from the start; "-" is standard input.
class LocalInput {
public:
    explicit LocalInput(const std::string& path);
    ~LocalInput();
    LocalInput(const LocalInput&) = delete;
    LocalInput& operator=(const LocalInput&) = delete;

    // Size of a regular file, 0 when unknown (a pipe, a terminal).
    uint64_t size() const { return size_; }
    // Fills `buffer` with up to `count` bytes; fewer only at the end, 0 there.
    size_t read(char* buffer, size_t count);

private:
    std::string path_;
    int fd_ = -1;
    bool owned_ = false;
    uint64_t size_ = 0;
};

// Where `get` writes. A regular file (or a new name) is written in full before it takes
// its name: the bytes go to a temporary file in the destination's folder, which commit()
// renames onto the path; without commit() the temporary file is removed, so a failed or
// interrupted transfer never leaves a partial file under the real name, nor destroys the
// file that was there. A symbolic link is followed: its target is the file replaced (a
// dangling link is written through). "-", character devices, FIFOs and sockets are
// written directly (standard output for "-").
class LocalOutput {
public:
    explicit LocalOutput(const std::string& path);
    ~LocalOutput();
    LocalOutput(const LocalOutput&) = delete;
    LocalOutput& operator=(const LocalOutput&) = delete;

    void write(const char* data, size_t count);
    // Flushes to disk and gives the file its name.
    void commit();

private:
    void open_direct(const std::string& path, int flags);
    void open_temporary(const std::string& path);

    std::string path_;       // the file finally written (a link's target)
    std::string temp_path_;  // empty when written directly
    int fd_ = -1;
    bool owned_ = false;
};

}  // namespace gavo_tool
