#include "commands.h"

#include <GAVO_Client.h>
#include <dirent.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <random>
#include <string_view>

#include "codes.h"
#include "listing.h"
#include "local_files.h"
#include "port/platform.h"
#include "progress.h"
#include "proto/codes.h"
#include "proto/names.h"
#include "proto/os_error.h"
#include "runtime/state.h"
#include "watchdog.h"

namespace gavo_tool {

using gavo::kCodeInitFailed;
using gavo::kCodeNotFound;
using gavo::kCodeNotSent;
using gavo::kCodeRefused;

namespace {

// Bytes moved per Read/WriteEx call.
constexpr size_t kChunk = 1 << 20;
// The longest name the library takes.
using gavo::kMaxNameBytes;

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

// The library's logs go to the tool's log folder instead of beside the program.
class ToolPlatform : public gavo::Platform {
public:
    explicit ToolPlatform(std::string dir) : dir_(std::move(dir)) {}
    std::string exe_dir() override { return dir_; }

private:
    std::string dir_;
};

// What is being done, for the failure report.
struct Context {
    const Options& o;
    const char* command;
    std::string name;       // the stored name (or "'a' to 'b'" text for mv)
    const char* verb = "";  // "open", "read", "write", "close", "rename", ...
    bool open_for_table = false;
    std::string explained{};  // what the code meant here, found out after it came back
};

// A library call that moved fewer bytes than it was asked to, without a code.
struct ShortTransfer {
    size_t done;
    size_t wanted;
};

// A failure the tool found itself: message and exit code.
struct ToolFailure {
    std::string message;
    int exit;
};

std::string quoted(const std::string& name) { return "'" + name + "'"; }

std::string lower_first(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// Why a server could not be reached, found by connecting to it the same way; empty when
// it can be reached.
std::string probe_server(const Settings& s) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(s.host.c_str(), s.port.c_str(), &hints, &found); rc != 0)
        return "cannot find the host: " + lower_first(gai_strerror(rc));
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int err = fd < 0 ? errno : ::connect(fd, found->ai_addr, found->ai_addrlen) == 0 ? 0 : errno;
    if (fd >= 0) ::close(fd);
    freeaddrinfo(found);
    return err == 0 ? "" : lower_first(std::strerror(err));
}

// The cause of `code` in words, with what the context adds to the bare meaning.
std::string cause(const Context& ctx, int code) {
    const Settings& s = ctx.o.settings;
    if (!ctx.explained.empty()) return ctx.explained;
    if (code == kCodeRefused && ctx.name.size() > kMaxNameBytes + 2)
        return "name longer than 499 bytes";
    if (code == kCodeRefused && ctx.open_for_table && s.mode != 2)
        return "tables need working mode 2 (CTRL_MODE=2) and a server that keeps them";
    if (code == kCodeRefused && std::strcmp(ctx.verb, "open") == 0 && s.mode == 2)
        return "refused: in use by another client, or not allowed";
    if (code == kCodeInitFailed && s.mode == 2) {
        std::string why = probe_server(s);
        if (!why.empty()) return "cannot connect: " + why;
        return "library start-up failed (see " + s.log_dir + "gavo_nfile_err.log)";
    }
    if (code == kCodeInitFailed)
        return "library start-up failed (see " + s.log_dir + "gavo_nfile_err.log)";
    // A fixed:N table refuses a record of another size by closing the connection, which
    // is all the tool gets to see of it.
    if (std::strcmp(ctx.command, "record") == 0 && ctx.o.record_size == 0 &&
        code <= gavo::kCodeSendFailed && code >= gavo::kCodePeerClosed)
        return std::string(gavo::code_meaning(code)) +
               "; a fixed:N table takes only records of N bytes: give --record-size N";
    return gavo::code_meaning(code);
}

int report_code(const Context& ctx, int code) {
    std::fprintf(stderr, "gavo %s: cannot %s %s (%s): %s (code %d)\n", ctx.command, ctx.verb,
                 ctx.name.c_str(), ctx.o.settings.where().c_str(), cause(ctx, code).c_str(), code);
    return kExitLibrary;
}

int report_file_layer(const Context& ctx, long os_error, const std::string& file) {
    std::string meaning = gavo::os_error_meaning(os_error);
    std::fprintf(stderr, "gavo %s: cannot %s %s (%s): %s (system error %ld%s%s)\n", ctx.command,
                 ctx.verb, ctx.name.c_str(), ctx.o.settings.where().c_str(),
                 meaning.empty() ? "local file error" : meaning.c_str(), os_error,
                 file.empty() ? "" : " on ", file.c_str());
    return kExitLibrary;
}

int report_local(const Context& ctx, const LocalError& e) {
    // A reader that went away (`gavo cat x | head`) is no failure worth a message.
    if (e.err == EPIPE && e.path == "standard output") return 128 + SIGPIPE;
    std::fprintf(stderr, "gavo %s: cannot %s '%s': %s\n", ctx.command, e.action.c_str(),
                 e.path.c_str(), lower_first(std::strerror(e.err)).c_str());
    return kExitLocal;
}

// Runs `body` with an error record for its opens, turning every failure it throws into a
// report and an exit code: the record itself (CNFileException*), the local file layer's
// error in working mode 1 (CFileException*, which the catcher releases), the tool's own
// local files, and a stop. The record lives here, so the thrown address is valid in the
// catch.
template <class Body>
int guarded(Context& ctx, Body&& body) {
    CNFileException record;
    try {
        return body(record);
    } catch (CNFileException* thrown) {
        return report_code(ctx, thrown->m_nErrCode);
    } catch (CFileException* error) {
        long os_error = error->m_lOsError;
        std::string file = error->m_strFileName;
        delete error;
        return report_file_layer(ctx, os_error, file);
    } catch (const ShortTransfer& s) {
        std::fprintf(stderr, "gavo %s: %s %s (%s) moved %zu of %zu bytes\n", ctx.command, ctx.verb,
                     ctx.name.c_str(), ctx.o.settings.where().c_str(), s.done, s.wanted);
        return kExitLibrary;
    } catch (const LocalError& e) {
        return report_local(ctx, e);
    } catch (const ToolFailure& f) {
        std::fprintf(stderr, "gavo %s: %s\n", ctx.command, f.message.c_str());
        return f.exit;
    } catch (const Stopped& s) {
        report_stop(s.code);
        return s.code;
    }
}

// Throws the record with `rc` when it is a failure.
void throw_if_failed(int rc, CNFileException& record) {
    if (rc < 0) {
        record.m_nErrCode = rc;
        throw &record;
    }
}

void open_or_throw(ToolFile& file, Context& ctx, unsigned flags, CNFileException& record) {
    ctx.verb = "open";
    throw_if_failed(file.Open(ctx.name.substr(1, ctx.name.size() - 2).c_str(), flags, &record),
                    record);
}

void close_or_throw(ToolFile& file, Context& ctx, CNFileException& record) {
    ctx.verb = "close";
    throw_if_failed(file.close_checked(), record);
}

void write_chunk(ToolFile& file, const char* data, size_t count) {
    unsigned written = file.WriteEx(data, static_cast<unsigned>(count));
    if (written != count) throw ShortTransfer{written, count};
}

// Releases a CNFile whose work failed, swallowing a local close's own exception: this
// runs while another failure is being reported.
void close_quietly(ToolFile& file) {
    try {
        file.close_checked();
    } catch (CFileException* e) {
        delete e;
    } catch (...) {
    }
}

// True while the library still works in the mode the settings asked for: after a
// reconnection gave up it works on local files, where remote names mean nothing.
bool mode_unchanged(const Options& o) { return gavo::lib::fsmode.load() == o.settings.mode; }

std::string file_name_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ends_with_slash(const std::string& s) { return !s.empty() && s.back() == '/'; }

// Runs `one` for each item, stopping at the first failure unless --keep-going; a stop or a
// lost server always ends the run. Returns the first failure's code, or kExitOk.
int for_each(const Options& o, size_t count, const std::function<int(size_t)>& one) {
    int first = kExitOk;
    for (size_t i = 0; i < count; ++i) {
        int rc = one(i);
        if (rc == kExitOk) continue;
        if (first == kExitOk) first = rc;
        if (!o.keep_going || stop_code() != 0 || !mode_unchanged(o)) break;
    }
    return first;
}

// ---- put ----

// The temporary name an upload goes to, in NAME's folder.
std::string temporary_name(const std::string& name) {
    static std::mt19937 gen(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string temp = name.substr(0, name.find_last_of('/') + 1) + ".gavo-put-";
    for (int i = 0; i < 8; ++i) temp += kChars[gen() % (sizeof kChars - 1)];
    return temp;
}

// An upload to a temporary name; the stored NAME changes only in finish(). Destroyed
// unfinished, it closes its handle and removes the temporary name.
class Upload {
public:
    Upload(Context& ctx, const std::string& name)
        : ctx_(ctx), name_(name), temp_(temporary_name(name)) {}
    ~Upload() {
        if (!finished_) abandon();
    }

    void open(CNFileException& record) {
        ctx_.verb = "create";
        if (temp_.size() > kMaxNameBytes)
            throw ToolFailure{"the temporary name beside " + quoted(name_) +
                                  " would be longer than 499 bytes: use a shorter folder name",
                              kExitLibrary};
        throw_if_failed(file_.Open(temp_.c_str(), NFILE_WRITE | NFILE_CREATE, &record), record);
        opened_ = true;
        set_remote_temp(temp_);
        ctx_.verb = "write";
        if (ctx_.o.verbose)
            std::fprintf(stderr, "gavo put: writing '%s' as '%s'\n", name_.c_str(), temp_.c_str());
    }
    void write(const char* data, size_t count) { write_chunk(file_, data, count); }

    void finish(CNFileException& record) {
        ctx_.verb = "close";
        throw_if_failed(file_.close_checked(), record);
        if (ctx_.o.force) {
            ctx_.verb = "replace";
            int rc = CNFile::Remove(name_.c_str());
            if (rc != kCodeNotFound) throw_if_failed(rc, record);
        }
        ctx_.verb = "rename into place";
        throw_if_failed(CNFile::Rename(temp_.c_str(), name_.c_str()), record);
        finished_ = true;
        set_remote_temp("");
    }

private:
    // A close or remove that failed on a lost connection is tried again: the library has
    // reconnected by then, and the server keeps a client's handles across its connections.
    void abandon() {
        for (int i = 0; i < kTries && file_.IsOpened() && mode_unchanged(ctx_.o); ++i)
            close_quietly(file_);
        if (!opened_) return;
        int rc = kCodeNotSent;
        for (int i = 0; i < kTries && rc < 0 && rc != kCodeNotFound && mode_unchanged(ctx_.o); ++i)
            rc = CNFile::Remove(temp_.c_str());
        set_remote_temp("");
        if (rc < 0 && rc != kCodeNotFound)
            std::fprintf(stderr, "gavo put: the temporary name '%s' may remain (%s, code %d)\n",
                         temp_.c_str(), ctx_.o.settings.where().c_str(), rc);
    }

    static constexpr int kTries = 3;

    Context& ctx_;
    std::string name_;
    std::string temp_;
    ToolFile file_;
    bool opened_ = false;
    bool finished_ = false;
};

void refuse_existing(Context& ctx, const std::string& name, CNFileException& record) {
    ctx.verb = "check";
    int rc = CNFile::IsExist(name.c_str());
    throw_if_failed(rc, record);
    if (rc == 1)
        throw ToolFailure{quoted(name) + " already exists (" + ctx.o.settings.where() +
                              "); add --force to replace it",
                          kExitLibrary};
}

int put_one(const Options& o, const std::string& local, const std::string& name) {
    Context ctx{o, "put", quoted(name)};
    return guarded(ctx, [&](CNFileException& record) {
        // The source must open and read before anything on the remote side changes.
        LocalInput in(local);
        std::vector<char> buffer(kChunk);
        size_t n = in.read(buffer.data(), buffer.size());
        ctx.verb = "store";
        if (name.size() > kMaxNameBytes) throw_if_failed(kCodeRefused, record);
        if (!o.force) refuse_existing(ctx, name, record);
        Progress progress(in.size(), o.progress);
        Upload upload(ctx, name);
        upload.open(record);
        for (; n > 0; n = in.read(buffer.data(), buffer.size())) {
            check_stop();
            upload.write(buffer.data(), n);
            progress.add(n);
        }
        check_stop();
        upload.finish(record);
        progress.finish();
        if (o.verbose) std::fprintf(stderr, "gavo put: stored '%s'\n", name.c_str());
        return static_cast<int>(kExitOk);
    });
}

// ---- get and cat ----

// Copies the remote file of an open object to `out`; returns the bytes copied.
uint64_t copy_out(ToolFile& file, LocalOutput& out, Progress& progress) {
    std::vector<char> buffer(kChunk);
    uint64_t total = 0;
    while (unsigned n = file.Read(buffer.data(), kChunk)) {
        out.write(buffer.data(), n);
        total += n;
        progress.add(n);
        check_stop();
    }
    return total;
}

// Fetches `name` into `local`. Reads deny writers only, so several readers share a file.
// The length that OpenEx reports (low 32 bits) must match the bytes read, so that a
// transfer cut short is never taken for the whole file.
int fetch(const Options& o, const char* command, const std::string& name, const std::string& local,
          bool show_progress) {
    Context ctx{o, command, quoted(name)};
    return guarded(ctx, [&](CNFileException& record) {
        ctx.verb = "open";
        if (name.size() > kMaxNameBytes) throw_if_failed(kCodeRefused, record);
        LocalOutput out(local);
        ToolFile file;
        int length = file.OpenEx(name.c_str(), NFILE_READ | NFILE_DENY_WRITE, &record);
        throw_if_failed(length, record);
        uint32_t expected = static_cast<uint32_t>(length);
        Progress progress(expected, show_progress);
        ctx.verb = "read";
        uint64_t got = copy_out(file, out, progress);
        close_or_throw(file, ctx, record);
        ctx.verb = "read";
        if (static_cast<uint32_t>(got) != expected)
            throw ShortTransfer{static_cast<size_t>(got), expected};
        out.commit();
        progress.finish();
        if (o.verbose)
            std::fprintf(stderr, "gavo %s: fetched '%s' (%llu bytes)\n", command, name.c_str(),
                         static_cast<unsigned long long>(got));
        return static_cast<int>(kExitOk);
    });
}

bool is_directory(const std::string& path) {
    struct stat st;
    return path != "-" && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int usage(const char* command, const std::string& text) {
    std::fprintf(stderr, "gavo %s: %s\n", command, text.c_str());
    return kExitUsage;
}

// ---- record ----

void send_record(ToolFile& file, const char* data, size_t count) { write_chunk(file, data, count); }

// Each line with its line feed (added to a last line without one).
size_t send_lines(ToolFile& file) {
    size_t sent = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        check_stop();
        line += '\n';
        send_record(file, line.data(), line.size());
        ++sent;
    }
    if (std::cin.bad()) throw LocalError{"read", "standard input", errno};
    return sent;
}

// Pieces of exactly `size` bytes; a shorter piece at the end is refused, unsent.
size_t send_fixed(ToolFile& file, size_t size) {
    LocalInput in("-");
    std::vector<char> record(size);
    size_t sent = 0;
    while (size_t n = in.read(record.data(), size)) {
        check_stop();
        if (n < size)
            throw ToolFailure{"standard input ended inside a record: " + std::to_string(n) +
                                  " of " + std::to_string(size) + " bytes left over, not sent (" +
                                  std::to_string(sent) + " records sent)",
                              kExitLocal};
        send_record(file, record.data(), size);
        ++sent;
    }
    return sent;
}

}  // namespace

bool start_library(const Options& options, const std::string& command) {
    const Settings& s = options.settings;
    // A log folder that cannot be made (or is another user's) drops the logs: no file
    // can be opened under /dev/null.
    bool logs = make_dirs(s.log_dir);
    static ToolPlatform platform(logs ? s.log_dir : "/dev/null/");
    gavo::set_platform(&platform);
    if (options.verbose)
        std::fprintf(stderr, "gavo: INI %s; working mode %d, %s; logs in %s%s\n",
                     s.ini.empty() ? "none (working mode 1 in the current folder)" : s.ini.c_str(),
                     s.mode, s.where().c_str(), s.log_dir.c_str(),
                     logs ? "" : " (cannot be created: no logs)");
    if (NFile_Init(s.init_path().c_str()) == 1) return true;
    Context ctx{options, command.c_str(), quoted(s.init_path()), "start the library with"};
    report_code(ctx, kCodeInitFailed);
    return false;
}

int run_put(const Options& o, const std::vector<std::string>& args) {
    const std::string& last = args.back();
    if (args.size() > 2 && !ends_with_slash(last))
        return usage("put", "with several files, the last argument must be a folder ending in '/'");
    return for_each(o, args.size() - 1, [&](size_t i) {
        if (!ends_with_slash(last)) return put_one(o, args[i], last);
        if (args[i] == "-") return usage("put", "'-' needs a NAME, not a folder");
        return put_one(o, args[i], last + file_name_of(args[i]));
    });
}

int run_get(const Options& o, const std::vector<std::string>& args) {
    const std::string& last = args.back();
    bool into_folder = is_directory(last);
    if (args.size() > 2 && !into_folder)
        return usage("get", "with several names, the last argument must be an existing folder");
    return for_each(o, args.size() - 1, [&](size_t i) {
        std::string local = into_folder ? last + "/" + file_name_of(args[i]) : last;
        return fetch(o, "get", args[i], local, o.progress && local != "-");
    });
}

int run_cat(const Options& o, const std::vector<std::string>& names) {
    return for_each(o, names.size(),
                    [&](size_t i) { return fetch(o, "cat", names[i], "-", false); });
}

// The server answers a remove of a folder and a rename onto an existing name with
// "access denied", as hosts expect; a stat (where the server has one) tells which.
bool is_kind(const std::string& name, gavo::wire::EntryKind kind) {
    gavo::wire::EntryInfo info;
    return stat_name(name, &info) == 0 && info.kind == kind;
}

int run_rm(const Options& o, const std::vector<std::string>& names) {
    return for_each(o, names.size(), [&](size_t i) {
        Context ctx{o, "rm", quoted(names[i]), "remove"};
        int rc = CNFile::Remove(names[i].c_str());
        if (rc == gavo::kCodeAccessDenied && is_kind(names[i], gavo::wire::EntryKind::kFolder))
            ctx.explained = "is a folder (gavo rmdir removes an empty one)";
        if (rc < 0) return report_code(ctx, rc);
        if (o.verbose) std::fprintf(stderr, "gavo rm: removed '%s'\n", names[i].c_str());
        return static_cast<int>(kExitOk);
    });
}

int run_mv(const Options& o, const std::string& old_name, const std::string& new_name) {
    Context ctx{o, "mv", quoted(old_name) + " to " + quoted(new_name), "rename"};
    int rc = CNFile::Rename(old_name.c_str(), new_name.c_str());
    gavo::wire::EntryInfo info;
    if (rc == gavo::kCodeAccessDenied && stat_name(new_name, &info) == 0)
        ctx.explained = quoted(new_name) + " exists";
    return rc < 0 ? report_code(ctx, rc) : kExitOk;
}

int run_exists(const Options& o, const std::string& name) {
    Context ctx{o, "exists", quoted(name), "check"};
    int rc = CNFile::IsExist(name.c_str());
    if (rc < 0) return report_code(ctx, rc);
    return rc == 1 ? kExitOk : kExitNo;
}

int run_record(const Options& o, const std::string& table) {
    Context ctx{o, "record", quoted(table)};
    ctx.open_for_table = true;
    return guarded(ctx, [&](CNFileException& record) {
        ToolFile file;
        open_or_throw(file, ctx, NFILE_TABLE_WRITE, record);
        ctx.open_for_table = false;
        ctx.verb = "write a record to";
        size_t sent = o.record_size ? send_fixed(file, o.record_size) : send_lines(file);
        close_or_throw(file, ctx, record);
        if (o.verbose) std::fprintf(stderr, "gavo record: %zu records appended\n", sent);
        return static_cast<int>(kExitOk);
    });
}

// ---- listing and folders ----

namespace {

using gavo::wire::EntryInfo;
using gavo::wire::EntryKind;

// `name` beneath `folder` ("" or "/" is the root).
std::string joined(const std::string& folder, const std::string& name) {
    std::string base = folder;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base.empty() ? name : base + "/" + name;
}

// Runs `body`, turning a stop into its report and exit code.
template <class Body>
int guarded_stop(Body&& body) {
    try {
        return body();
    } catch (const Stopped& s) {
        report_stop(s.code);
        return s.code;
    }
}

int report_listing(const Options& o, const char* command, const char* verb, const std::string& name,
                   int rc) {
    std::fprintf(stderr, "gavo %s: cannot %s %s (%s): %s\n", command, verb,
                 quoted(shown_name(name)).c_str(), o.settings.where().c_str(),
                 listing_failure(rc).c_str());
    return kExitLibrary;
}

char kind_letter(EntryKind kind) {
    return kind == EntryKind::kFolder ? 'd' : kind == EntryKind::kFile ? '-' : '?';
}

// "d  4096  2026-12-10 04:12  name": kind, size, local modification time, name.
std::string long_line(const EntryInfo& e, const std::string& name) {
    char when[32] = "-";
    const time_t t = static_cast<time_t>(e.mtime);
    struct tm local;
    if (e.kind != EntryKind::kOther && localtime_r(&t, &local))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
    char line[64];
    std::snprintf(line, sizeof line, "%c %12lld  %-16s  ", kind_letter(e.kind),
                  static_cast<long long>(e.size), when);
    return line + shown_name(name);
}

// Lists `folder` and, with -R, the folders beneath it, each after a "FOLDER:" line.
int list_tree(const Options& o, const std::string& folder, bool header) {
    if (header) std::printf("%s:\n", shown_name(folder.empty() ? "/" : folder).c_str());
    std::vector<std::string> folders;
    int rc = list_folder(folder, [&](const RemoteEntry& e) {
        std::puts((o.long_format ? long_line(e.info, e.name) : shown_name(e.name)).c_str());
        if (o.recursive && e.info.kind == EntryKind::kFolder) folders.push_back(e.name);
        return stop_code() == 0;
    });
    if (rc != 0) return report_listing(o, "ls", "list", folder, rc);
    check_stop();
    for (const std::string& sub : folders) {
        std::putchar('\n');
        if (int sub_rc = list_tree(o, joined(folder, sub), true)) return sub_rc;
    }
    return kExitOk;
}

// Calls `file(stored, entry)` for each file beneath `folder`, folders depth first; entries
// that are neither are named and passed over.
int walk_files(const Options& o, const char* command, const std::string& folder,
               const std::function<int(const std::string&, const RemoteEntry&)>& file,
               const std::function<int(const std::string&)>& enter = nullptr) {
    if (enter) {
        if (int rc = enter(folder)) return rc;
    }
    std::vector<std::string> folders;
    std::vector<RemoteEntry> files;
    int first = kExitOk;
    int rc = list_folder(folder, [&](const RemoteEntry& e) {
        if (e.info.kind == EntryKind::kFolder) folders.push_back(e.name);
        else if (e.info.kind == EntryKind::kFile) files.push_back(e);
        else
            std::fprintf(stderr, "gavo %s: passed over %s: neither a file nor a folder\n", command,
                         quoted(shown_name(joined(folder, e.name))).c_str());
        return true;
    });
    if (rc != 0) return report_listing(o, command, "list", folder, rc);
    for (const RemoteEntry& e : files) {
        check_stop();
        rc = file(joined(folder, e.name), e);
        if (rc != kExitOk && first == kExitOk) first = rc;
        if (rc != kExitOk && (!o.keep_going || !mode_unchanged(o))) return first;
    }
    for (const std::string& sub : folders) {
        rc = walk_files(o, command, joined(folder, sub), file, enter);
        if (rc != kExitOk && first == kExitOk) first = rc;
        if (rc != kExitOk && (!o.keep_going || !mode_unchanged(o))) return first;
    }
    return first;
}

// A killed upload's temporary: ".gavo-put-" and eight of [a-z0-9].
bool is_upload_temporary(const std::string& name) {
    constexpr std::string_view kPrefix = ".gavo-put-";
    if (name.size() != kPrefix.size() + 8 || name.compare(0, kPrefix.size(), kPrefix) != 0)
        return false;
    for (size_t i = kPrefix.size(); i < name.size(); ++i)
        if (!std::islower(static_cast<unsigned char>(name[i])) &&
            !std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

}  // namespace

int run_ls(const Options& o, const std::string& path) {
    EntryInfo info;
    if (int rc = stat_name(path, &info); rc != 0) return report_listing(o, "ls", "list", path, rc);
    if (info.kind != EntryKind::kFolder) {
        std::puts((o.long_format ? long_line(info, path) : shown_name(path)).c_str());
        return kExitOk;
    }
    return guarded_stop([&] { return list_tree(o, path, o.recursive); });
}

int run_stat(const Options& o, const std::vector<std::string>& names) {
    return for_each(o, names.size(), [&](size_t i) {
        EntryInfo info;
        if (int rc = stat_name(names[i], &info); rc != 0)
            return report_listing(o, "stat", "stat", names[i], rc);
        const char* kind = info.kind == EntryKind::kFolder ? "folder"
                           : info.kind == EntryKind::kFile ? "file"
                                                           : "other (not served)";
        std::printf("%s\n", long_line(info, names[i]).c_str());
        if (o.verbose) std::fprintf(stderr, "gavo stat: '%s' is a %s\n", names[i].c_str(), kind);
        return static_cast<int>(kExitOk);
    });
}

int run_rmdir(const Options& o, const std::vector<std::string>& names) {
    return for_each(o, names.size(), [&](size_t i) {
        int rc = remove_folder(names[i]);
        if (rc == kCodeRefused) {
            std::fprintf(stderr,
                         "gavo rmdir: cannot remove '%s' (%s): folder not empty (code %d)\n",
                         shown_name(names[i]).c_str(), o.settings.where().c_str(), rc);
            return static_cast<int>(kExitLibrary);
        }
        if (rc == gavo::kCodeAccessDenied && is_kind(names[i], EntryKind::kFile)) {
            std::fprintf(stderr, "gavo rmdir: cannot remove '%s' (%s): not a folder (code %d)\n",
                         shown_name(names[i]).c_str(), o.settings.where().c_str(), rc);
            return static_cast<int>(kExitLibrary);
        }
        if (rc != 0) return report_listing(o, "rmdir", "remove", names[i], rc);
        if (o.verbose) std::fprintf(stderr, "gavo rmdir: removed '%s'\n", names[i].c_str());
        return static_cast<int>(kExitOk);
    });
}

int run_get_tree(const Options& o, const std::string& folder, const std::string& local) {
    const auto local_of = [&](const std::string& stored) {
        std::string base = folder;
        while (!base.empty() && base.back() == '/') base.pop_back();
        return local + "/" + (base.empty() ? stored : stored.substr(base.size() + 1));
    };
    return guarded_stop([&] {
        return walk_files(
            o, "get", folder,
            [&](const std::string& stored, const RemoteEntry&) {
                return fetch(o, "get", stored, local_of(stored), o.progress);
            },
            [&](const std::string& stored) {
                const std::string dir = local_of(stored + "/x");
                const std::string made = dir.substr(0, dir.size() - 2);
                if (::mkdir(made.c_str(), 0777) == 0 || errno == EEXIST) return int(kExitOk);
                std::fprintf(stderr, "gavo get: cannot create '%s': %s\n", made.c_str(),
                             lower_first(std::strerror(errno)).c_str());
                return int(kExitLocal);
            });
    });
}

int run_put_tree(const Options& o, const std::string& local, const std::string& folder) {
    DIR* dir = ::opendir(local.c_str());
    if (!dir) {
        std::fprintf(stderr, "gavo put: cannot open '%s': %s\n", local.c_str(),
                     lower_first(std::strerror(errno)).c_str());
        return kExitLocal;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return for_each(o, names.size(), [&](size_t i) {
        const std::string path = local + "/" + names[i];
        const std::string stored = joined(folder, names[i]);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
            std::fprintf(stderr, "gavo put: cannot read '%s': %s\n", path.c_str(),
                         lower_first(std::strerror(errno)).c_str());
            return static_cast<int>(kExitLocal);
        }
        if (S_ISDIR(st.st_mode)) return run_put_tree(o, path, stored);
        if (!S_ISREG(st.st_mode)) {
            // Links are not followed, so a link to a folder above cannot loop.
            std::fprintf(stderr, "gavo put: passed over '%s': neither a file nor a folder\n",
                         path.c_str());
            return static_cast<int>(kExitOk);
        }
        return put_one(o, path, stored);
    });
}

int run_clean_temp(const Options& o, const std::string& folder) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr)) - o.older_than;
    return guarded_stop([&] {
        return walk_files(
            o, "clean-temp", folder, [&](const std::string& stored, const RemoteEntry& e) {
                if (!is_upload_temporary(e.name) || e.info.mtime > before) return int(kExitOk);
                const int rc = CNFile::Remove(stored.c_str());
                if (rc == kCodeRefused) {
                    std::fprintf(stderr, "gavo clean-temp: kept '%s': still open on the server\n",
                                 stored.c_str());
                    return int(kExitOk);
                }
                if (rc < 0) {
                    Context ctx{o, "clean-temp", quoted(stored), "remove"};
                    return report_code(ctx, rc);
                }
                std::printf("removed %s (%lld bytes)\n", shown_name(stored).c_str(),
                            static_cast<long long>(e.info.size));
                return int(kExitOk);
            });
    });
}

long parse_duration(const std::string& text) {
    size_t used = 0;
    long value = -1;
    try {
        value = std::stol(text, &used);
    } catch (...) {
        return -1;
    }
    if (value < 0 || used + 1 < text.size()) return -1;
    const char unit = used < text.size() ? text[used] : 's';
    const long scale = unit == 's'   ? 1
                       : unit == 'm' ? 60
                       : unit == 'h' ? 3600
                       : unit == 'd' ? 86400
                                     : 0;
    if (scale == 0 || value > 100L * 365 * 86400 / scale) return -1;
    return value * scale;
}

}  // namespace gavo_tool
