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

// A file written in full before it takes its name: the bytes go to a temporary file in
// the destination's folder, which commit() renames onto the path. Without commit() the
// temporary file is removed, so a failed transfer never leaves a partial file behind
// under the real name, nor destroys the file that was there. "-" is standard output,
// written directly.
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
    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
    bool to_stdout_ = false;
};

}  // namespace gavo_tool
