#include "commands.h"

#include <GAVO_Client.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "codes.h"
#include "local_files.h"
#include "progress.h"

namespace gavo_tool {

namespace {

// Bytes moved per Read/WriteEx call.
constexpr size_t kChunk = 1 << 20;

// A CNFile that can tell whether its close failed: the library keeps the code of a failed
// remote close in m_nLastErrCode, which only a derived class can read.
class ToolFile : public CNFile {
  public:
    // Closes the object; returns 0 or the code of a failed close.
    int close_checked() {
        m_nLastErrCode = 0;
        Close();
        return m_nLastErrCode;
    }
};

// What is being done, for the failure report: the subcommand, the library operation
// under way and the name it works on.
struct Context {
    const char* command;
    std::string name;
    const char* step = "";
};

// A library call that moved fewer bytes than it was asked to, without a code.
struct ShortTransfer {
    size_t done;
    size_t wanted;
};

int report_code(const Context& ctx, int code) {
    std::fprintf(stderr, "gavo %s: %s '%s' failed: code %d (%s)\n", ctx.command, ctx.step,
                 ctx.name.c_str(), code, code_meaning(code).c_str());
    if (code == -1 && std::strcmp(ctx.command, "record") == 0)
        std::fprintf(stderr,
                     "gavo record: tables need working mode 2 (CTRL_MODE=2) and a server that "
                     "keeps them\n");
    return kExitLibrary;
}

int report_file_layer(const Context& ctx, long os_error, const std::string& file) {
    std::string meaning = os_error_meaning(os_error);
    if (!meaning.empty()) meaning = " (" + meaning + ")";
    std::fprintf(stderr,
                 "gavo %s: %s '%s' failed in the local file layer: system error %ld%s%s%s\n",
                 ctx.command, ctx.step, ctx.name.c_str(), os_error, meaning.c_str(),
                 file.empty() ? "" : " on ", file.c_str());
    return kExitLibrary;
}

int report_short(const Context& ctx, const ShortTransfer& s) {
    std::fprintf(stderr, "gavo %s: %s '%s' moved %zu of %zu bytes\n", ctx.command, ctx.step,
                 ctx.name.c_str(), s.done, s.wanted);
    return kExitLibrary;
}

int report_local(const Context& ctx, const LocalError& e) {
    std::fprintf(stderr, "gavo %s: cannot %s '%s': %s\n", ctx.command, e.action.c_str(),
                 e.path.c_str(), std::strerror(e.err));
    return kExitLocal;
}

// Runs `body` with an error record for its opens, turning every failure it throws into a
// report and an exit code: the record itself (CNFileException*), the local file layer's
// error in working mode 1 (CFileException*, which the catcher releases), and the tool's
// own local files. The record lives here, so the thrown address is valid in the catch.
template <class Body>
int guarded(Context& ctx, Body&& body) {
    CNFileException record;
    try {
        return body(record);
    } catch (CNFileException* record) {
        return report_code(ctx, record->m_nErrCode);
    } catch (CFileException* error) {
        long os_error = error->m_lOsError;
        std::string file = error->m_strFileName;
        delete error;
        return report_file_layer(ctx, os_error, file);
    } catch (const ShortTransfer& s) {
        return report_short(ctx, s);
    } catch (const LocalError& e) {
        return report_local(ctx, e);
    }
}

// Opens `file`; failures come back as the thrown record, except the refusals that the
// library returns even to a host with a record.
void open_or_throw(ToolFile& file, Context& ctx, unsigned flags, CNFileException& record) {
    ctx.step = "Open";
    int rc = file.Open(ctx.name.c_str(), flags, &record);
    if (rc < 0) {
        record.m_nErrCode = rc;
        throw &record;
    }
}

void close_or_throw(ToolFile& file, Context& ctx, CNFileException& record) {
    ctx.step = "Close";
    int rc = file.close_checked();
    if (rc < 0) {
        record.m_nErrCode = rc;
        throw &record;
    }
}

void write_chunk(ToolFile& file, const char* data, size_t count) {
    unsigned written = file.WriteEx(data, static_cast<unsigned>(count));
    if (written != count) throw ShortTransfer{written, count};
}

// Copies the remote file of an open object to `out`; returns the bytes copied.
uint64_t copy_out(ToolFile& file, LocalOutput& out, Progress& progress) {
    std::vector<char> buffer(kChunk);
    uint64_t total = 0;
    while (unsigned n = file.Read(buffer.data(), kChunk)) {
        out.write(buffer.data(), n);
        total += n;
        progress.add(n);
    }
    return total;
}

// Fetches `ctx.name` into `out`. The length that OpenEx reports (low 32 bits) must match
// the bytes read, so that a transfer cut short is never taken for the whole file.
int fetch(Context& ctx, CNFileException& record, LocalOutput& out, bool show_progress) {
    ToolFile file;
    ctx.step = "OpenEx";
    int length = file.OpenEx(ctx.name.c_str(), NFILE_READ, &record);
    uint32_t expected = static_cast<uint32_t>(length);
    Progress progress(expected, show_progress);
    ctx.step = "Read";
    uint64_t got = copy_out(file, out, progress);
    close_or_throw(file, ctx, record);
    ctx.step = "Read";
    if (static_cast<uint32_t>(got) != expected)
        throw ShortTransfer{static_cast<size_t>(got), expected};
    out.commit();
    progress.finish();
    return kExitOk;
}

}  // namespace

bool start_library(const Options& options, const std::string& command) {
    if (NFile_Init(options.ini.empty() ? nullptr : options.ini.c_str()) == 1) return true;
    Context ctx{command.c_str(), options.ini.empty() ? "gavo.ini" : options.ini, "NFile_Init"};
    report_code(ctx, -200);
    return false;
}

int run_put(const Options& options, const std::string& local, const std::string& name) {
    Context ctx{"put", name};
    return guarded(ctx, [&](CNFileException& record) {
        LocalInput in(local);
        ToolFile file;
        open_or_throw(file, ctx, NFILE_WRITE | NFILE_CREATE, record);
        Progress progress(in.size(), options.progress);
        std::vector<char> buffer(kChunk);
        ctx.step = "WriteEx";
        while (size_t n = in.read(buffer.data(), buffer.size())) {
            write_chunk(file, buffer.data(), n);
            progress.add(n);
        }
        close_or_throw(file, ctx, record);
        progress.finish();
        return static_cast<int>(kExitOk);
    });
}

int run_get(const Options& options, const std::string& name, const std::string& local) {
    Context ctx{"get", name};
    return guarded(ctx, [&](CNFileException& record) {
        LocalOutput out(local);
        return fetch(ctx, record, out, options.progress && local != "-");
    });
}

int run_cat(const Options&, const std::string& name) {
    Context ctx{"cat", name};
    return guarded(ctx, [&](CNFileException& record) {
        LocalOutput out("-");
        return fetch(ctx, record, out, false);
    });
}

int run_rm(const std::string& name) {
    Context ctx{"rm", name, "Remove"};
    int rc = CNFile::Remove(name.c_str());
    return rc < 0 ? report_code(ctx, rc) : kExitOk;
}

int run_mv(const std::string& old_name, const std::string& new_name) {
    Context ctx{"mv", old_name + "' to '" + new_name, "Rename"};
    int rc = CNFile::Rename(old_name.c_str(), new_name.c_str());
    return rc < 0 ? report_code(ctx, rc) : kExitOk;
}

int run_exists(const std::string& name) {
    Context ctx{"exists", name, "IsExist"};
    int rc = CNFile::IsExist(name.c_str());
    if (rc < 0) return report_code(ctx, rc);
    return rc == 1 ? kExitOk : kExitNo;
}

int run_record(const std::string& table) {
    Context ctx{"record", table};
    return guarded(ctx, [&](CNFileException& record) {
        ToolFile file;
        open_or_throw(file, ctx, NFILE_TABLE_WRITE, record);
        ctx.step = "WriteEx";
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            // The library refuses a zero-byte write, so an empty line is no record.
            if (!line.empty()) write_chunk(file, line.data(), line.size());
        }
        if (std::cin.bad()) throw LocalError{"read", "standard input", errno};
        close_or_throw(file, ctx, record);
        return static_cast<int>(kExitOk);
    });
}

}  // namespace gavo_tool
